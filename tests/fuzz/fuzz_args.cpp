// Command lines of arbitrary words (NUL-separated in the input).
#include "base/config.h"
#include "main.h"

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"fernhollow"};
    std::string word;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(word);
    // Reading real configuration files by fuzzed names is not wanted here.
    for (std::size_t i = 1; i < args.size(); ++i)
        if (args[i - 1] == "--config") args[i] = "/nonexistent/" + args[i];
    fernhollow::configTable.clear();
    fernhollow::processArgs(args);
    return 0;
}
