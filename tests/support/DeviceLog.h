#pragma once

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

// An upgrade log's lines without their stamps ("2026126 11:20:13 - ").
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

// Staging rebuilds the RAM disk (the moves around it are in process), then
// runs the validator, in this order.
inline const Lines kStagingCommands = {
    "umount /tmp/ramdisk/", "mount -t tmpfs -o size=25M,mode=0755 /tmp/ramdisk/",
    "/tmp/ramdisk/fs-validator /tmp/ramdisk/kernel_image /tmp/ramdisk/filesystem.db"};

inline Lines QuiesceCommands() {
    Lines commands = {"touch /etc/upgrade_started", "pkill -SIGINT service-manager"};
    for (const char* name :
         {"qx_monitor", "rsyslogd", "logrotate", "lldpd",  "snmpd",     "nvlogger",
          "qxsshd",     "sshd",     "dnsmasq",   "pluto",  "openvpn",   "tcpdump",
          "zebra",      "ripd",     "hostapd",   "inadyn", "diald",     "pppd",
          "vrrpd",      "l2tpd",    "pptp",      "msmtp",  "msp-telit", "msp-quectel"}) {
        commands.push_back(std::string("pkill -9 ") + name);
    }
    return commands;
}

}  // namespace testing
}  // namespace qx
