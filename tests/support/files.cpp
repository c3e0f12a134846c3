#include "support/blackbox.h"

#include "platform/paths.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

// The temporary folder and file reading need nothing but the standard
// library, so the unit tests that use them build for every system.
namespace fernhollow::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::mt19937_64 generator{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("fernhollow-test-" + std::to_string(generator() % 1000000000));
        // create_directory is false when the name is taken already.
        if (fs::create_directory(candidate)) {
            // Forward slashes, which Windows takes too, so that tests may join names with "/".
            path_ = candidate.generic_string();
            return;
        }
    }
    throw std::runtime_error("no fresh temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& relative, std::string_view content) const {
    fs::path full = fs::path(path_) / relative;
    fs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return full.generic_string();
}

std::string TempDir::read(const std::string& relative) const {
    return readFile((fs::path(path_) / relative).string());
}

bool TempDir::exists(const std::string& relative) const {
    return fs::exists(fs::path(path_) / relative);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string systemForm(std::string_view posixForm) {
    std::string form(posixForm);
    for (char& c : form)
        if (c == '/') c = platform::pathSeparator;
    return form;
}

} // namespace fernhollow::testing
