// mkupgrade: builds an upgrade package from the outer header's fields and a
// list of inner files, or from the manifest of an unpacked package. The
// package itself is produced by the package writer (tools/package), which
// validates the inputs, streams the files and writes through a temporary
// file that is renamed into place.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/common/CommandLine.h"
#include "tools/common/Files.h"
#include "tools/common/Numbers.h"
#include "tools/common/Progress.h"
#include "tools/package/Manifest.h"
#include "tools/package/PackageWriter.h"

#ifndef QX_TOOL_VERSION
#define QX_TOOL_VERSION "unknown"
#endif

namespace {

using qx::tools::UsageError;

constexpr const char* kToolName = "mkupgrade";

constexpr const char* kUsage =
    "Usage: mkupgrade [-q] [FIELDS] -o OUT [--label TEXT] FILE [[--label TEXT] FILE]...\n"
    "  or:  mkupgrade [-q] --manifest MANIFEST -o OUT\n"
    "  or:  mkupgrade --generate-key NAME\n"
    "  or:  mkupgrade --version\n"
    "(--sign NAME.key signs either build; --unsigned leaves a manifest's signature out)";

constexpr const char* kDescription =
    "Builds an upgrade package: the outer header, then each FILE as an inner\n"
    "file, in the order given. FILE number 0 comes first; the device takes\n"
    "inner files 2, 3 and 4 (validator, kernel image, file-system database).\n"
    "With --manifest, everything comes from the manifest.json that\n"
    "'upgrade-inspect unpack' writes, and the package is rebuilt byte for byte.\n"
    "The output depends on the inputs only.";

constexpr const char* kFooter =
    "Numbers are decimal or 0x-prefixed hexadecimal, optionally followed by K,\n"
    "M or G (times 1024, 1024^2, 1024^3). Shorter texts are padded\n"
    "with zero bytes; a text that fills its field has no terminator. Empty\n"
    "files after the last non-empty one are refused: the package ends where\n"
    "the sizes reach their total, so they could never be read. The package,\n"
    "headers included, must stay below 2 GiB. OUT is written unnamed and\n"
    "takes its name only when complete, so a failed or killed build leaves\n"
    "OUT as it was. OUT '-', a device or a FIFO is written as a stream. An\n"
    "OUT that is one of the inputs (whatever the path or link), or a link\n"
    "another user owns, is refused. After SIGINT, SIGTERM or SIGHUP the exit\n"
    "status is 128 plus the signal's number (130, 143, 129).\n"
    "\n"
    "--generate-key writes a new Ed25519 key pair: NAME.key (secret, mode\n"
    "0600) and NAME.pub (for the router's /etc/upgrade-keys/): both or\n"
    "neither; it never overwrites a file. --sign appends a signature block\n"
    "that covers every byte before it; the secret key must be yours and\n"
    "closed to group and others (as ssh wants it). A package rebuilt from a\n"
    "manifest keeps its signature while its bytes are unchanged; a rebuild\n"
    "that would drop it fails unless --sign signs it again or --unsigned\n"
    "builds it unsigned.\n"
    "\n"
    "Exit status: 0 written, 1 build failed, 2 bad command line.";

// What the command line gives; numbers are checked after parsing.
struct Arguments {
    std::string version, upgradeId, spareWord = "0";
    qx::package::OuterFields outer;
    std::string output, manifest, generateKey, sign;
    CLI::Option* label = nullptr;
    CLI::Option* files = nullptr;
    std::vector<CLI::Option*> fields;
    bool quiet = false;
    bool unsignedBuild = false;
};

void DefineOptions(CLI::App& app, Arguments& args) {
    app.formatter(std::make_shared<qx::tools::HelpFormatter>(kUsage));
    app.description(kDescription);
    app.footer(kFooter);
    app.set_version_flag("--version", std::string(kToolName) + " " + QX_TOOL_VERSION,
                         "show the tool version and exit");
    const struct {
        const char* name;
        std::string& target;
        const char* type;
        const char* help;
    } fields[] = {
        {"--package-version", args.version, "N",
         "the package's version field, 0..65535 (required)"},
        {"--upgrade-name", args.outer.upgradeName, "TEXT", "at most 32 bytes (required)"},
        {"--release-name", args.outer.releaseName, "TEXT", "at most 16 bytes (required)"},
        {"--file-date", args.outer.fileDate, "TEXT", "at most 8 bytes, e.g. 20261206 (required)"},
        {"--upgrade-id", args.upgradeId, "N", "0..4294967295 (required)"},
        {"--spare-text1", args.outer.spareText1, "TEXT", "at most 8 bytes (default: empty)"},
        {"--spare-text2", args.outer.spareText2, "TEXT", "at most 8 bytes (default: empty)"},
        {"--spare-word", args.spareWord, "N", "0..4294967295 (default: 0)"}};
    for (const auto& field : fields) {
        args.fields.push_back(app.add_option(field.name, field.target, field.help)
                                  ->type_name(field.type)
                                  ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
                                  ->group("Outer header fields"));
    }
    args.label = app.add_option("--label",
                                "label (at most 32 bytes) of the next FILE only; "
                                "files without one get an all-zero label")
                     ->expected(1)
                     ->allow_extra_args(false)
                     ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                     ->type_name("TEXT")
                     ->group("Inner files");
    args.files = app.add_option("FILE", "inner files, in package order ('--' ends the options)")
                     ->expected(0, 1 << 30)
                     ->allow_extra_args(true);
    app.add_option("-o,--output", args.output, "package to write")
        ->type_name("OUT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("-q,--quiet", args.quiet,
                 "no progress line (shown on a terminal for packages over 64 MiB)");
    app.add_option("--manifest", args.manifest,
                   "build from this manifest (it replaces the fields and the files)")
        ->type_name("MANIFEST");
    app.add_option("--generate-key", args.generateKey,
                   "write a new key pair NAME.key and NAME.pub, nothing else")
        ->type_name("NAME");
    app.add_option("--sign", args.sign,
                   "sign the package with this secret key (yours, mode 0600 or stricter)")
        ->type_name("NAME.key");
    app.add_flag("--unsigned", args.unsignedBuild,
                 "build without a signature, also when the manifest carries one");
}

// CLI11 reads an argument of the form [a,b] given to a list as two values,
// and takes "--name=" as a name without value (so the next argument would
// become its value). Every argument that begins with '[' or with the escape
// byte gets the escape byte in front, "--name=" gets it as its value, and
// Unescape removes it from each value.
constexpr char kEscape = '\x01';

std::vector<std::string> EscapedArguments(int argc, char** argv) {
    std::vector<std::string> words(argv, argv + argc);
    bool optionsEnded = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::string& word = words[i];
        if (!word.empty() && (word[0] == '[' || word[0] == kEscape)) {
            word.insert(0, 1, kEscape);
        } else if (!optionsEnded && word.size() > 3 && word.compare(0, 2, "--") == 0 &&
                   word.find('=') == word.size() - 1) {
            word += kEscape;
        }
        optionsEnded = optionsEnded || word == "--";
    }
    return words;
}

std::string Unescape(const std::string& value) {
    return !value.empty() && value[0] == kEscape ? value.substr(1) : value;
}

// Parses a number (tools/common/Numbers.h) no larger than limit.
bool ParseNumber(const std::string& text, unsigned long limit, unsigned long& value) {
    unsigned long long parsed = 0;
    if (!qx::tools::ParseNumber(text, limit, parsed)) {
        return false;
    }
    value = static_cast<unsigned long>(parsed);
    return true;
}

// Pairs each --label with the FILE after it, in command-line order.
bool CollectFiles(const CLI::App& app, const Arguments& args,
                  std::vector<qx::package::InnerSource>& files, std::string& error) {
    std::size_t labels = 0, names = 0;
    bool pending = false;
    std::string label;
    for (const CLI::Option* option : app.parse_order()) {
        if (option == args.label) {
            if (pending) {
                error = "--label given twice before one file";
                return false;
            }
            label = Unescape(args.label->results().at(labels++));
            pending = true;
        } else if (option == args.files) {
            files.push_back({Unescape(args.files->results().at(names++)), {}});
            files.back().fields.label = pending ? label : std::string();
            pending = false;
        }
    }
    if (pending) {
        error = "--label must be followed by a file";
        return false;
    }
    return true;
}

// The outer fields of the command line: required ones present, numbers in range.
bool CheckFields(const CLI::App& app, Arguments& args, std::string& error) {
    for (const char* name :
         {"--package-version", "--upgrade-name", "--release-name", "--file-date", "--upgrade-id"}) {
        if (app.count(name) == 0) {
            error = std::string("missing ") + name;
            return false;
        }
    }
    const struct {
        const char* name;
        const std::string& text;
        unsigned long limit;
    } numbers[] = {{"--package-version", args.version, 0xFFFFul},
                   {"--upgrade-id", args.upgradeId, 0xFFFFFFFFul},
                   {"--spare-word", args.spareWord, 0xFFFFFFFFul}};
    unsigned long values[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        if (!ParseNumber(numbers[i].text, numbers[i].limit, values[i])) {
            error = std::string(numbers[i].name) + " needs a number from 0 to " +
                    std::to_string(numbers[i].limit) + ", not '" + numbers[i].text + "'";
            return false;
        }
    }
    args.outer.version = static_cast<unsigned short>(values[0]);
    args.outer.upgradeId = static_cast<unsigned int>(values[1]);
    args.outer.spareWord = static_cast<unsigned int>(values[2]);
    return true;
}

void UnescapeFields(Arguments& args) {
    for (std::string* text :
         {&args.version, &args.upgradeId, &args.spareWord, &args.outer.upgradeName,
          &args.outer.releaseName, &args.outer.fileDate, &args.outer.spareText1,
          &args.outer.spareText2, &args.output, &args.manifest, &args.generateKey, &args.sign}) {
        *text = Unescape(*text);
    }
}

// Parses the command line with its arguments escaped; -1 to go on, else the
// exit code.
int Parse(CLI::App& app, Arguments& args, int argc, char** argv) {
    const std::vector<std::string> words = EscapedArguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& word : words) {
        pointers.push_back(word.c_str());
    }
    const int parsed = qx::tools::ParseCommandLine(app, argc, pointers.data());
    UnescapeFields(args);
    return parsed;
}

// The package sources given on the command line, unless a manifest gives them.
bool SourcesFromArguments(const CLI::App& app, Arguments& args,
                          qx::package::PackageSources& sources, std::string& error) {
    if (!args.manifest.empty()) {
        if (args.label->count() + args.files->count() > 0 ||
            std::any_of(args.fields.begin(), args.fields.end(),
                        [](const CLI::Option* field) { return field->count() > 0; })) {
            error = "--manifest replaces the header fields and the files; give it alone with -o";
            return false;
        }
        return true;
    }
    if (!CollectFiles(app, args, sources.inners, error) || !CheckFields(app, args, error)) {
        return false;
    }
    if (sources.inners.empty()) {
        error = "no inner file given (a package holds at least one)";
        return false;
    }
    sources.outer = args.outer;
    return true;
}

// --generate-key: alone on the command line.
int GenerateKey(const CLI::App& app, const Arguments& args) {
    if (app.count("--generate-key") + app.count("--sign") + app.count("--output") +
                app.count("--manifest") + args.label->count() + args.files->count() !=
            1 ||
        std::any_of(args.fields.begin(), args.fields.end(),
                    [](const CLI::Option* field) { return field->count() > 0; })) {
        return UsageError(kToolName, "--generate-key NAME is given alone");
    }
    std::string error;
    if (!qx::package::GenerateKeyPair(args.generateKey, error)) {
        return qx::tools::Fail(kToolName, error);
    }
    return 0;
}

// Writes the package, signed when --sign names a key; --unsigned builds it
// without the signature a manifest carries.
int Build(const Arguments& args, qx::package::PackageSources& sources) {
    std::string error;
    if (!args.sign.empty() &&
        !qx::package::LoadSecretKey(args.sign, sources.signing.signer.emplace(), error)) {
        return qx::tools::Fail(kToolName, error);
    }
    if (args.unsignedBuild) {
        sources.signing.kept.reset();
    }
    if (!qx::package::WritePackage(args.output, sources, error)) {
        return qx::tools::Fail(kToolName, error);
    }
    return 0;
}

int Run(int argc, char** argv) {
    CLI::App app(kDescription, kToolName);
    Arguments args;
    DefineOptions(app, args);
    const int parsed = Parse(app, args, argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    if (app.count("--generate-key") > 0) {
        return GenerateKey(app, args);
    }
    if (args.output.empty()) {
        return UsageError(kToolName, "missing -o OUT");
    }
    if (args.unsignedBuild && !args.sign.empty()) {
        return UsageError(kToolName, "--sign and --unsigned exclude each other");
    }
    qx::tools::SetQuiet(args.quiet);
    qx::package::PackageSources sources;
    std::string error;
    if (!SourcesFromArguments(app, args, sources, error)) {
        return UsageError(kToolName, error);
    }
    if (!args.manifest.empty() &&
        (!qx::package::ReadManifest(args.manifest, sources, error) ||
         (args.output != qx::tools::kStandardStream &&
          !qx::tools::CheckOutputFile(args.output, {args.manifest}, error)))) {
        return qx::tools::Fail(kToolName, error);
    }
    return Build(args, sources);
}

}  // namespace

int main(int argc, char** argv) { return qx::tools::RunGuarded(kToolName, Run, argc, argv); }
