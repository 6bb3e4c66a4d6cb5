#include <CLI/CLI.hpp>

#include "service/service.h"

namespace service {

namespace {

// [ADDR:]PORT with PORT in 1..65535; ADDR (a name, an IPv4 address or a bracketed IPv6
// address) is not looked up here.
std::string CheckWebAddress(const std::string& text) {
    const size_t colon = text.rfind(':');
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (colon == 0) return "no address before ':' in " + text;
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos ||
        std::stoi(port) < 1 || std::stoi(port) > 65535) {
        return "the port in " + text + " is not a number from 1 to 65535";
    }
    return {};
}

}  // namespace

const char* ProgramVersion() {
    return CAMWATCH_VERSION;
}

int ParseCommandLine(int argc, char** argv, CommandLine& out, std::ostream& stdOut,
                     std::ostream& stdErr) {
    CLI::App app{"Watches up to ten cameras for motion.", "camwatch"};
    app.footer(
        "Console commands (without --no-console): winon, winoff, exit.\n"
        "SIGTERM, SIGINT and SIGHUP stop the program in order. See camwatch(1).");
    app.set_version_flag("--version", std::string("camwatch ") + ProgramVersion(),
                         "Print the version and exit");
    app.add_option("-c,--config", out.configPath,
                   "Read FILE instead of config.cfg in the working folder")
        ->option_text("FILE");
    app.add_flag("--no-console", out.noConsole,
                 "Read no commands and print no prompt; stop on SIGTERM or SIGINT");
    app.add_option("--web", out.web, "Serve the web view on [ADDR:]PORT")
        ->option_text("[ADDR:]PORT")
        ->check(CLI::Validator(CheckWebAddress, "[ADDR:]PORT", "web address"));
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e, stdOut, stdErr);
    } catch (const CLI::ParseError& e) {
        stdErr << "camwatch: " << e.what() << "; see camwatch --help" << std::endl;
        return 2;
    }
    return -1;
}

}  // namespace service
