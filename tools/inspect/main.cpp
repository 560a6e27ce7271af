// upgrade-inspect: lists, verifies, extracts, unpacks and diffs upgrade
// packages on a build machine, and plans the cleanup. All checking is done by
// the device's own package reader; this tool only presents its results. The
// reader's log lines (the outer header fields that the device writes to its
// upgrade log) are shown on stderr only when --verbose asks for them; the
// tool links the in-memory device's log sink (the plan reads its entries
// there), so it can never write the device's log path.
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/JsonText.h"
#include "tools/common/Progress.h"
#include "tools/inspect/Inspect.h"
#include "tools/plan/Plan.h"
#include "upgrader/utils/StderrLogSink.h"

#ifndef QX_TOOL_VERSION
#define QX_TOOL_VERSION "unknown"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: upgrade-inspect [-v] [-q] list [--json] [--key NAME.pub]... [--keys DIR] PACKAGE\n"
    "  or:  upgrade-inspect [-v] [-q] verify [--json] [--key NAME.pub]... [--keys DIR] "
    "PACKAGE...\n"
    "  or:  upgrade-inspect [-v] [-q] extract PACKAGE INDEX|LABEL OUT\n"
    "  or:  upgrade-inspect [-v] [-q] unpack PACKAGE DIR\n"
    "  or:  upgrade-inspect [-v] [-q] diff [--json] PACKAGE1 PACKAGE2\n"
    "  or:  upgrade-inspect plan [--json] [--required BYTES] [--root DIR --free BYTES]\n"
    "                            [--proc-version FILE]";

constexpr const char* kDescription =
    "Checks upgrade packages with the device's own package reader.";

constexpr const char* kFooter =
    "A PACKAGE of '-' is standard input; extract's OUT '-' is standard output.\n"
    "list shows the MD5 of each inner file's data as md5sum prints it. diff\n"
    "compares every byte and names each difference: a header or inner header\n"
    "field, an inner file's data, the signature and what follows the last\n"
    "inner file. Without a key, list and verify still say what follows the\n"
    "last inner file (unsigned, signed by KEYID, a malformed block); --keys\n"
    "reads a folder as the router reads its /etc/upgrade-keys. Texts that are\n"
    "not UTF-8 show \\xHH for each such byte and \\\\ for a backslash.\n"
    "extract writes OUT with mode 0755 less the umask; an existing OUT is\n"
    "truncated and keeps its mode. unpack writes into a missing or empty DIR,\n"
    "all or nothing; 'mkupgrade --manifest DIR/manifest.json -o OUT' rebuilds\n"
    "the package byte for byte, also after a file in DIR was replaced.\n"
    "\n"
    "plan runs the device's own cleanup on an in-memory copy of the files it\n"
    "looks at and touches nothing. Sizes are allocated blocks (a tree's summed),\n"
    "as a removal gives them back; on file systems that compress they are\n"
    "estimates and the plan says so. The upgrade log moves to the RAM disk\n"
    "before the cleanup; the space that frees is counted. A plan exits 0\n"
    "whether the cleanup would free enough or not.\n"
    "\n"
    "SIGINT, SIGTERM and SIGHUP during extract or unpack remove the partial\n"
    "OUT or the temporary folder; the exit status is then 128 plus the\n"
    "signal's number (130, 143, 129).\n"
    "\n"
    "Numbers (INDEX, BYTES) are decimal or 0x-prefixed hexadecimal, optionally\n"
    "followed by K, M or G (times 1024, 1024^2, 1024^3).\n"
    "\n"
    "Exit status: 0 success, 1 invalid package or failed operation,\n"
    "2 bad command line. diff: 0 the same, 1 different, 2 trouble.";

struct Arguments {
    std::string package, index, out, folder, second;
    qx::inspect::KeyOptions keys;
    std::vector<std::string> packages;
    bool json = false;
    bool verbose = false;
    bool quiet = false;
    qx::plan::PlanArguments plan;
};

void DefinePlan(CLI::App& app, qx::plan::PlanArguments& plan) {
    CLI::App* command = app.add_subcommand(
        "plan",
        "what the upgrade's cleanup would remove, stage by stage, and whether it "
        "frees enough, touching nothing");
    command->formatter(app.get_formatter());
    command->add_flag("--json", plan.json, "one JSON object instead of text");
    command
        ->add_option("--required", plan.required,
                     "free space the upgrade needs in bytes (default 23068672)")
        ->type_name("BYTES");
    command
        ->add_option("--root", plan.root,
                     "plan for an unpacked root file system at DIR instead of this system's /")
        ->type_name("DIR");
    command->add_option("--free", plan.free, "with --root: the free space of that file system")
        ->type_name("BYTES");
    command
        ->add_option("--proc-version", plan.procVersion,
                     "a file holding the running kernel's version line (default: proc/version "
                     "under the root; without one every module tree stays)")
        ->type_name("FILE");
}

CLI::App* Command(CLI::App& app, const char* name, const char* help, Arguments& args) {
    CLI::App* command = app.add_subcommand(name, help);
    command->formatter(app.get_formatter());
    command->add_option("PACKAGE", args.package, "the package")->required();
    return command;
}

// --json and --key of list and verify.
void KeyOption(CLI::App* command, Arguments& args) {
    command->add_flag("--json", args.json,
                      "JSON instead of text (verify: an object per package, an array of them "
                      "for several)");
    command
        ->add_option("--key", args.keys.files,
                     "valid only when signed by this public key (may be given several times)")
        ->type_name("NAME.pub")
        ->allow_extra_args(false);
    command
        ->add_option("--keys", args.keys.directory,
                     "valid only when signed by a key of this folder, read as the router "
                     "reads its trust store")
        ->type_name("DIR");
}

void DefineCommands(CLI::App& app, Arguments& args) {
    app.formatter(std::make_shared<qx::tools::HelpFormatter>(kUsage));
    app.footer(kFooter);
    app.set_version_flag("--version", std::string(qx::inspect::kToolName) + " " + QX_TOOL_VERSION,
                         "show the tool version and exit");
    app.set_help_all_flag("--help-all", "show the help of every subcommand and exit");
    app.add_flag("-v,--verbose", args.verbose, "also show the reader's log lines on stderr");
    app.add_flag("-q,--quiet", args.quiet,
                 "no progress line (shown on a terminal for packages over 64 MiB)");
    app.require_subcommand(1);
    app.fallthrough();
    KeyOption(Command(app, "list",
                      "outer header fields, the signature and, per inner file, its index, "
                      "data offset, size, MD5, label and digest verdict",
                      args),
              args);
    CLI::App* verify = app.add_subcommand(
        "verify",
        "exit 0 when every package is valid; else for each invalid one the reader's error "
        "text and the inner file it stopped at on stderr (with --json: its kind and the "
        "position of the rejected header) and exit 1");
    verify->formatter(app.get_formatter());
    verify->add_option("PACKAGE", args.packages, "the packages")->required();
    KeyOption(verify, args);
    CLI::App* diff = Command(app, "diff",
                             "every difference of two packages; exit 0 only when they are the "
                             "same byte for byte, 1 different, 2 trouble",
                             args);
    diff->add_option("PACKAGE2", args.second, "the other package")->required();
    diff->add_flag("--json", args.json, "one JSON object instead of text");
    CLI::App* extract =
        Command(app, "extract",
                "verify, then write the data of inner file INDEX (from 0) or LABEL to OUT", args);
    extract->add_option("INDEX", args.index, "inner file number from 0, or its label")
        ->type_name("INDEX|LABEL")
        ->required();
    extract->add_option("OUT", args.out, "file to write ('-': standard output)")->required();
    Command(app, "unpack", "verify, then write every inner file and a manifest.json into DIR", args)
        ->add_option("DIR", args.folder, "missing or empty folder")
        ->required();
    DefinePlan(app, args.plan);
}

// The first word that is not an option names the command; one that names
// none is named in the error. -1 when there is no such word.
int UnknownCommand(const CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] == '-') {
            continue;
        }
        for (const CLI::App* command : app.get_subcommands({})) {
            if (command->get_name() == word) {
                return -1;
            }
        }
        return qx::tools::UsageError(qx::inspect::kToolName,
                                     "unknown command '" + qx::tools::TextOf(word) +
                                         "' (commands: list, verify, extract, unpack, diff, plan)");
    }
    return -1;
}

int Run(int argc, char** argv) {
    CLI::App app(kDescription, qx::inspect::kToolName);
    Arguments args;
    DefineCommands(app, args);
    const int unknown = UnknownCommand(app, argc, argv);
    if (unknown >= 0) {
        return unknown;
    }
    const int parsed = qx::tools::ParseCommandLine(app, argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    qx::upgrader::utils::EnableStderrLog(args.verbose);
    qx::tools::SetQuiet(args.quiet);
    const std::string command = app.get_subcommands().front()->get_name();
    if (command == "list") {
        return qx::inspect::List(args.package, args.json, args.keys);
    }
    if (command == "verify") {
        return qx::inspect::Verify(args.packages, args.json, args.keys);
    }
    if (command == "diff") {
        return qx::inspect::Diff(args.package, args.second, args.json);
    }
    if (command == "extract") {
        return qx::inspect::Extract(args.package, args.index, args.out);
    }
    if (command == "plan") {
        return qx::plan::RunPlan(args.plan);
    }
    return qx::inspect::Unpack(args.package, args.folder);
}

}  // namespace

int main(int argc, char** argv) {
    return qx::tools::RunGuarded(qx::inspect::kToolName, Run, argc, argv);
}
