#include "device/DeviceCases.h"

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"

namespace qx::testing::devicecases {

std::string Shown(const std::string& bytes) {
    std::string shown = "\"";
    for (char c : bytes) {
        shown += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return shown + "\"";
}

namespace {

namespace utils = qx::upgrader::utils;

Placed File(const std::string& path, unsigned int size) { return {path, "", size, false}; }
Placed Text(const std::string& path, const std::string& text) { return {path, text, 0, false}; }
Placed Directory(const std::string& path) { return {path, "", 0, true}; }

bool IsUpload(const char* name) { return name[0] == 'u' && name[1] == 'd'; }

// At file scope: one table, whatever its length.
const std::vector<DeviceCase> kCases = {
    {"remove a file, a missing name, not a directory",
     {File("/var/t/a", 8192), Directory("/var/t/d")},
     [] {
         return utils::RemoveFile("/var/t/a") && utils::RemoveFile("/var/t/none") &&
                !utils::RemoveFile("/var/t/d");
     },
     "true; /var/t/a: missing; /var/t/none: missing; /var/t/d: directory; freed 8192"},
    {"remove a tree",
     {File("/var/t/tree/x", 4096), File("/var/t/tree/sub/y", 8192)},
     [] { return utils::RemoveTree("/var/t/tree/") == 0; },
     "true; /var/t/tree: missing; /var/t: directory; freed 12288"},
    {"empty a file and a missing one",
     {File("/var/t/log", 8192)},
     [] { return utils::EmptyFile("/var/t/log") == 0 && utils::EmptyFile("/var/t/new") == 0; },
     "true; /var/t/log: file 0 \"\"; /var/t/new: file 0 \"\"; freed 8192"},
    {"rename over a file, not a missing name",
     {Text("/var/t/a", "a\n"), File("/var/t/b", 4096)},
     [] {
         return utils::RenameFile("/var/t/a", "/var/t/b") &&
                !utils::RenameFile("/var/t/none", "/var/t/c");
     },
     "true; /var/t/a: missing; /var/t/b: file 2 \"a\\n\"; /var/t/c: missing"},
    {"touch",
     {Text("/var/t/kept", "k\n"), Directory("/var/t")},
     [] { return utils::TouchFile("/var/t/kept") == 0 && utils::TouchFile("/var/t/new") == 0; },
     "true; /var/t/kept: file 2 \"k\\n\"; /var/t/new: file 0 \"\""},
    {"remove selected entries",
     {File("/var/t/ud1", 4096), File("/var/t/uddir/x", 4096), File("/var/t/keep", 4096)},
     [] {
         utils::RemoveSelectedEntries("/var/t", IsUpload);
         return true;
     },
     "true; /var/t/ud1: missing; /var/t/uddir: missing; /var/t/keep: file 4096; freed 8192"},
    {"claim a missing name, an own file, a directory; not in a missing directory",
     {Text("/var/t/own", "mine\n"), File("/var/t/d/x", 1)},
     [] {
         return utils::ClaimOwnFile("/var/t/new", 0644) &&
                utils::ClaimOwnFile("/var/t/own", 0644) && utils::ClaimOwnFile("/var/t/d", 0644) &&
                !utils::ClaimOwnFile("/var/t/none/f", 0644);
     },
     "true; /var/t/new: file 0 \"\"; /var/t/own: file 5 \"mine\\n\"; /var/t/d: file 0 \"\"; "
     "/var/t/d/x: missing; /var/t/none: missing"},
    // Lines as tail counts them: a last line without a line feed counts.
    {"keep the last lines",
     {Text("/var/t/1", "a\nb\nc\n"), Text("/var/t/2", "a\nb\nc"), Text("/var/t/3", "a\nb\n"),
      File("/var/t/4", 0), Text("/var/t/5", "a\n\n\n"), Text("/var/t/6", "a\nb\n")},
     [] {
         const unsigned int kept[] = {2, 2, 5, 3, 2, 0};
         bool all = true;
         for (int i = 0; i < 6; ++i) {
             const std::string log = "/var/t/" + std::to_string(i + 1);
             all = utils::KeepLastLines(log, kept[i]) && all;
         }
         return all;
     },
     "true; /var/t/1: file 4 \"b\\nc\\n\"; /var/t/2: file 3 \"b\\nc\"; /var/t/3: file 4 "
     "\"a\\nb\\n\"; /var/t/4: file 0 \"\"; /var/t/5: file 2 \"\\n\\n\"; /var/t/6: file 0 \"\""},
    // The scratch file has a fresh name: what stands at any fixed one stays.
    {"keep the last lines beside a planted scratch name, not of a missing log",
     {Text("/var/t/log", "1\n2\n"), Directory("/var/t/log.tmp")},
     [] {
         return utils::KeepLastLines("/var/t/log", 1) && !utils::KeepLastLines("/var/t/none", 1);
     },
     "true; /var/t/log: file 2 \"2\\n\"; /var/t/log.tmp: directory; /var/t/none: missing"},
    {"move a file over a file; not a missing one, not onto a directory",
     {Text("/var/t/a", "a\n"), Text("/var/t/b", "b\n"), Text("/var/t/c", "c\n"),
      File("/var/t/d/x", 1)},
     [] {
         return utils::MoveFile("/var/t/a", "/var/t/b") &&
                !utils::MoveFile("/var/t/none", "/var/t/c") &&
                !utils::MoveFile("/var/t/c", "/var/t/d");
     },
     "true; /var/t/a: missing; /var/t/b: file 2 \"a\\n\"; /var/t/c: file 2 \"c\\n\"; "
     "/var/t/d: directory"},
    {"move the log onto a directory and after an earlier one",
     {Text("/var/t/a", "a\n"), File("/var/t/d/x", 1), Text("/var/t/n", "new\n"),
      Text("/var/t/b", "old\n")},
     [] {
         return utils::MoveUpgradeLog("/var/t/a", "/var/t/d", false) &&
                utils::MoveUpgradeLog("/var/t/n", "/var/t/b", true);
     },
     "true; /var/t/a: missing; /var/t/d: file 2 \"a\\n\"; /var/t/d/x: missing; /var/t/n: missing; "
     "/var/t/b: file 8 \"old\\nnew\\n\""},
};

}  // namespace

const std::vector<DeviceCase>& Cases() { return kCases; }

std::string RunCase(const DeviceCase& c) {
    ResetDevice();
    for (const Placed& placed : c.placed) {
        Place(placed);
    }
    unsigned int before = 0, after = 0;
    const bool measured = utils::MountFreeSpace("/", before);
    std::string text = c.action() ? "true" : "false";
    // The paths the expected description names, each before its ": ".
    for (std::size_t at = c.expected.find("; /"); at != std::string::npos;
         at = c.expected.find("; /", at + 1)) {
        const std::string path = c.expected.substr(at + 2, c.expected.find(": ", at) - at - 2);
        text += "; " + path + ": " + Describe(path);
    }
    if (c.expected.find("; freed ") != std::string::npos) {
        const bool again = utils::MountFreeSpace("/", after);
        text += measured && again ? "; freed " + std::to_string(after - before) : "; unmeasured";
    }
    return text;
}

}  // namespace qx::testing::devicecases
