#include "access/auth.h"

#include "access/access.h"
#include "base/settings.h"
#include "platform/console.h"
#include "platform/crypto.h"
#include "base/text.h"

#include <algorithm>
#include <charconv>
#include <system_error>

namespace fernhollow {

namespace {

constexpr std::string_view base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of one base64 letter, or -1.
int base64Value(char c) {
    std::size_t at = base64Alphabet.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Bytes of salt and digest in a new hash.
constexpr std::size_t saltBytes = 16;
constexpr std::size_t digestBytes = 32;
// Accepted Authorization values remembered at once: a few browsers of one household.
constexpr std::size_t rememberedLogins = 16;

[[noreturn]] void badSetting(const std::string& what) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument), what);
}

// Whole seconds, rounded up, so that a client retrying after them is let in.
std::int64_t secondsUp(std::chrono::milliseconds span) {
    return std::chrono::ceil<std::chrono::seconds>(span).count();
}

} // namespace

std::string base64Encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 2]);
        text.push_back(base64Alphabet[(group >> 18) & 63]);
        text.push_back(base64Alphabet[(group >> 12) & 63]);
        text.push_back(i + 1 < bytes.size() ? base64Alphabet[(group >> 6) & 63] : '=');
        text.push_back(i + 2 < bytes.size() ? base64Alphabet[group & 63] : '=');
    }
    return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    std::string_view letters = text.substr(0, text.size() - padding);
    // A lone letter carries too few bits for a byte; padding only completes a group of four.
    if (letters.size() % 4 == 1 || (padding > 0 && (letters.size() + padding) % 4 != 0)) return std::nullopt;
    std::string bytes;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : letters) {
        int value = base64Value(c);
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return bytes;
}

std::optional<Credentials> basicCredentials(std::string_view authorization) {
    std::size_t blank = authorization.find(' ');
    if (blank == std::string_view::npos || lowerAscii(authorization.substr(0, blank)) != "basic") return std::nullopt;
    std::string_view encoded = authorization.substr(blank + 1);
    while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
    std::optional<std::string> decoded = base64Decode(encoded);
    if (!decoded) return std::nullopt;
    std::size_t colon = decoded->find(':');
    if (colon == std::string::npos) return std::nullopt;
    return Credentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

std::optional<PasswordHash> parsePasswordHash(std::string_view setting) {
    if (!beginsWith(setting, passwordHashPrefix)) return std::nullopt;
    std::vector<std::string_view> fields = split(setting.substr(passwordHashPrefix.size()), ":");
    const std::string broken = "the password setting begins as a hash (" + std::string(passwordHashPrefix) +
                               ") but is not one: paste the whole line --hash-password prints";
    if (fields.size() != 3) badSetting(broken);
    PasswordHash hash;
    auto [end, error] = std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), hash.iterations);
    std::optional<std::string> salt = base64Decode(fields[1]);
    std::optional<std::string> digest = base64Decode(fields[2]);
    if (error != std::errc() || end != fields[0].data() + fields[0].size() || hash.iterations == 0 || !salt ||
        salt->empty() || !digest || digest->empty())
        badSetting(broken);
    hash.salt = std::move(*salt);
    hash.digest = std::move(*digest);
    return hash;
}

std::string formatPasswordHash(const PasswordHash& hash) {
    return std::string(passwordHashPrefix) + std::to_string(hash.iterations) + ":" + base64Encode(hash.salt) + ":" +
           base64Encode(hash.digest);
}

PasswordHash hashPassword(std::string_view password, std::uint32_t iterations) {
    PasswordHash hash;
    hash.iterations = iterations;
    hash.salt = platform::randomBytes(saltBytes);
    hash.digest = platform::pbkdf2Sha256(password, hash.salt, iterations, digestBytes);
    return hash;
}

bool matchesHash(std::string_view offered, const PasswordHash& hash) {
    return sameBytes(platform::pbkdf2Sha256(offered, hash.salt, hash.iterations, hash.digest.size()), hash.digest);
}

bool sameBytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool holdsControlByte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

bool guestMayRead(std::string_view requestLine) {
    std::vector<std::string_view> words = split(requestLine, " ");
    if (words.size() < 2) return false;
    if (words[0] == "OPTIONS") return true;
    return (words[0] == "GET" || words[0] == "HEAD") && !actsOnServer(requestLine);
}

std::string unauthorizedAnswer() {
    return plainAnswer("401 Unauthorized", "This server needs its user name and password for this request.\n",
                       "WWW-Authenticate: Basic realm=\"Fernhollow\", charset=\"UTF-8\"\r\n");
}

std::string tooManyAttemptsAnswer(std::int64_t seconds) {
    return plainAnswer("429 Too Many Requests",
                       "Too many wrong user names or passwords from this address: try again in " +
                           std::to_string(seconds) + " s.\n",
                       "Retry-After: " + std::to_string(seconds) + "\r\n");
}

std::string tooManyChecksAnswer(std::int64_t seconds) {
    return plainAnswer("429 Too Many Requests",
                       "Too many logins to check at once: try again in " + std::to_string(seconds) + " s.\n",
                       "Retry-After: " + std::to_string(seconds) + "\r\n");
}

std::chrono::milliseconds CheckBudget::waitFor(Clock::time_point now) const {
    // Paid for at the budget's share: `burst` of checks is this far ahead.
    const Clock::duration allowed = std::chrono::duration_cast<Clock::duration>(burst) * 100 / percent_;
    Clock::duration ahead = paidUntil_ - now;
    if (ahead < allowed) return std::chrono::milliseconds(0);
    return std::max(std::chrono::milliseconds(1), std::chrono::ceil<std::chrono::milliseconds>(ahead - allowed));
}

void CheckBudget::charge(Clock::time_point now, Clock::duration spent) {
    // A quiet spell saves up nothing beyond the burst.
    paidUntil_ = std::max(paidUntil_, now) + spent * 100 / percent_;
}

std::chrono::milliseconds FailedLogins::lockedFor(const std::string& address, Clock::time_point now) const {
    auto found = records_.find(address);
    if (found == records_.end() || found->second.lockedUntil <= now) return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(found->second.lockedUntil - now);
}

bool FailedLogins::fail(const std::string& address, Clock::time_point now) {
    // Many addresses, each with a few failures, must not grow the table for ever.
    if (records_.size() >= 4096) forgetStale(now);
    Record& record = records_[address];
    while (!record.failures.empty() && record.failures.front() <= now - window_) record.failures.pop_front();
    record.failures.push_back(now);
    if (record.failures.size() < limit_) return false;
    record.failures.clear();
    record.lockedUntil = now + window_;
    return true;
}

void FailedLogins::forgetStale(Clock::time_point now) {
    for (auto at = records_.begin(); at != records_.end();) {
        const Record& record = at->second;
        bool recent = !record.failures.empty() && record.failures.back() > now - window_;
        if (!recent && record.lockedUntil <= now) at = records_.erase(at);
        else ++at;
    }
}

Gate Gate::fromSettings(const Settings& run) {
    Gate gate;
    gate.guestsRead_ = run.guestsRead;
    gate.failures_ = FailedLogins(failureLimit, run.loginWindow);
    gate.checks_ = CheckBudget(run.loginShare);
    const std::string& password = run.password;
    if (password.empty()) return gate;
    gate.digestKey_ = platform::randomBytes(digestBytes);
    gate.user_ = run.user;
    // Logins holding one are refused, so such a setting would let nobody in;
    // in a configuration file it is mostly a record whose ";" was forgotten.
    if (holdsControlByte(gate.user_))
        badSetting("the user setting holds a control byte (a line break or tab inside it?), which no login may "
                   "send: end each record of a configuration file with \";\"");
    gate.hash_ = parsePasswordHash(password);
    if (!gate.hash_ && holdsControlByte(password))
        badSetting("the password setting holds a control byte (a line break or tab inside it?), which no login may "
                   "send: end each record of a configuration file with \";\", and keep the line fernhollow "
                   "--hash-password prints there instead of the password");
    if (!gate.hash_) {
        // A plain password is checked through a one-round hash as well, so that
        // the comparison takes the same time whatever is offered.
        gate.plain_ = true;
        gate.hash_ = hashPassword(password, 1);
    }
    return gate;
}

Gate::Login Gate::accepts(std::string_view authorization, Clock::time_point now, std::chrono::milliseconds& wait) {
    auto keyed = [this](std::string_view text) {
        return platform::pbkdf2Sha256(text, digestKey_, 1, digestBytes);
    };
    std::string digest = keyed(authorization);
    bool known = false;
    for (const std::string& accepted : acceptedDigests_) known |= sameBytes(digest, accepted);
    // Before the budget: a browser logged in goes on whatever others guess.
    if (known) return Login::Accepted;
    std::optional<Credentials> offered = basicCredentials(authorization);
    // HMAC pads a short key with zero bytes, so "pw" and "pw" + NUL would
    // hash alike; Basic credentials hold no control bytes at all.
    if (!offered || holdsControlByte(offered->user) || holdsControlByte(offered->password)) return Login::Refused;
    wait = checks_.waitFor(now);
    if (wait.count() > 0) return Login::Deferred;
    // Both are checked whichever fails, so the time taken tells neither.
    Clock::time_point began = Clock::now();
    bool userMatches = user_.empty() || sameBytes(keyed(offered->user), keyed(user_));
    bool passwordMatches = matchesHash(offered->password, *hash_);
    checks_.charge(now, Clock::now() - began);
    if (!userMatches || !passwordMatches) return Login::Refused;
    if (acceptedDigests_.size() == rememberedLogins) acceptedDigests_.pop_front();
    acceptedDigests_.push_back(std::move(digest));
    return Login::Accepted;
}

Verdict Gate::check(const std::vector<std::string>& headLines, const std::string& address, Clock::time_point now) {
    if (!hash_) return {};
    std::chrono::milliseconds locked = failures_.lockedFor(address, now);
    if (locked.count() > 0) {
        std::int64_t seconds = secondsUp(locked);
        return {Verdict::Kind::TooManyAttempts,
                address + " is locked out for " + std::to_string(seconds) + " s more after " +
                    std::to_string(failures_.limit()) + " wrong user names or passwords",
                seconds};
    }
    bool twice = false;
    std::optional<std::string> authorization = headerValue(headLines, "Authorization", twice);
    if (!authorization && !twice) {
        if (guestsRead_ && !headLines.empty() && guestMayRead(headLines.front())) return {};
        return {Verdict::Kind::Unauthorized, "no user name and password given", 0};
    }
    std::chrono::milliseconds wait{0};
    Login login = twice ? Login::Refused : accepts(*authorization, now, wait);
    if (login == Login::Accepted) {
        failures_.forgive(address);
        return {};
    }
    if (login == Login::Deferred) {
        // Not counted as a failure: nothing was checked.
        std::int64_t seconds = secondsUp(wait);
        return {Verdict::Kind::TooManyChecks,
                "checking passwords has taken its " + std::to_string(checks_.percent()) + " % of the time: " +
                    address + " may try again in " + std::to_string(seconds) + " s",
                seconds};
    }
    std::string reason = "wrong user name or password from " + address;
    if (failures_.fail(address, now)) {
        std::int64_t seconds = secondsUp(failures_.window());
        reason += ": " + std::to_string(failures_.limit()) + " within " + std::to_string(seconds) +
                  " s, so its requests are refused for " + std::to_string(seconds) + " s";
    }
    return {Verdict::Kind::Unauthorized, reason, 0};
}

void Gate::sayWhoMayConnect(bool loopback) const {
    using platform::consoleLine;
    if (passwordSet()) {
        consoleLine(guestsRead() ? "saving, restoring and scripts need the user name and password; anyone may read"
                                 : "every request needs the user name and password");
        if (passwordPlain())
            consoleLine("the password is kept in plain text in the settings: fernhollow --hash-password prints "
                        "a hash to keep there instead");
    } else if (!loopback) {
        consoleLine("warning: listening beyond this machine without a password: anyone on the network can "
                    "change every wiki and run every script (set one with --password)");
    }
}

} // namespace fernhollow
