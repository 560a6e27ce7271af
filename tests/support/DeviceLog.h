#pragma once

// What the sandbox tests read back from a simulated device: the upgrade log
// without its stamps, and command texts that several suites expect.

#include <regex>
#include <string>
#include <vector>

#include "sandbox/Sandbox.h"

namespace qx {
namespace testing {

// The lines of an upgrade log with each entry's stamp ("2026126 11:20:13 - ")
// removed; continuation lines of a multi-line entry stay as they are.
inline std::vector<std::string> LogLines(const std::string& logText) {
    static const std::regex stamp("^[0-9]{6,8} [0-9]{2}:[0-9]{2}:[0-9]{2} - ");
    std::vector<std::string> lines = qx::sandbox::SplitLines(logText);
    for (std::string& line : lines) {
        line = std::regex_replace(line, stamp, "", std::regex_constants::format_first_only);
    }
    return lines;
}

// The cleanup's static-files stage removes these directories, in this order.
inline const std::vector<std::string> kStaticDirectoryCommands = {
    "rm -rf /usr/share/gtk-doc",
    "rm -rf /usr/share/info",
    "rm -rf /usr/local/share/doc/openswan",
    "rm -rf /etc/ipsec.d/examples",
    "rm -rf /share/man",
    "rm -rf /usr/local/man",
    "rm -rf /share/doc/"};

}  // namespace testing
}  // namespace qx
