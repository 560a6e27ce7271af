#pragma once

// What the sandbox tests read back from a simulated device: the upgrade log
// without its stamps, and command texts that several suites expect.

#include <regex>
#include <string>
#include <vector>

#include "sandbox/Sandbox.h"

namespace qx {
namespace testing {

using Lines = std::vector<std::string>;
using qx::sandbox::SplitLines;

inline Lines Concat(const std::vector<Lines>& parts) {
    Lines all;
    for (const Lines& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

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

// The commands that bring the device to rest, in order, ending with the
// given stale-upload clean-up.
inline Lines QuiesceCommands(const std::string& staleUploadCommand) {
    Lines commands = {"touch /etc/upgrade_started", "touch /tmp/ramdisk/pnv-wait-during-startup",
                      "pkill -SIGINT service-manager"};
    for (const char* name :
         {"qx_monitor", "rsyslogd", "logrotate", "lldpd",  "snmpd",     "nvlogger",
          "qxsshd",     "sshd",     "dnsmasq",   "pluto",  "openvpn",   "tcpdump",
          "zebra",      "ripd",     "hostapd",   "inadyn", "diald",     "pppd",
          "vrrpd",      "l2tpd",    "pptp",      "msmtp",  "msp-telit", "msp-quectel"}) {
        commands.push_back(std::string("pkill -9 ") + name);
    }
    commands.push_back(staleUploadCommand);
    return commands;
}

// The stale-upload clean-up for the time quotient t (seconds / 1000).
inline std::string StaleUploadCommandFor(unsigned int t) {
    return "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud" + std::to_string(t) +
           "*\" ! -name \"ud" + std::to_string(t - 1) + "*\" ! -name \"ud" + std::to_string(t + 1) +
           "*\" | xargs rm -rf";
}

}  // namespace testing
}  // namespace qx
