// Who may use the server: the password of the run (HTTP Basic), what guests
// may do without it, and the lock-out of an address that keeps guessing.
// Without a password every request is let through, as on a server that
// only this machine reaches.
#pragma once

#include "base/settings.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fernhollow {

// The user name and password of an "Authorization: Basic" value.
struct Credentials {
    std::string user;
    std::string password;
};

// Standard base64 with padding.
std::string base64Encode(std::string_view bytes);
// The bytes of standard base64 text (padding optional); nothing for any other text.
std::optional<std::string> base64Decode(std::string_view text);
// The credentials of an Authorization value ("Basic", any letter case, then
// base64 of user ":" password); nothing when it is no such value.
std::optional<Credentials> basicCredentials(std::string_view authorization);

// A password kept as a salted, slow hash: PBKDF2-HMAC-SHA256.
struct PasswordHash {
    std::uint32_t iterations = 0;
    std::string salt;
    std::string digest;
};
// How a kept hash begins, so that it is never taken for a plain password.
inline constexpr std::string_view passwordHashPrefix = "pbkdf2-sha256:";
// Rounds of a new hash: slow enough to make guessing from a stolen
// configuration file costly, while one check stays well under a second.
inline constexpr std::uint32_t newHashIterations = 600000;
// The hash a "password" setting holds: nothing when the setting is a plain
// password; raises std::system_error (invalid_argument) when it begins as a
// hash but is not a whole one.
std::optional<PasswordHash> parsePasswordHash(std::string_view setting);
// The setting text of a hash: prefix, rounds, salt and digest in base64, ":" between.
std::string formatPasswordHash(const PasswordHash& hash);
// A new hash of `password` with a fresh random salt.
PasswordHash hashPassword(std::string_view password, std::uint32_t iterations = newHashIterations);
// Whether `offered` is the password `hash` was made from.
bool matchesHash(std::string_view offered, const PasswordHash& hash);
// Whether two texts are equal, taking the same time wherever they differ.
bool sameBytes(std::string_view a, std::string_view b);
// Whether a text holds a control byte (0x00-0x1F, 0x7F), which Basic
// credentials never hold.
bool holdsControlByte(std::string_view text);

// Whether a request may be answered for a guest when guests may read: GET
// and HEAD of files, lists and history pages (never a script), and OPTIONS.
bool guestMayRead(std::string_view requestLine);

// The answer asking for the server's user name and password.
std::string unauthorizedAnswer();
// The answer to an address locked out for `seconds` more.
std::string tooManyAttemptsAnswer(std::int64_t seconds);
// The answer to a login that finds the password checks of the moment used
// up, to be tried again after `seconds`.
std::string tooManyChecksAnswer(std::int64_t seconds);

// Failed logins per address: `limit` of them within `window` lock the
// address out for `window`.
class FailedLogins {
public:
    using Clock = std::chrono::steady_clock;
    FailedLogins(std::size_t limit, std::chrono::milliseconds window) : limit_(limit), window_(window) {}
    // How much longer `address` stays locked out at `now` (zero: not locked out).
    std::chrono::milliseconds lockedFor(const std::string& address, Clock::time_point now) const;
    // Counts one failure of `address`; true when it locks the address out.
    bool fail(const std::string& address, Clock::time_point now);
    // Forgets the failures of `address`, which has just logged in.
    void forgive(const std::string& address) { records_.erase(address); }
    std::size_t limit() const { return limit_; }
    std::chrono::milliseconds window() const { return window_; }

private:
    struct Record {
        std::deque<Clock::time_point> failures;
        Clock::time_point lockedUntil{};
    };
    // Forgets the addresses that neither are locked out nor failed within the window.
    void forgetStale(Clock::time_point now);
    std::size_t limit_;
    std::chrono::milliseconds window_;
    std::unordered_map<std::string, Record> records_;
};

// The time password checks of all addresses together may take: `percent`
// of the server's time, and after a quiet spell no more than `burst` at once
// (and the one check begun within it), so that guesses from many addresses
// cannot keep the server's one thread hashing while others wait. Measured in
// time, not in checks, it holds for any machine and any number of rounds.
class CheckBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds burst{500};
    explicit CheckBudget(int percent) : percent_(std::clamp(percent, 1, 100)) {}
    // How long until a check may begin at `now` (zero: at once).
    std::chrono::milliseconds waitFor(Clock::time_point now) const;
    // Counts a check that began at `now` and took `spent`.
    void charge(Clock::time_point now, Clock::duration spent);
    int percent() const { return percent_; }

private:
    int percent_;
    // When the checks so far are paid for at the budget's share of the time.
    Clock::time_point paidUntil_{};
};

// What the gate says of one request.
struct Verdict {
    enum class Kind { Admit, Unauthorized, TooManyAttempts, TooManyChecks } kind = Kind::Admit;
    // The console line of a refusal (no password in it).
    std::string reason;
    // For TooManyAttempts and TooManyChecks: when the client may try again.
    std::int64_t retryAfterSeconds = 0;
};

// The access rules of a run: built once from the settings, asked for every request.
class Gate {
public:
    using Clock = FailedLogins::Clock;
    // Failed logins from one address within the window that lock it out.
    static constexpr std::size_t failureLimit = 10;

    // A gate that admits everyone.
    Gate()
        : failures_(failureLimit, std::chrono::seconds(limits::defaultLoginWindowSeconds)),
          checks_(limits::defaultLoginSharePercent) {}
    // From the user, password (plain or a hash), guests, login window and
    // login share of `run`; raises std::system_error (invalid_argument) for a
    // broken hash, or a user or plain password holding a control byte.
    static Gate fromSettings(const Settings& run);

    bool passwordSet() const { return hash_.has_value(); }
    bool passwordPlain() const { return plain_; }
    // Says at start-up who may use the server, with a warning where anyone
    // on the network could change everything (not `loopback`).
    void sayWhoMayConnect(bool loopback) const;
    bool guestsRead() const { return guestsRead_; }
    // Decides on a request with these head lines from `address` at `now`.
    Verdict check(const std::vector<std::string>& headLines, const std::string& address, Clock::time_point now);

private:
    enum class Login { Accepted, Refused, Deferred };
    // Whether an Authorization value names the user and password of the run;
    // Deferred, with `wait` until it may be checked, when it needs the hash
    // and the budget of checks has no time left at `now`.
    Login accepts(std::string_view authorization, Clock::time_point now, std::chrono::milliseconds& wait);
    std::optional<PasswordHash> hash_;
    bool plain_ = false;
    std::string user_;
    bool guestsRead_ = false;
    FailedLogins failures_;
    CheckBudget checks_;
    // A keyed digest of each Authorization value accepted before, so that a
    // browser's every request costs no slow hash; the key is random per run.
    std::string digestKey_;
    std::deque<std::string> acceptedDigests_;
};

} // namespace fernhollow
