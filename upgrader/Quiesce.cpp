#include "upgrader/Quiesce.h"

#include <cstring>
#include <string>

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/Shell.h"

namespace qx {
namespace upgrader {

namespace {

constexpr const char* kServiceStopList[] = {
    "pkill -9 qx_monitor", "pkill -9 rsyslogd", "pkill -9 logrotate", "pkill -9 lldpd",
    "pkill -9 snmpd",      "pkill -9 nvlogger", "pkill -9 qxsshd",    "pkill -9 sshd",
    "pkill -9 dnsmasq",    "pkill -9 pluto",    "pkill -9 openvpn",   "pkill -9 tcpdump",
    "pkill -9 zebra",      "pkill -9 ripd",     "pkill -9 hostapd",   "pkill -9 inadyn",
    "pkill -9 diald",      "pkill -9 pppd",     "pkill -9 vrrpd",     "pkill -9 l2tpd",
    "pkill -9 pptp",       "pkill -9 msmtp",    "pkill -9 msp-telit", "pkill -9 msp-quectel",
};

}  // namespace

bool IsStaleUpload(const char* name, unsigned int t) {
    if (std::strncmp(name, "ud", 2) != 0) {
        return false;
    }
    for (const unsigned int recent : {t, t - 1, t + 1}) {
        const std::string digits = std::to_string(recent);
        if (std::strncmp(name + 2, digits.c_str(), digits.size()) == 0) {
            return false;
        }
    }
    return true;
}

void QuiesceServices() {
    utils::TouchFile("/etc/upgrade_started");
    // The RAM disk can be written by everyone: the marker is made our own
    // file, never created through a link planted at its name.
    utils::ClaimOwnFile("/tmp/ramdisk/pnv-wait-during-startup", 0666);
    utils::PauseSeconds(1);
    utils::SyncFileSystems();
    utils::RunCommand("pkill -SIGINT service-manager");
    for (const char* command : kServiceStopList) {
        utils::RunCommand(command);
    }
    const unsigned int t = static_cast<unsigned int>(utils::CurrentTime()) / 1000u;
    // Removed in process, each name whole and never through a link: a shell
    // pipe would split names at blanks, and busybox's recursive rm walks a tree
    // by path names, which an upload's owner can redirect into a link.
    utils::RemoveSelectedEntries("/tmp/", [t](const char* name) { return IsStaleUpload(name, t); });
}

bool IsRejectedBoard() {
    const int status = utils::SearchWord("/sys/kernel/qxfc/board", "12");
    // Refused exactly when the command's exit status bits are all zero; -1
    // (no shell) has them all set and so never refuses.
    return utils::CommandExitBits(status) == 0;
}

}  // namespace upgrader
}  // namespace qx
