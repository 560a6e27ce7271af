#include "upgrader/AutoStart.h"

#include "upgrader/utils/FileSystem.h"

namespace {

using qx::upgrader::utils::FileExists;
using qx::upgrader::utils::RemoveFile;
using qx::upgrader::utils::RenameFile;

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
        if (FileExists(daemon.programFile)) {
            RemoveFile(daemon.parkedFile);
        } else if (result) {
            if (!RenameFile(daemon.parkedFile, daemon.programFile)) {
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
        if (!RenameFile(daemon.programFile, daemon.parkedFile)) {
            return false;
        }
    }
    return true;
}
