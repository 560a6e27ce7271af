// mkupgrade: builds an upgrade package from the outer header's fields and a
// list of inner files. The package itself is produced by the package writer
// (tools/package), which validates the inputs, streams the files and writes
// through a temporary file that is renamed into place.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/package/PackageWriter.h"

#ifndef QX_TOOL_VERSION
#define QX_TOOL_VERSION "unknown"
#endif

namespace {

constexpr const char* kToolName = "mkupgrade";

// Exit codes: 0 package written, 1 the build failed, 2 bad command line.
constexpr int kExitBuildFailed = 1;
constexpr int kExitUsage = 2;

void PrintHelp() {
    std::printf(
        "Usage: mkupgrade [FIELDS] -o OUT [--label TEXT] FILE [[--label TEXT] FILE]...\n"
        "\n"
        "Builds an upgrade package: the outer header, then each FILE as an inner\n"
        "file, in the order given. FILE number 0 comes first; the device takes\n"
        "inner files 2, 3 and 4 (validator, kernel image, file-system database).\n"
        "\n"
        "Outer header fields:\n"
        "  --version N          package version, 0..65535 (required)\n"
        "  --upgrade-name TEXT  at most 32 bytes (required)\n"
        "  --release-name TEXT  at most 16 bytes (required)\n"
        "  --file-date TEXT     at most 8 bytes, e.g. 20261206 (required)\n"
        "  --upgrade-id N       0..4294967295 (required)\n"
        "  --spare-text1 TEXT   at most 8 bytes (default: empty)\n"
        "  --spare-text2 TEXT   at most 8 bytes (default: empty)\n"
        "  --spare-word N       0..4294967295 (default: 0)\n"
        "Numbers are decimal or 0x-prefixed hexadecimal. Shorter texts are padded\n"
        "with zero bytes; a text that fills its field has no terminator.\n"
        "\n"
        "Inner files:\n"
        "  --label TEXT         label (at most 32 bytes) of the next FILE only;\n"
        "                       files without one get an all-zero label\n"
        "  --                   every later argument is a FILE\n"
        "Empty files after the last non-empty one are refused: the package\n"
        "ends where the sizes reach their total, so they could never be read.\n"
        "\n"
        "Output:\n"
        "  -o, --output OUT     package to write; it is written to a temporary\n"
        "                       file next to OUT and renamed over OUT only when\n"
        "                       complete, so a failed build leaves OUT as it was\n"
        "\n"
        "  -h, --help           show this help and exit\n"
        "  --version            (as the only argument) show the tool version\n"
        "\n"
        "The package, headers included, must stay below 2 GiB.\n"
        "Exit status: 0 written, 1 build failed, 2 bad command line.\n");
}

int UsageError(const std::string& text) {
    std::fprintf(stderr, "%s: %s (try --help)\n", kToolName, text.c_str());
    return kExitUsage;
}

// Parses a decimal or 0x-hexadecimal number no larger than limit.
bool ParseNumber(const std::string& text, unsigned long limit, unsigned long& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    int base = 10;
    const char* digits = text.c_str();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(digits, &end, base);
    if (errno != 0 || end == digits || *end != '\0' || parsed > limit) {
        return false;
    }
    value = static_cast<unsigned long>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("%s %s\n", kToolName, QX_TOOL_VERSION);
        return 0;
    }

    qx::package::OuterFields package;
    std::vector<qx::package::InnerSource> files;
    std::string output;
    bool haveVersion = false, haveUpgradeName = false, haveReleaseName = false,
         haveFileDate = false, haveUpgradeId = false;
    bool pendingLabel = false;
    std::string label;
    bool filesOnly = false;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (filesOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            qx::package::InnerSource input;
            input.path = arg;
            input.fields.label = pendingLabel ? label : std::string();
            files.push_back(input);
            pendingLabel = false;
            continue;
        }
        if (arg == "--") {
            filesOnly = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            PrintHelp();
            return 0;
        }

        // Every remaining option takes a value, as "--opt VALUE" or "--opt=VALUE".
        std::string name = arg;
        std::string value;
        bool haveValue = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            haveValue = true;
        }
        static const char* const kValued[] = {
            "-o",          "--output",     "--version",     "--upgrade-name", "--release-name",
            "--file-date", "--upgrade-id", "--spare-text1", "--spare-text2",  "--spare-word",
            "--label"};
        bool known = false;
        for (const char* option : kValued) {
            known = known || name == option;
        }
        if (!known) {
            return UsageError("unknown option " + name);
        }
        if (!haveValue) {
            if (i + 1 >= args.size()) {
                return UsageError("option " + name + " needs a value");
            }
            value = args[++i];
        }

        unsigned long number = 0;
        if (name == "-o" || name == "--output") {
            if (value.empty()) {
                return UsageError("empty output path");
            }
            output = value;
        } else if (name == "--version") {
            if (!ParseNumber(value, 0xFFFFul, number)) {
                return UsageError("--version needs a number from 0 to 65535, not '" + value + "'");
            }
            package.version = static_cast<unsigned short>(number);
            haveVersion = true;
        } else if (name == "--upgrade-id" || name == "--spare-word") {
            if (!ParseNumber(value, 0xFFFFFFFFul, number)) {
                return UsageError(name + " needs a number from 0 to 4294967295, not '" + value +
                                  "'");
            }
            if (name == "--upgrade-id") {
                package.upgradeId = static_cast<unsigned int>(number);
                haveUpgradeId = true;
            } else {
                package.spareWord = static_cast<unsigned int>(number);
            }
        } else if (name == "--upgrade-name") {
            package.upgradeName = value;
            haveUpgradeName = true;
        } else if (name == "--release-name") {
            package.releaseName = value;
            haveReleaseName = true;
        } else if (name == "--file-date") {
            package.fileDate = value;
            haveFileDate = true;
        } else if (name == "--spare-text1") {
            package.spareText1 = value;
        } else if (name == "--spare-text2") {
            package.spareText2 = value;
        } else if (name == "--label") {
            if (pendingLabel) {
                return UsageError("--label given twice before one file");
            }
            label = value;
            pendingLabel = true;
        }
    }

    if (pendingLabel) {
        return UsageError("--label must be followed by a file");
    }
    const struct {
        bool given;
        const char* option;
    } required[] = {{haveVersion, "--version"},
                    {haveUpgradeName, "--upgrade-name"},
                    {haveReleaseName, "--release-name"},
                    {haveFileDate, "--file-date"},
                    {haveUpgradeId, "--upgrade-id"}};
    for (const auto& field : required) {
        if (!field.given) {
            return UsageError(std::string("missing ") + field.option);
        }
    }
    if (output.empty()) {
        return UsageError("missing -o OUT");
    }
    if (files.empty()) {
        return UsageError("no inner file given (a package holds at least one)");
    }

    std::string error;
    if (!qx::package::WritePackage(output, package, files, error)) {
        std::fprintf(stderr, "%s: %s\n", kToolName, error.c_str());
        return kExitBuildFailed;
    }
    return 0;
}
