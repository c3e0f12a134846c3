// Configuration files of arbitrary bytes: the reader reports and survives.
#include "base/config.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string file = "/tmp/fernhollow-fuzz-config-" + std::to_string(::getpid()) + ".cfg";
    if (FILE* out = std::fopen(file.c_str(), "wb")) {
        std::fwrite(data, 1, size, out);
        std::fclose(out);
    }
    fernhollow::configTable.clear();
    try {
        fernhollow::parseConfig(file);
    } catch (const std::system_error& error) {
        // A password record the format may have cut stops the start; nothing else may raise.
        if (error.code() != std::errc::invalid_argument) throw;
    }
    return 0;
}
