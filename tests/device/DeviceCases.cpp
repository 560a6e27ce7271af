#include "device/DeviceCases.h"

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"

namespace qx::testing::devicecases {

namespace {

namespace utils = qx::upgrader::utils;

bool Command(const std::string& text) { return utils::RunCommand(text) == 0; }

Placed File(const std::string& path, unsigned int size) { return {path, "", size, false}; }
Placed Text(const std::string& path, const std::string& text) { return {path, text, 0, false}; }
Placed Directory(const std::string& path) { return {path, "", 0, true}; }

bool IsUpload(const char* name) { return name[0] == 'u' && name[1] == 'd'; }

}  // namespace

std::string Shown(const std::string& bytes) {
    std::string shown = "\"";
    for (char c : bytes) {
        shown += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return shown + "\"";
}

const std::vector<DeviceCase>& Cases() {
    static const std::vector<DeviceCase> cases = {
        {"remove a file",
         {File("/var/t/a", 8192)},
         [] { return utils::RemoveFile("/var/t/a"); },
         {"/var/t/a"},
         true,
         "true; /var/t/a: missing; freed 8192"},
        {"remove a missing name",
         {Directory("/var/t")},
         [] { return utils::RemoveFile("/var/t/none"); },
         {"/var/t/none"},
         true,
         "true; /var/t/none: missing; freed 0"},
        {"remove a directory by name",
         {Directory("/var/t/d")},
         [] { return utils::RemoveFile("/var/t/d"); },
         {"/var/t/d"},
         false,
         "false; /var/t/d: directory"},
        {"rm -rf a tree",
         {File("/var/t/tree/x", 4096), File("/var/t/tree/sub/y", 8192)},
         [] { return Command("rm -rf /var/t/tree/"); },
         {"/var/t/tree", "/var/t"},
         true,
         "true; /var/t/tree: missing; /var/t: directory; freed 12288"},
        {"empty a file by command",
         {File("/var/t/log", 8192)},
         [] { return Command("cat /dev/null > /var/t/log"); },
         {"/var/t/log"},
         true,
         "true; /var/t/log: file 0 \"\"; freed 8192"},
        {"empty a missing file by command",
         {Directory("/var/t")},
         [] { return Command("cat /dev/null > /var/t/new"); },
         {"/var/t/new"},
         false,
         "true; /var/t/new: file 0 \"\""},
        {"mv over a file",
         {Text("/var/t/a", "a\n"), Text("/var/t/b", "b\n")},
         [] { return Command("mv /var/t/a /var/t/b"); },
         {"/var/t/a", "/var/t/b"},
         false,
         "true; /var/t/a: missing; /var/t/b: file 2 \"a\\n\""},
        {"rename over a file",
         {Text("/var/t/a", "a\n"), File("/var/t/b", 4096)},
         [] { return utils::RenameFile("/var/t/a", "/var/t/b"); },
         {"/var/t/a", "/var/t/b"},
         false,
         "true; /var/t/a: missing; /var/t/b: file 2 \"a\\n\""},
        {"rename a missing name",
         {Directory("/var/t")},
         [] { return utils::RenameFile("/var/t/none", "/var/t/b"); },
         {"/var/t/b"},
         false,
         "false; /var/t/b: missing"},
        {"touch",
         {Text("/var/t/kept", "k\n"), Directory("/var/t")},
         [] { return Command("touch /var/t/kept") && Command("touch /var/t/new"); },
         {"/var/t/kept", "/var/t/new"},
         false,
         "true; /var/t/kept: file 2 \"k\\n\"; /var/t/new: file 0 \"\""},
        {"tail into a file",
         {Text("/var/t/log", "1\n2\n3\n")},
         [] { return Command("tail -n 2 /var/t/log > /var/t/last"); },
         {"/var/t/log", "/var/t/last"},
         false,
         "true; /var/t/log: file 6 \"1\\n2\\n3\\n\"; /var/t/last: file 4 \"2\\n3\\n\""},
        {"remove selected entries",
         {File("/var/t/ud1", 4096), File("/var/t/uddir/x", 4096), File("/var/t/keep", 4096)},
         [] {
             utils::RemoveSelectedEntries("/var/t", IsUpload);
             return true;
         },
         {"/var/t/ud1", "/var/t/uddir", "/var/t/keep"},
         true,
         "true; /var/t/ud1: missing; /var/t/uddir: missing; /var/t/keep: file 4096; freed 8192"},
        {"claim a missing name and an own file",
         {Text("/var/t/own", "mine\n")},
         [] {
             return utils::ClaimOwnFile("/var/t/new", 0644) &&
                    utils::ClaimOwnFile("/var/t/own", 0644);
         },
         {"/var/t/new", "/var/t/own"},
         false,
         "true; /var/t/new: file 0 \"\"; /var/t/own: file 5 \"mine\\n\""},
        {"claim a directory",
         {Directory("/var/t/d")},
         [] { return utils::ClaimOwnFile("/var/t/d", 0644); },
         {"/var/t/d"},
         false,
         "false; /var/t/d: directory"},
        {"claim in a missing directory",
         {Directory("/var/t")},
         [] { return utils::ClaimOwnFile("/var/t/none/f", 0644); },
         {"/var/t/none"},
         false,
         "false; /var/t/none: missing"},
        {"keep the last lines",
         {Text("/var/t/log", "1\n2\n3\n")},
         [] { return utils::KeepLastLines("/var/t/log", "/var/t/log.tmp", 2); },
         {"/var/t/log", "/var/t/log.tmp"},
         false,
         "true; /var/t/log: file 4 \"2\\n3\\n\"; /var/t/log.tmp: missing"},
        {"keep the last lines past a directory",
         {Text("/var/t/log", "1\n"), Directory("/var/t/x")},
         [] { return utils::KeepLastLines("/var/t/log", "/var/t/x", 1); },
         {"/var/t/log", "/var/t/x"},
         false,
         "false; /var/t/log: file 2 \"1\\n\"; /var/t/x: directory"},
        {"keep the last lines of a missing log",
         {Directory("/var/t")},
         [] { return utils::KeepLastLines("/var/t/log", "/var/t/log.tmp", 1); },
         {"/var/t/log.tmp"},
         false,
         "false; /var/t/log.tmp: missing"},
    };
    return cases;
}

std::string RunCase(const DeviceCase& c) {
    ResetDevice();
    for (const Placed& placed : c.placed) {
        Place(placed);
    }
    unsigned int before = 0, after = 0;
    const bool measured = utils::MountFreeSpace("/", before);
    std::string text = c.action() ? "true" : "false";
    for (const std::string& path : c.observed) {
        text += "; " + path + ": " + Describe(path);
    }
    if (c.countsFreeSpace) {
        const bool again = utils::MountFreeSpace("/", after);
        text += measured && again ? "; freed " + std::to_string(after - before) : "; unmeasured";
    }
    return text;
}

}  // namespace qx::testing::devicecases
