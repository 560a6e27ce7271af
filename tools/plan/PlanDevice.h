#pragma once

// Loads the in-memory device from a real file system: what the cleanup's
// tables, its rotated-log search and its kernel module trees name, the live
// logs, the upgrade log and the kernel's version line. Reads only.
#include <set>
#include <string>
#include <vector>

#include "upgrader/memdevice/MemoryDevice.h"

namespace qx {
namespace plan {

struct LoadedDevice {
    std::string root;         // host directory holding the device's "/"
    std::string fileSystem;   // type of the file system holding root
    bool compresses = false;  // its block counts only approximate what a removal frees
    // Freed on "/" when the run moves /var/log/upgrade_log to the RAM disk,
    // which happens before the cleanup measures.
    unsigned int upgradeLogBytes = 0;
    bool hasKernelVersion = false;  // /proc/version could be read
    std::string kernelVersion;      // its text
    std::string kernelVersionFrom;  // where its text came from
    std::set<std::string> trees;    // the cleanup's trees that stand on root (no trailing slash)
    std::vector<qx::upgrader::memdevice::Entry> entries;  // what the in-memory device is given
};

// True when root is a directory holding the directories etc, lib and usr
// (symbolic links followed inside root).
bool LooksLikeRootFileSystem(std::string const& root);

// The free bytes of the running system's "/" as the cleanup measures them
// (f_bavail * f_bsize, saturated at 4 GiB - 1), after a sync. Asked with
// statvfs directly: the seam's MountFreeSpace is the in-memory one here.
bool MeasureRootFreeSpace(unsigned int& freeBytes, std::string& error);

// Reads what the in-memory device is to hold from root ("/" on the router)
// into loaded (memdevice::Load fills the device with its entries).
// procVersionFile, when not empty, is a host file holding the kernel's
// version line; otherwise root's /proc/version is read.
void LoadDevice(std::string const& root, std::string const& procVersionFile, LoadedDevice& loaded);

// A tree's path as the plan names it: without trailing slashes.
std::string WithoutTrailingSlash(std::string path);

}  // namespace plan
}  // namespace qx
