#include "upgrader/AutoStart.h"

#include <unistd.h>

#include <cstdio>

#include "upgrader/utils/FileSystem.h"

namespace {

struct AutoStartDaemon {
    const char* programFile;
    const char* parkedFile;
};

constexpr AutoStartDaemon kAutoStartDaemons[] = {
    {"/sbin/qx_monitor", "/sbin/qx_monitor.disabled"},
    {"/usr/sbin/qxsshd", "/usr/sbin/qxsshd.disabled"},
    {"/sbin/nvlogger", "/sbin/nvlogger.disabled"},
};

}  // namespace

bool EnableAutoStartBinaries() {
    bool result = true;
    for (const AutoStartDaemon& daemon : kAutoStartDaemons) {
        if (qx::upgrader::utils::FileExists(daemon.programFile)) {
            ::unlink(daemon.parkedFile);
        } else if (result) {
            if (std::rename(daemon.parkedFile, daemon.programFile) != 0) {
                result = false;
            }
        }
        // Once a restore has failed, later rows without a program file are
        // left as they are.
    }
    return result;
}

bool DisableAutoStartBinaries() {
    for (const AutoStartDaemon& daemon : kAutoStartDaemons) {
        if (std::rename(daemon.programFile, daemon.parkedFile) != 0) {
            return false;
        }
    }
    return true;
}
