#include "tools/plan/PlanDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <vector>

#include "upgrader/cleanup/CleanupTables.h"
#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/SystemCalls.h"
#include "upgrader/utils/UpgradeLog.h"

// Everything here reads the real file system through system calls (stat,
// lstat, readlink, opendir, statvfs through the system-call layer, open/read). The seam functions
// of FileSystem.h are the in-memory device's in this program.
namespace qx {
namespace plan {

namespace {

namespace memdevice = qx::upgrader::memdevice;
namespace cleanup = qx::upgrader::cleanup;
using qx::upgrader::utils::SaturatedSize;

using qx::upgrader::utils::kFlashLogPath;
using qx::upgrader::utils::kUpgradeLogPath;
// Directories whose entries the live logs and the rotated-log search name.
// Loading every entry keeps the plan free of the search's name formats.
constexpr const char* kLogDirectories[] = {"/var/log", "/home/logs"};
constexpr int kMaxLinks = 40;  // as the kernel's ELOOP limit
constexpr std::size_t kVersionBytes = 4096;

std::vector<std::string> Components(std::string const& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

class Loader {
  public:
    Loader(std::string const& root, LoadedDevice& loaded) : root_(root), loaded_(loaded) {
        struct stat info {};
        rootDevice_ = ::stat(root.c_str(), &info) == 0 ? info.st_dev : 0;
    }

    // The host path of a device path. On the router (root "/") the kernel
    // resolves it. Under another root every symbolic link on the way is
    // resolved here, absolute targets from root again, as a chroot would:
    // a link in an unpacked root file system never leads to the host's files.
    bool HostPath(std::string const& devicePath, bool followLast, std::string& host) const {
        if (root_ == "/") {
            host = devicePath;
            return true;
        }
        std::vector<std::string> done;
        std::deque<std::string> todo;
        for (std::string const& part : Components(devicePath)) {
            todo.push_back(part);
        }
        int links = 0;
        while (!todo.empty()) {
            const std::string part = todo.front();
            todo.pop_front();
            if (part == "." || (part == ".." && done.empty())) {
                continue;
            }
            if (part == "..") {
                done.pop_back();
                continue;
            }
            const std::string candidate = Join(done) + "/" + part;
            struct stat info {};
            if (::lstat((root_ + candidate).c_str(), &info) != 0) {
                return false;
            }
            if (S_ISLNK(info.st_mode) && (followLast || !todo.empty())) {
                std::string target;
                if (++links > kMaxLinks || !ReadLink(root_ + candidate, target)) {
                    return false;
                }
                if (!target.empty() && target[0] == '/') {
                    done.clear();
                }
                const std::vector<std::string> more = Components(target);
                todo.insert(todo.begin(), more.begin(), more.end());
                continue;
            }
            done.push_back(part);
        }
        host = root_ + Join(done);
        return true;
    }

    // A file's own blocks: what unlinking it (or moving it off the flash)
    // frees. Nothing for a file on another file system (the RAM disk, a
    // mount below root). A directory's own blocks are not counted.
    unsigned int Allocated(struct stat const& info) const {
        if (info.st_dev != rootDevice_) {
            return 0;
        }
        return SaturatedSize(static_cast<unsigned long long>(info.st_blocks) * 512ull);
    }

    bool Lstat(std::string const& devicePath, struct stat& info) const {
        std::string host;
        return HostPath(devicePath, false, host) && ::lstat(host.c_str(), &info) == 0;
    }

    bool Stat(std::string const& devicePath, struct stat& info) const {
        std::string host;
        return HostPath(devicePath, true, host) && ::stat(host.c_str(), &info) == 0;
    }

    // One name as the cleanup sees it: FileExists, FileSize and the times
    // follow links, unlink removes the name itself. A link to a regular file
    // becomes a file of the target's size that frees the link's own blocks.
    // Left out (the cleanup neither finds them nor frees space with them):
    // dangling links, links to other non-regular things, fifos, devices.
    void LoadName(std::string const& devicePath) {
        struct stat own {
        }, target{};
        if (!Lstat(devicePath, own) || !Stat(devicePath, target)) {
            return;
        }
        if (S_ISDIR(target.st_mode)) {
            AddDirectory(devicePath, target);
        } else if (S_ISREG(target.st_mode)) {
            AddFile(devicePath, target, Allocated(own));
        }
    }

    // What removing the tree at path would remove: the name itself, and
    // below a directory everything, links not followed. Directories on another
    // file system are not entered: their files free nothing on "/".
    void LoadTree(std::string const& devicePath) {
        std::string host;
        if (!HostPath(devicePath, false, host)) {
            return;
        }
        struct stat info {};
        if (::lstat(host.c_str(), &info) != 0) {
            return;
        }
        loaded_.trees.insert(devicePath);
        LoadTreeNode(devicePath, host, info);
    }

    void LoadEntries(std::string const& directory) {
        std::string host;
        std::vector<std::string> names;
        if (!HostPath(directory, true, host) || !List(host, names)) {
            return;
        }
        for (std::string const& name : names) {
            if (directory + "/" + name != kFlashLogPath) {
                LoadName(directory + "/" + name);
            }
        }
    }

    // The run moves /var/log/upgrade_log to the RAM disk before the cleanup
    // (where a log of an earlier run is otherwise kept). Its size counts for
    // the cleanup's upgrade-log limit; on the RAM disk it frees nothing.
    void LoadUpgradeLog() {
        struct stat own {
        }, target{};
        const bool moved = Lstat(kFlashLogPath, own);
        const char* from = moved ? kFlashLogPath : kUpgradeLogPath;
        if (Stat(from, target) && S_ISREG(target.st_mode)) {
            AddFile(kUpgradeLogPath, target, 0);
        }
        loaded_.upgradeLogBytes = moved ? Allocated(own) : 0;
    }

    // The version line as the cleanup reads it from /proc/version. Under
    // another root: ROOT/proc/version when it holds one (an unpacked root
    // file system usually has an empty /proc; then pass --proc-version).
    void LoadKernelVersion(std::string const& procVersionFile) {
        std::string host = procVersionFile;
        if (host.empty() && !HostPath("/proc/version", true, host)) {
            return;
        }
        qx::upgrader::utils::Descriptor file(
            qx::upgrader::utils::OpenFile(host.c_str(), O_RDONLY | O_NONBLOCK));
        if (!file.Valid()) {
            return;
        }
        std::string text(kVersionBytes, '\0');
        const long got = qx::upgrader::utils::ReadFully(file.Get(), &text[0], text.size());
        if (got < 0) {
            return;
        }
        text.resize(static_cast<std::size_t>(got));
        // A file that reads nothing stays, as the device's would: the
        // cleanup then logs the unsuccessful read and keeps every tree.
        memdevice::Entry entry;
        entry.path = "/proc/version";
        entry.hasText = true;
        entry.text = text;
        loaded_.entries.push_back(entry);
        loaded_.kernelVersion = text;
        loaded_.hasKernelVersion = !text.empty();
        loaded_.kernelVersionFrom = procVersionFile.empty() ? "/proc/version" : procVersionFile;
    }

  private:
    static std::string Join(std::vector<std::string> const& parts) {
        std::string path;
        for (std::string const& part : parts) {
            path += "/" + part;
        }
        return path;
    }

    static bool ReadLink(std::string const& host, std::string& target) {
        char buffer[4096];
        const ssize_t length = ::readlink(host.c_str(), buffer, sizeof buffer);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
            return false;
        }
        target.assign(buffer, static_cast<std::size_t>(length));
        return true;
    }

    static bool List(std::string const& host, std::vector<std::string>& names) {
        DIR* directory = ::opendir(host.c_str());
        if (directory == nullptr) {
            return false;
        }
        while (const struct dirent* entry = ::readdir(directory)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(directory);
        return true;
    }

    void AddDirectory(std::string const& devicePath, struct stat const& info) {
        memdevice::Entry entry;
        entry.path = devicePath;
        entry.directory = true;
        entry.mtime = static_cast<long>(info.st_mtime);
        loaded_.entries.push_back(entry);
    }

    // A file of info's size and time whose removal frees freed bytes.
    void AddFile(std::string const& devicePath, struct stat const& info, unsigned int freed) {
        memdevice::Entry entry;
        entry.path = devicePath;
        entry.size = SaturatedSize(static_cast<unsigned long long>(info.st_size));
        entry.mtime = static_cast<long>(info.st_mtime);
        entry.hasFreedBytes = true;
        entry.freedBytes = freed;
        loaded_.entries.push_back(entry);
    }

    void LoadTreeNode(std::string const& devicePath, std::string const& host,
                      struct stat const& info) {
        if (!S_ISDIR(info.st_mode)) {
            AddFile(devicePath, info, Allocated(info));
            return;
        }
        AddDirectory(devicePath, info);
        std::vector<std::string> names;
        if (info.st_dev != rootDevice_ || !List(host, names)) {
            return;
        }
        for (std::string const& name : names) {
            struct stat child {};
            if (::lstat((host + "/" + name).c_str(), &child) == 0) {
                LoadTreeNode(devicePath + "/" + name, host + "/" + name, child);
            }
        }
    }

    std::string root_;
    LoadedDevice& loaded_;
    dev_t rootDevice_ = 0;
};

// File systems that compress what they store: st_blocks then tells the
// uncompressed size (jffs2) or an estimate, not what a removal gives back.
struct FileSystemType {
    unsigned long magic;
    const char* name;
    bool compresses;
};

constexpr FileSystemType kFileSystemTypes[] = {
    {0x72b6, "jffs2", true},           {0x24051905, "ubifs", true},
    {0x9123683e, "btrfs", true},       {0x2fc12fc1, "zfs", true},
    {0x73717368, "squashfs", true},    {0x28cd3d45, "cramfs", true},
    {0xe0f5e1e2, "erofs", true},       {0x01021994, "tmpfs", false},
    {0xef53, "ext2/ext3/ext4", false}, {0x58465342, "xfs", false},
    {0x794c7630, "overlayfs", false},  {0x4d44, "vfat", false},
};

void DescribeFileSystem(std::string const& root, LoadedDevice& loaded) {
    struct statfs info {};
    if (::statfs(root.c_str(), &info) != 0) {
        loaded.fileSystem = "unknown";
        return;
    }
    const unsigned long magic = static_cast<unsigned long>(info.f_type) & 0xffffffffUL;
    for (FileSystemType const& type : kFileSystemTypes) {
        if (type.magic == magic) {
            loaded.fileSystem = type.name;
            loaded.compresses = type.compresses;
            return;
        }
    }
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%lx", magic);
    loaded.fileSystem = hex;
}

}  // namespace

bool LooksLikeRootFileSystem(std::string const& root) {
    struct stat info {};
    if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
    }
    LoadedDevice ignored;
    Loader loader(root, ignored);
    for (const char* directory : {"/etc", "/lib", "/usr"}) {
        if (!loader.Stat(directory, info) || !S_ISDIR(info.st_mode)) {
            return false;
        }
    }
    return true;
}

bool MeasureRootFreeSpace(unsigned int& freeBytes, std::string& error) {
    // The cleanup syncs before each measurement; so does the plan.
    if (!qx::upgrader::utils::MeasureFreeSpace("/", freeBytes)) {
        error = "cannot measure the free space of /: " + qx::upgrader::utils::ErrnoText(errno);
        return false;
    }
    return true;
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

void LoadDevice(std::string const& root, std::string const& procVersionFile, LoadedDevice& loaded) {
    loaded = LoadedDevice();
    loaded.root = root;
    DescribeFileSystem(root, loaded);
    Loader loader(root, loaded);

    for (const char* tree : cleanup::kUnusedStaticDirectories) {
        loader.LoadTree(WithoutTrailingSlash(tree));
    }
    for (cleanup::KernelModuleTree const& row : cleanup::kStaleKernelModuleTrees) {
        loader.LoadTree(WithoutTrailingSlash(row.tree));
    }
    for (cleanup::PathRemoval const& row : cleanup::kExtraFiles) {
        if (row.removal == cleanup::Removal::Tree) {
            loader.LoadTree(WithoutTrailingSlash(row.path));
        }
    }
    for (const char* path : cleanup::kUnusedStaticFiles) {
        loader.LoadName(path);
    }
    for (cleanup::PathRemoval const& row : cleanup::kExtraFiles) {
        if (row.removal == cleanup::Removal::File) {
            loader.LoadName(row.path);
        }
    }
    for (cleanup::SupersededVersionRule const& rule : cleanup::kSupersededVersionRules) {
        loader.LoadName(rule.marker);
        for (std::size_t i = 0; i < rule.pathCount; ++i) {
            loader.LoadName(rule.paths[i]);
        }
    }
    for (const char* directory : kLogDirectories) {
        loader.LoadEntries(directory);
    }
    loader.LoadUpgradeLog();
    loader.LoadKernelVersion(procVersionFile);
}

}  // namespace plan
}  // namespace qx
