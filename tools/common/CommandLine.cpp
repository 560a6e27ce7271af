#include "tools/common/CommandLine.h"

#include <cstdio>
#include <exception>

#include "tools/common/Signals.h"

namespace qx {
namespace tools {

std::string HelpFormatter::make_usage(const CLI::App* app, std::string name) const {
    // A subcommand's help keeps CLI11's usage line (it ends in a line feed).
    const std::string text = app->get_parent() == nullptr
                                 ? usage + "\n"
                                 : CLI::Formatter::make_usage(app, std::move(name));
    return text + "\n" + app->get_description() + "\n";
}

std::string HelpFormatter::make_description(const CLI::App*) const { return ""; }

int ParseCommandLine(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return 0;
    } catch (const CLI::ParseError& error) {
        return UsageError(app.get_name(), error.what());
    }
    return -1;
}

int Fail(const std::string& tool, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", tool.c_str(), text.c_str());
    return kExitFailed;
}

int UsageError(const std::string& tool, const std::string& text) {
    std::fprintf(stderr, "%s: %s (try --help)\n", tool.c_str(), text.c_str());
    return kExitUsage;
}

int RunGuarded(const std::string& tool, int (*run)(int, char**), int argc, char** argv) {
    CleanUpOnSignals();
    try {
        return run(argc, argv);
    } catch (const std::exception& failure) {
        return Fail(tool, failure.what());
    }
}

}  // namespace tools
}  // namespace qx
