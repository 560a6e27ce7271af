#include "FileSystem.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace qx {
namespace upgrader {
namespace utils {

namespace {

unsigned int Saturate(unsigned long long value) {
    return value > kSaturatedSize ? kSaturatedSize : static_cast<unsigned int>(value);
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

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
