#include "access/access.h"

#include "http/handling.h"
#include "base/text.h"

namespace fernhollow {

namespace {

bool allDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool isIpv4(std::string_view text) {
    std::vector<std::string_view> octets = split(text, ".");
    if (octets.size() != 4) return false;
    for (std::string_view octet : octets)
        if (!allDigits(octet) || octet.size() > 3 || std::stoi(std::string(octet)) > 255) return false;
    return true;
}

bool isIpv6(std::string_view text) {
    int colons = 0;
    for (char c : text) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (c == ':') ++colons;
        else if (!hex && c != '.') return false;
    }
    return colons >= 2 && colons <= 7;
}

// The port a host:port means when none is written (plain HTTP).
std::string effectivePort(const HostPort& where) {
    return where.port.empty() ? "80" : where.port;
}

} // namespace

std::optional<HostPort> parseHostPort(std::string_view text) {
    HostPort result;
    std::string_view port;
    if (beginsWith(text, "[")) {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        result.host = lowerAscii(text.substr(1, close - 1));
        if (!isIpv6(result.host)) return std::nullopt;
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (!skipPast(rest, ":") || rest.empty()) return std::nullopt;
            port = rest;
        }
    } else {
        std::size_t colon = text.find(':');
        result.host = lowerAscii(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = text.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        }
        for (char c : result.host) {
            bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
            if (!ok) return std::nullopt;
        }
    }
    if (result.host.empty() || (!port.empty() && (!allDigits(port) || port.size() > 5))) return std::nullopt;
    result.port = std::string(port);
    return result;
}

bool isIpLiteral(std::string_view host) {
    return isIpv4(host) || isIpv6(host);
}

bool hostAllowed(std::string_view hostHeader, std::string_view configuredIp) {
    std::optional<HostPort> where = parseHostPort(hostHeader);
    if (!where) return false;
    return isIpLiteral(where->host) || where->host == "localhost" || endsWith(where->host, ".localhost") ||
           where->host == lowerAscii(configuredIp);
}

bool postAllowed(const std::vector<std::string>& headLines) {
    bool malformed = false;
    std::optional<std::string> site = headerValue(headLines, "Sec-Fetch-Site", malformed);
    std::optional<std::string> origin = headerValue(headLines, "Origin", malformed);
    std::optional<std::string> host = headerValue(headLines, "Host", malformed);
    if (malformed) return false;
    if (site) return *site == "same-origin" || *site == "none";
    if (!origin) return true;
    std::string_view rest = *origin;
    if (!host || !skipPast(rest, "http://")) return false;
    std::optional<HostPort> from = parseHostPort(rest);
    std::optional<HostPort> to = parseHostPort(*host);
    return from && to && beginsWith(*origin, "http://") && from->host == to->host &&
           effectivePort(*from) == effectivePort(*to);
}

bool actsOnServer(std::string_view requestLine) {
    std::vector<std::string_view> words = split(requestLine, " ");
    if (words.empty()) return false;
    if (words[0] == "POST" || words[0] == "PUT") return true;
    if (words.size() < 2) return false;
    // As routing hands them on, escapes decoded: a GET's path without its
    // query, a HEAD's whole target. A path decoding to NUL is refused later.
    std::string_view target = words[1];
    if (words[0] == "GET") target = target.substr(0, target.find('?'));
    else if (words[0] != "HEAD") return false;
    std::optional<std::string> decoded = decodeTargetPath(target);
    return decoded && isScriptUrl(*decoded);
}

std::optional<std::string> refusalReason(const std::vector<std::string>& headLines, bool loopbackListener,
                                         std::string_view configuredIp) {
    if (loopbackListener) {
        bool malformed = false;
        std::optional<std::string> host = headerValue(headLines, "Host", malformed);
        if (malformed || (host && !hostAllowed(*host, configuredIp)))
            return "Forbidden: this server only answers requests addressed to this machine.";
    }
    if (!headLines.empty() && actsOnServer(headLines.front()) && !postAllowed(headLines))
        return "Forbidden: pages of other sites may not save or run anything here.";
    return std::nullopt;
}

std::string forbiddenAnswer(std::string_view reason) {
    return plainAnswer("403 Forbidden", std::string(reason) + "\n");
}

} // namespace fernhollow
