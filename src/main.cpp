#include "main.h"

#include "access/auth.h"
#include "base/config.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "server/loop.h"
#include "server/server.h"
#include "base/text.h"

#include <algorithm>
#include <exception>
#include <optional>

namespace fernhollow {

using platform::consoleLine;

namespace {

// The option whose value the next argument is.
enum class Pending { None, Port, Ip, Root, Config, PhpPath, Setting };

// Options that store their value under the key of the same name.
constexpr const char* settingOptions[] = {"history",        "history-newest", "history-hours", "history-days",
                                          "history-months", "history-max-mb", "user",          "password",
                                          "guests",         "login-window",   "login-share"};

// The root separator of this platform, appended by "--root".
constexpr char rootSeparator = platform::pathSeparator;

// Stores the argument as the value the pending option waits for.
void consumeValue(Pending pending, const std::string& key, const std::string& argument) {
    switch (pending) {
    case Pending::Setting: setConfig(key, argument); break;
    case Pending::None: break;
    case Pending::Port: setConfig("port", argument); break;
    case Pending::Ip: setConfig("ip", argument); break;
    case Pending::Root:
        setConfig("root", endsWith(argument, std::string(1, rootSeparator)) ? argument : argument + rootSeparator);
        break;
    case Pending::Config: parseConfig(argument); break;
    case Pending::PhpPath: setConfig("php-path", argument); break;
    }
}

} // namespace

void printUsage() {
    for (const char* line : {
             "Simple web server to enable saving tiddlywiki pages",
             "",
             "--config <file> load settings from config file named 'file'",
             "--ip <address> set the interface to listen on (default is 127.0.0.1)",
             "--php-path <path> specify the full path to the php-cgi binary (no default)",
             "--port n  set the port to listen on (default is 9090)",
             "--root <path>  set the path to the document root (default is current directory)",
             "--history <on|off> keep earlier versions of every saved page (default is on)",
             "--history-newest n  always keep the n newest versions of a page (default is 10)",
             "--history-hours n  keep one version per hour of the last n hours (default is 24)",
             "--history-days n  keep one version per day of the last n days (default is 30)",
             "--history-months n  keep one version per month of the last n months (default is 12)",
             "--history-max-mb n  keep at most n MiB of versions per page (default is 1024)",
             "--password <password> every request needs this password (plain, or the hash --hash-password prints)",
             "--user <name> the user name that goes with the password (default is any name)",
             "--guests read  anyone may read pages and lists without the password; saving still needs it",
             "--login-window n  10 wrong passwords within n seconds lock an address out for n seconds (default is 60)",
             "--login-share n  checking passwords may take at most n % of the server's time (default is 25)",
             "--hash-password read a password from standard input and print its hash for the settings",
             "--version display the version string associated with this release",
             "--help this help text",
             "",
             "",
             "fernhollow@users.noreply.example.org",
             "",
             "",
         })
        consoleLine(line);
    consoleLine("version: " + versionString());
    consoleLine("");
}

bool processArgs(const std::vector<std::string>& arguments) {
    setConfig("port", "9090");
    setConfig("ip", "127.0.0.1");
    setConfig("php-path", "");
    setConfig("root", std::string(".") + rootSeparator);
    Pending pending = Pending::None;
    std::string settingKey;
    bool stopRequested = false;
    for (const std::string& argument : arguments) {
        consumeValue(pending, settingKey, argument);
        pending = Pending::None;
        for (const char* key : settingOptions) {
            if (argument == std::string("--") + key) {
                pending = Pending::Setting;
                settingKey = key;
            }
        }
        // A value that is itself an option acts as that option too.
        if (argument == "--ip") pending = Pending::Ip;
        else if (argument == "--port") pending = Pending::Port;
        else if (argument == "--root") pending = Pending::Root;
        else if (argument == "--config") pending = Pending::Config;
        else if (argument == "--php-path") pending = Pending::PhpPath;
        else if (argument == "--help") {
            printUsage();
            stopRequested = true;
        } else if (argument == "--version") {
            consoleLine("version: " + versionString());
            stopRequested = true;
        }
    }
    return stopRequested;
}

int printPasswordHash() {
    std::optional<std::string> password = platform::readSecretLine("Password: ");
    if (platform::standardInputIsTerminal() && password) {
        // Typed without echo: a slip would otherwise lock its typist out.
        std::optional<std::string> again = platform::readSecretLine("The same password again: ");
        if (again != password) {
            platform::errorReport("fernhollow: the two passwords differ; nothing printed");
            return 1;
        }
    }
    if (!password || password->empty()) {
        platform::errorReport("fernhollow: an empty password protects nothing; nothing printed");
        return 1;
    }
    consoleLine("password: " + formatPasswordHash(hashPassword(*password)) + ";");
    return 0;
}

int fernhollowMain(int argc, char** argv) {
    try {
        std::vector<std::string> arguments = platform::programArguments(argc, argv);
        // Its own task: the settings are not read, so no line but the hash is printed.
        if (std::find(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end(), "--hash-password") !=
            arguments.end())
            return printPasswordHash();
        if (processArgs(arguments)) return 0;
        consoleLine("starting server");
        return runServer();
    } catch (const std::exception& error) {
        platform::errorReport(std::string("fernhollow: ") + error.what());
        return 1;
    }
}

} // namespace fernhollow
