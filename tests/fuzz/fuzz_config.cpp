// Configuration files of arbitrary bytes: the reader reports and survives.
#include "base/config.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string file = "/tmp/fernhollow-fuzz-config-" + std::to_string(::getpid()) + ".cfg";
    if (FILE* out = std::fopen(file.c_str(), "wb")) {
        std::fwrite(data, 1, size, out);
        std::fclose(out);
    }
    fernhollow::configTable.clear();
    fernhollow::parseConfig(file);
    return 0;
}
