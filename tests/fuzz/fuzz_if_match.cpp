// If-Match values of arbitrary bytes against a tag (the first line is the
// tag the page has, the rest the value a client sent): "*" or the tag itself
// anywhere in the list lets the page be replaced, a weak tag never does, and
// a value that holds neither never does.
#include "wiki/put.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fernhollow::ifMatchAllows;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t newline = input.find('\n');
    if (newline == std::string_view::npos) return 0;
    std::string current(input.substr(0, newline));
    std::string sent(input.substr(newline + 1));
    bool allows = ifMatchAllows(sent, current);
    // Nothing but the tag or "*" may let a save through.
    if (allows && !current.empty() && sent.find(current) == std::string::npos && sent.find('*') == std::string::npos)
        std::abort();
    // The tags the server makes are quoted and hold no comma or blank; for
    // such a tag, naming it anywhere in a list is enough, and only strongly.
    bool serverLike = current.size() >= 2 && current.front() == '"' && current.back() == '"' &&
                      current.find_first_of(", \t") == std::string::npos;
    if (!serverLike) return 0;
    if (!ifMatchAllows(sent + ", " + current, current) || !ifMatchAllows(current + " ," + sent, current)) std::abort();
    if (ifMatchAllows("W/" + current, current)) std::abort();
    // A list that allowed still allows with more tags added.
    if (allows && !ifMatchAllows(sent + ",\"other\"", current)) std::abort();
    return 0;
}
