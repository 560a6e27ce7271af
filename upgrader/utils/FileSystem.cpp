// The real device: the file-system functions on the running system.
#include "upgrader/utils/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "upgrader/utils/SystemCalls.h"

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
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DirectoryExists(std::string const& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileSize(std::string const& path, unsigned int& size) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
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

bool RemoveFile(std::string const& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

bool RenameFile(std::string const& from, std::string const& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool ListDirectory(std::string const& path, std::vector<std::string>& names) {
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        return false;
    }
    names.clear();
    while (const struct dirent* entry = ::readdir(directory)) {
        names.emplace_back(entry->d_name);
    }
    ::closedir(directory);
    return true;
}

bool ReadFileStart(std::string const& path, std::size_t limit, std::string& bytes) {
    Descriptor file(OpenFile(path.c_str(), O_RDONLY));
    if (!file.Valid()) {
        return false;
    }
    bytes.assign(limit, '\0');
    const long got = ReadFully(file.Get(), &bytes[0], limit);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return true;
}

void SyncFileSystems() { ::sync(); }

void PauseSeconds(unsigned int seconds) { ::sleep(seconds); }

long CurrentTime() { return static_cast<long>(std::time(nullptr)); }

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
