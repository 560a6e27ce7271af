#include "FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qx {
namespace upgrader {
namespace utils {

namespace {

unsigned int Saturate(unsigned long long value) {
    return value > kSaturatedSize ? kSaturatedSize : static_cast<unsigned int>(value);
}

void RemoveEntryAt(int parent, const char* name);

// Reads the whole directory open at fd first, then removes the entries that
// select accepts (all when select is null); closes fd.
void RemoveEntriesAt(int fd, std::function<bool(const char*)> const* select) {
    DIR* directory = ::fdopendir(fd);
    if (directory == nullptr) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (const struct dirent* entry = ::readdir(directory)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
            (select == nullptr || (*select)(name))) {
            names.push_back(name);
        }
    }
    for (const std::string& name : names) {
        RemoveEntryAt(::dirfd(directory), name.c_str());
    }
    ::closedir(directory);
}

void RemoveEntryAt(int parent, const char* name) {
    if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) {
        return;
    }
    // A directory (unlink refuses it): emptied through its own descriptor.
    int fd;
    do {
        fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return;
    }
    RemoveEntriesAt(fd, nullptr);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

}  // namespace

bool MountFreeSpace(std::string path, unsigned int& freeBytes) {
    ::sync();
    struct statvfs info;
    if (::statvfs(path.c_str(), &info) != 0) {
        return false;
    }
    freeBytes = Saturate(static_cast<unsigned long long>(info.f_bavail) *
                         static_cast<unsigned long long>(info.f_bsize));
    return true;
}

bool FileExists(std::string const& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
}

bool DirectoryExists(std::string const& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFDIR;
}

bool FileSize(std::string const& path, unsigned int& size) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & S_IFMT) != S_IFREG) {
        return false;
    }
    size = Saturate(static_cast<unsigned long long>(info.st_size));
    return true;
}

long FileModificationTime(std::string const& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<long>(info.st_mtime);
}

bool SetPermissions(std::string const& path, unsigned int mode) {
    return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

void RemoveSelectedEntries(std::string const& directory,
                           std::function<bool(const char* name)> const& select) {
    int fd;
    do {
        fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        RemoveEntriesAt(fd, &select);
    }
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
