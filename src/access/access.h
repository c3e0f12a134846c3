// Which requests may reach the wikis. Fernhollow runs beside the user's
// everyday browser, so every web page the user visits can send it requests:
// a page of another site must not be able to save or run anything, and a
// name that merely resolves to this machine (DNS rebinding) must not reach
// the wikis at all.
#pragma once

#include "http/request.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// A host and port as written in a Host header or an origin; the port is
// empty when none was written.
struct HostPort {
    std::string host;  // lowered; an IPv6 literal without its brackets
    std::string port;
};

// Splits "host", "host:port" or "[v6]:port"; nullopt when malformed.
std::optional<HostPort> parseHostPort(std::string_view text);
// Whether `host` is an IPv4 or IPv6 address literal.
bool isIpLiteral(std::string_view host);
// Whether a request naming `hostHeader` may be served by a listener bound
// to a loopback address configured as `configuredIp`.
bool hostAllowed(std::string_view hostHeader, std::string_view configuredIp);
// Whether a POST may save or run something: it comes from the server's own
// pages or from no page at all (a command-line client).
bool postAllowed(const std::vector<std::string>& headLines);
// Whether a request line asks to save or run something: every POST and PUT, and a
// GET or HEAD that routing hands to the script gateway.
bool actsOnServer(std::string_view requestLine);
// Why a request must be refused before it is routed, or nullopt when it may
// go on: a Host naming another machine while the listener is on loopback, or
// a save or script request from another site.
std::optional<std::string> refusalReason(const std::vector<std::string>& headLines, bool loopbackListener,
                                         std::string_view configuredIp);
// The 403 answer for a refused request.
std::string forbiddenAnswer(std::string_view reason);

} // namespace fernhollow
