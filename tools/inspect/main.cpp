// upgrade-inspect: lists, verifies, extracts and unpacks upgrade packages on
// a build machine. All checking is done by the device's own package reader;
// this tool only presents its results. The reader's log lines (the outer
// header fields that the device writes to its upgrade log) are shown on
// stderr only when --verbose asks for them; the tool links the stderr log
// sink, so it can never write the device's log path.
#include <string>

#include "tools/common/CommandLine.h"
#include "tools/inspect/Inspect.h"
#include "upgrader/utils/StderrLogSink.h"

#ifndef QX_TOOL_VERSION
#define QX_TOOL_VERSION "unknown"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: upgrade-inspect [-v] list [--json] PACKAGE\n"
    "       upgrade-inspect [-v] verify [--json] PACKAGE\n"
    "       upgrade-inspect [-v] extract PACKAGE INDEX OUT\n"
    "       upgrade-inspect [-v] unpack PACKAGE DIR";

constexpr const char* kDescription =
    "Checks upgrade packages with the device's own package reader.";

constexpr const char* kFooter =
    "list      outer header fields and, per inner file, its index, data offset,\n"
    "          size, label and digest verdict\n"
    "verify    exit 0 when the package is valid; otherwise print the reader's\n"
    "          error text on stderr and exit 1; with --json, the error's kind\n"
    "          and the position of the rejected header\n"
    "extract   verify the package, then write the data of inner file INDEX\n"
    "          (counted from 0) to OUT (created with mode 0755 less the umask;\n"
    "          an existing OUT is truncated and keeps its mode)\n"
    "unpack    verify the package, then write every inner file and a\n"
    "          manifest.json into DIR (missing or empty); 'mkupgrade --manifest\n"
    "          DIR/manifest.json -o OUT' rebuilds the package byte for byte\n"
    "\n"
    "Exit status: 0 success, 1 invalid package or failed operation,\n"
    "2 bad command line.";

struct Arguments {
    std::string package, index, out, folder;
    bool json = false;
    bool verbose = false;
};

CLI::App* Command(CLI::App& app, const char* name, const char* help, Arguments& args) {
    CLI::App* command = app.add_subcommand(name, help);
    command->formatter(app.get_formatter());
    command->add_option("PACKAGE", args.package, "the package")->required();
    return command;
}

void DefineCommands(CLI::App& app, Arguments& args) {
    app.formatter(std::make_shared<qx::tools::HelpFormatter>(kUsage));
    app.footer(kFooter);
    app.set_version_flag("--version", std::string(qx::inspect::kToolName) + " " + QX_TOOL_VERSION,
                         "show the tool version and exit");
    app.add_flag("-v,--verbose", args.verbose, "also show the reader's log lines on stderr");
    app.require_subcommand(1);
    app.fallthrough();
    Command(app, "list", "header fields and inner files", args)
        ->add_flag("--json", args.json, "one JSON object instead of text");
    Command(app, "verify", "the reader's verdict", args)
        ->add_flag("--json", args.json, "one JSON object instead of text");
    CLI::App* extract = Command(app, "extract", "write one inner file", args);
    extract->add_option("INDEX", args.index, "inner file number, from 0")->required();
    extract->add_option("OUT", args.out, "file to write")->required();
    Command(app, "unpack", "write every inner file and manifest.json", args)
        ->add_option("DIR", args.folder, "missing or empty folder")
        ->required();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(kDescription, qx::inspect::kToolName);
    Arguments args;
    DefineCommands(app, args);
    const int parsed = qx::tools::ParseCommandLine(app, argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    qx::upgrader::utils::EnableStderrLog(args.verbose);
    const std::string command = app.get_subcommands().front()->get_name();
    if (command == "list") {
        return qx::inspect::List(args.package, args.json);
    }
    if (command == "verify") {
        return qx::inspect::Verify(args.package, args.json);
    }
    if (command == "extract") {
        return qx::inspect::Extract(args.package, args.index, args.out);
    }
    return qx::inspect::Unpack(args.package, args.folder);
}
