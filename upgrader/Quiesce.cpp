#include "upgrader/Quiesce.h"

#include <sstream>

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

std::string StaleUploadCommand(unsigned int t) {
    std::ostringstream command;
    command << "find /tmp/ -maxdepth 1 -name \"ud*\" ! -name \"ud" << t << "*\" ! -name \"ud"
            << t - 1 << "*\" ! -name \"ud" << t + 1 << "*\" | xargs rm -rf";
    return command.str();
}

void QuiesceServices() {
    utils::RunCommand("touch /etc/upgrade_started");
    utils::RunCommand("touch /tmp/ramdisk/pnv-wait-during-startup");
    utils::PauseSeconds(1);
    utils::SyncFileSystems();
    utils::RunCommand("pkill -SIGINT service-manager");
    for (const char* command : kServiceStopList) {
        utils::RunCommand(command);
    }
    const unsigned int t = static_cast<unsigned int>(utils::CurrentTime()) / 1000u;
    utils::RunCommand(StaleUploadCommand(t));
}

bool IsRejectedBoard() {
    const int status = utils::RunCommand("cat /sys/kernel/qxfc/board | grep -q \"\\b12\\b\"");
    // Refused exactly when the command's exit status bits are all zero; -1
    // (no shell) has them all set and so never refuses.
    return utils::CommandExitBits(status) == 0;
}

}  // namespace upgrader
}  // namespace qx
