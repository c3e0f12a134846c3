// The password of a run: Basic credentials, the kept hash, what guests may
// do, and the lock-out of an address that keeps guessing.
#include "access/auth.h"
#include "base/config.h"
#include "platform/crypto.h"

#include <gtest/gtest.h>

using namespace fernhollow;
using namespace std::chrono_literals;

namespace {

// Hex of bytes, for comparing digests with published vectors.
std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) text += {digits[c >> 4], digits[c & 15]};
    return text;
}

// A request head with an Authorization line of `user`:`password` (none when both are empty).
std::vector<std::string> head(std::string line, std::string user = "", std::string password = "") {
    std::vector<std::string> lines{std::move(line), "Host: 127.0.0.1"};
    if (!user.empty() || !password.empty()) lines.push_back("Authorization: Basic " + base64Encode(user + ":" + password));
    lines.emplace_back("");
    return lines;
}

class GateTest : public ::testing::Test {
protected:
    void SetUp() override { configTable.clear(); }
    void TearDown() override { configTable.clear(); }
    // A gate from settings set without console lines.
    static Gate gateWith(std::initializer_list<std::pair<const char*, std::string>> settings) {
        for (const auto& [key, value] : settings) configTable.insert_or_assign(key, ConfigItem(value));
        return Gate::fromSettings(readSettings(configTable));
    }
};

} // namespace

TEST(Base64AndBasicCredentials, RoundTripsAndRefusals) {
    for (std::string bytes : {"", "f", "fo", "foo", "foob", "fooba", "foobar", "\xff\x00\xfe:\xc3\xa9"}) {
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes) << base64Encode(bytes);
    }
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Decode("Zm8"), "fo");
    for (std::string_view bad : {"Zm9v!", "Z", "Zm9=v", "Zm===", "Zm9vY=", " Zm8="}) EXPECT_FALSE(base64Decode(bad)) << bad;

    struct Case {
        std::string value;
        std::optional<std::pair<std::string, std::string>> credentials;
    };
    const Case cases[] = {
        {"Basic " + base64Encode("me:pass word"), std::pair{"me", "pass word"}},
        {"basic " + base64Encode("me:a:b"), std::pair{"me", "a:b"}},       // the password may hold ":"
        {"BASIC  " + base64Encode(":only"), std::pair{"", "only"}},
        {"Basic " + base64Encode("\xc3\xa9:\xe2\x9c\x93"), std::pair{"\xc3\xa9", "\xe2\x9c\x93"}},  // UTF-8 kept
        {"Basic " + base64Encode("no colon"), std::nullopt},
        {"Bearer " + base64Encode("me:pw"), std::nullopt},
        {"Basic", std::nullopt},
        {"Basic !!!!", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        std::optional<Credentials> got = basicCredentials(c.value);
        ASSERT_EQ(got.has_value(), c.credentials.has_value()) << c.value;
        if (got) {
            EXPECT_EQ(std::pair(got->user, got->password), *c.credentials) << c.value;
        }
    }
}

TEST(PasswordHash, TheSystemsPbkdf2AndTheSettingsLine) {
    // RFC 7914, section 11: PBKDF2-HMAC-SHA256 of "passwd" with "salt", one round.
    EXPECT_EQ(hex(platform::pbkdf2Sha256("passwd", "salt", 1, 64)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    EXPECT_NE(platform::randomBytes(16), platform::randomBytes(16));

    PasswordHash made = hashPassword("correct horse \xe2\x9c\x93", 1000);
    std::string line = formatPasswordHash(made);
    EXPECT_TRUE(line.starts_with("pbkdf2-sha256:1000:")) << line;
    // Nothing in it that a configuration record or a shell would cut or change.
    EXPECT_EQ(line.find_first_of("; \t\"'$`\\"), std::string::npos) << line;
    std::optional<PasswordHash> read = parsePasswordHash(line);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->iterations, 1000u);
    EXPECT_EQ(read->salt, made.salt);
    EXPECT_TRUE(matchesHash("correct horse \xe2\x9c\x93", *read));
    EXPECT_FALSE(matchesHash("correct horse", *read));
    EXPECT_FALSE(matchesHash("", *read));
    EXPECT_NE(formatPasswordHash(hashPassword("same", 1000)), formatPasswordHash(hashPassword("same", 1000)));

    EXPECT_FALSE(parsePasswordHash("a plain password"));
    EXPECT_FALSE(parsePasswordHash("pbkdf2-sha256"));
    for (std::string broken : {"pbkdf2-sha256:", "pbkdf2-sha256:1000:c2FsdA==", "pbkdf2-sha256:x:c2FsdA==:ZGln",
                               "pbkdf2-sha256:0:c2FsdA==:ZGln", "pbkdf2-sha256:1000::ZGln",
                               "pbkdf2-sha256:1000:c2FsdA==:!!", "pbkdf2-sha256:1000:c2FsdA==:ZGln:more"})
        EXPECT_THROW(parsePasswordHash(broken), std::system_error) << broken;

    EXPECT_TRUE(sameBytes("abc", "abc"));
    EXPECT_FALSE(sameBytes("abc", "abd"));
    EXPECT_FALSE(sameBytes("abc", "abcd"));
    EXPECT_TRUE(sameBytes("", ""));
}

TEST(FailedLoginsTest, TenWithinTheWindowLockOutForTheWindow) {
    FailedLogins failures(10, 60s);
    auto t0 = FailedLogins::Clock::time_point{} + 1000h;
    // Nine spread over the window, one of them before it: no lock-out.
    EXPECT_FALSE(failures.fail("10.0.0.1", t0));
    for (int i = 1; i < 9; ++i) EXPECT_FALSE(failures.fail("10.0.0.1", t0 + 30s + i * 1s));
    EXPECT_FALSE(failures.fail("10.0.0.1", t0 + 61s)) << "the first has left the window";
    EXPECT_TRUE(failures.fail("10.0.0.1", t0 + 62s));
    EXPECT_EQ(failures.lockedFor("10.0.0.1", t0 + 62s), 60000ms);
    EXPECT_EQ(failures.lockedFor("10.0.0.1", t0 + 121s), 1000ms);
    EXPECT_EQ(failures.lockedFor("10.0.0.1", t0 + 122s), 0ms);
    EXPECT_EQ(failures.lockedFor("10.0.0.2", t0 + 62s), 0ms) << "other addresses are not affected";
    // After the lock-out the count starts afresh.
    for (int i = 0; i < 9; ++i) EXPECT_FALSE(failures.fail("10.0.0.1", t0 + 123s));
    EXPECT_TRUE(failures.fail("10.0.0.1", t0 + 123s));
    failures.forgive("10.0.0.3");
    for (int i = 0; i < 9; ++i) EXPECT_FALSE(failures.fail("10.0.0.3", t0));
    failures.forgive("10.0.0.3");
    EXPECT_FALSE(failures.fail("10.0.0.3", t0)) << "a right login forgives the failures before it";
}

TEST_F(GateTest, WhoIsLetThrough) {
    auto now = Gate::Clock::now();
    using Kind = Verdict::Kind;
    Gate open = gateWith({});
    EXPECT_EQ(open.check(head("PUT /a.html HTTP/1.1"), "10.0.0.1", now).kind, Kind::Admit);

    const std::string hashLine = formatPasswordHash(hashPassword("pw \xe2\x9c\x93", 1000));
    Gate hashed = gateWith({{"user", "me"}, {"password", hashLine}});
    EXPECT_FALSE(hashed.passwordPlain());
    configTable.clear();
    Gate plain = gateWith({{"password", "pw \xe2\x9c\x93"}});
    EXPECT_TRUE(plain.passwordPlain());
    configTable.clear();
    Gate guests = gateWith({{"password", "pw \xe2\x9c\x93"}, {"guests", "read"}});
    struct Case {
        const char* name;
        Gate* gate;
        std::vector<std::string> head;
        Kind kind;
    };
    const std::string pw = "pw \xe2\x9c\x93";
    std::vector<Case> cases = {
        {"hash: right user and password", &hashed, head("GET / HTTP/1.1", "me", pw), Kind::Admit},
        {"hash: right again (remembered)", &hashed, head("PUT /a.html HTTP/1.1", "me", pw), Kind::Admit},
        {"hash: no credentials", &hashed, head("GET / HTTP/1.1"), Kind::Unauthorized},
        {"hash: wrong user", &hashed, head("GET / HTTP/1.1", "you", pw), Kind::Unauthorized},
        {"hash: wrong password", &hashed, head("GET / HTTP/1.1", "me", "pw"), Kind::Unauthorized},
        {"hash: the hash itself is no password", &hashed,
         head("GET / HTTP/1.1", "me", hashLine), Kind::Unauthorized},
        {"plain: any user name", &plain, head("POST /savetiddly HTTP/1.1", "anyone", pw), Kind::Admit},
        {"plain: wrong password", &plain, head("GET / HTTP/1.1", "me", pw + " "), Kind::Unauthorized},
        {"plain: Authorization twice", &plain,
         {"GET / HTTP/1.1", "Authorization: Basic " + base64Encode(":" + pw),
          "Authorization: Basic " + base64Encode(":" + pw), ""},
         Kind::Unauthorized},
        {"guests: GET", &guests, head("GET /a.html HTTP/1.1"), Kind::Admit},
        {"guests: HEAD with a query", &guests, head("HEAD /?x HTTP/1.1"), Kind::Admit},
        {"guests: OPTIONS", &guests, head("OPTIONS /a.html HTTP/1.1"), Kind::Admit},
        {"guests: the list", &guests, head("GET /tiddly HTTP/1.1"), Kind::Admit},
        {"guests: PUT", &guests, head("PUT /a.html HTTP/1.1"), Kind::Unauthorized},
        {"guests: upload", &guests, head("POST /savetiddly HTTP/1.1"), Kind::Unauthorized},
        {"guests: restore", &guests, head("POST /tiddly/history HTTP/1.1"), Kind::Unauthorized},
        {"guests: a script by GET", &guests, head("GET /run.php?x=1 HTTP/1.1"), Kind::Unauthorized},
        {"guests: a script by HEAD", &guests, head("HEAD /a.html.php HTTP/1.1"), Kind::Unauthorized},
        {"guests: an unknown method", &guests, head("DELETE /a.html HTTP/1.1"), Kind::Unauthorized},
        {"guests: wrong credentials on a read", &guests, head("GET /a.html HTTP/1.1", "me", "guess"), Kind::Unauthorized},
        {"guests: right ones on a save", &guests, head("PUT /a.html HTTP/1.1", "me", pw), Kind::Admit},
        // HMAC pads a short key with zero bytes: "pw" + NUL would hash as "pw".
        {"hash: the password and NUL", &hashed, head("GET / HTTP/1.1", "me", pw + '\0'), Kind::Unauthorized},
        {"hash: the user and NUL", &hashed, head("GET / HTTP/1.1", std::string("me\0", 3), pw), Kind::Unauthorized},
        {"plain: the password and NUL", &plain, head("GET / HTTP/1.1", "", pw + '\0'), Kind::Unauthorized},
        {"plain: DEL in the user name", &plain, head("GET / HTTP/1.1", "a\x7F", pw), Kind::Unauthorized},
    };
    for (Case& c : cases) {
        Verdict verdict = c.gate->check(c.head, "10.0.0." + std::to_string(&c - cases.data()), now);
        EXPECT_EQ(verdict.kind, c.kind) << c.name;
        EXPECT_EQ(verdict.reason.find("pw"), std::string::npos) << c.name << ": " << verdict.reason;
    }
}

TEST_F(GateTest, TheTenthWrongLoginLocksTheAddressOutEvenForTheRightOne) {
    Gate gate = gateWith({{"password", "pw"}, {"login-window", "5"}});
    auto now = Gate::Clock::now();
    for (int i = 1; i <= 9; ++i) EXPECT_EQ(gate.check(head("GET / HTTP/1.1", "", "no"), "10.0.0.9", now).reason,
                                           "wrong user name or password from 10.0.0.9");
    // Missing credentials are no guess: a browser's first request always lacks them.
    EXPECT_EQ(gate.check(head("GET / HTTP/1.1"), "10.0.0.9", now).reason, "no user name and password given");
    Verdict tenth = gate.check(head("GET / HTTP/1.1", "", "no"), "10.0.0.9", now);
    EXPECT_EQ(tenth.kind, Verdict::Kind::Unauthorized);
    EXPECT_EQ(tenth.reason, "wrong user name or password from 10.0.0.9: 10 within 5 s, so its requests are refused "
                            "for 5 s");
    Verdict locked = gate.check(head("GET / HTTP/1.1", "", "pw"), "10.0.0.9", now + 1s);
    EXPECT_EQ(locked.kind, Verdict::Kind::TooManyAttempts);
    EXPECT_EQ(locked.retryAfterSeconds, 4);
    EXPECT_EQ(locked.reason, "10.0.0.9 is locked out for 4 s more after 10 wrong user names or passwords");
    EXPECT_EQ(gate.check(head("GET / HTTP/1.1", "", "pw"), "10.0.0.8", now + 1s).kind, Verdict::Kind::Admit);
    EXPECT_EQ(gate.check(head("GET / HTTP/1.1", "", "pw"), "10.0.0.9", now + 5s).kind, Verdict::Kind::Admit);

    EXPECT_TRUE(unauthorizedAnswer().starts_with(
        "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/plain\r\nContent-Length: "));
    EXPECT_NE(unauthorizedAnswer().find("\r\nWWW-Authenticate: Basic realm=\"Fernhollow\", charset=\"UTF-8\"\r\n\r\n"),
              std::string::npos);
    EXPECT_TRUE(tooManyAttemptsAnswer(42).starts_with("HTTP/1.1 429 Too Many Requests\r\n"));
    EXPECT_NE(tooManyAttemptsAnswer(42).find("\r\nRetry-After: 42\r\n\r\n"), std::string::npos);

    configTable.clear();
    EXPECT_THROW(gateWith({{"password", "pbkdf2-sha256:1:broken"}}), std::system_error);
    configTable.clear();  // no login could send these: mostly a record whose ";" was forgotten
    EXPECT_THROW(gateWith({{"password", "pw\nip: 0.0.0.0"}}), std::system_error);
    configTable.clear();
    EXPECT_THROW(gateWith({{"password", "pw"}, {"user", "me\nguests: read"}}), std::system_error);
}

// Checks may take a share of the time ("login-share"), and after a quiet
// spell half a second of them at once; at 100 % they never wait.
TEST(CheckBudgetTest, ChecksTakeAShareOfTheTime) {
    auto t0 = CheckBudget::Clock::time_point{} + 1000h;
    CheckBudget quarter(25), whole(100);
    using ms = std::chrono::milliseconds;
    // The budget, when a check is asked for, what it takes when let through, and the wait.
    const std::tuple<CheckBudget*, ms, ms, ms> rows[] = {
        {&quarter, 0ms, 200ms, 0ms}, {&quarter, 0ms, 200ms, 0ms},     {&quarter, 0ms, 200ms, 0ms},
        {&quarter, 0ms, 0ms, 400ms}, {&quarter, 401ms, 100ms, 0ms},   {&quarter, 402ms, 0ms, 398ms},
        {&quarter, 1h, 900ms, 0ms},  {&quarter, 1h + 1ms, 0ms, 1599ms}, {&whole, 0ms, 300ms, 0ms},
        {&whole, 300ms, 300ms, 0ms}, {&whole, 600ms, 300ms, 0ms}};
    for (auto [budget, at, spent, wait] : rows) {
        EXPECT_EQ(budget->waitFor(t0 + at), wait) << budget->percent() << " % at " << at.count();
        if (wait == 0ms) budget->charge(t0 + at, spent);
    }
}
