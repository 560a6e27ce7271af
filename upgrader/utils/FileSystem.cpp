// The real device: the file-system functions on the running system.
#include "upgrader/utils/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace upgrader {
namespace utils {

namespace {

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
    const int fd = Retrying(
        [&] { return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) {
        return;
    }
    RemoveEntriesAt(fd, nullptr);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

// Pieces in which KeepLastLines reads and copies.
constexpr std::size_t kChunkSize = 4096;

// Reads exactly count bytes at offset; false when the file ends first.
bool ReadAt(int fd, char* buffer, std::size_t count, off_t offset) {
    return ::lseek(fd, offset, SEEK_SET) == offset &&
           ReadFully(fd, buffer, count) == static_cast<long>(count);
}

// Offset of the first byte of the last `lines` lines of the size bytes open
// at fd, as tail counts them: the line feed that ends the file ends its last
// line and begins no other.
bool FindLastLines(int fd, off_t size, unsigned int lines, off_t& start) {
    start = lines == 0 ? size : 0;
    bool last = true;
    unsigned int seen = 0;
    char buffer[kChunkSize];
    for (off_t end = size; end > 0 && lines > 0;) {
        const off_t begin = end > static_cast<off_t>(kChunkSize) ? end - kChunkSize : 0;
        const std::size_t count = static_cast<std::size_t>(end - begin);
        if (!ReadAt(fd, buffer, count, begin)) {
            return false;
        }
        for (std::size_t i = count; i-- > 0;) {
            const bool ending = buffer[i] == '\n' && !last;
            last = false;
            if (ending && ++seen == lines) {
                start = begin + static_cast<off_t>(i) + 1;
                return true;
            }
        }
        end = begin;
    }
    return true;
}

// Copies from the current position of in to its end.
bool CopyRest(int in, int out) {
    char buffer[kChunkSize];
    for (;;) {
        const long got = ReadFully(in, buffer, sizeof buffer);
        if (got <= 0) {
            return got == 0;
        }
        if (!WriteAll(out, buffer, static_cast<std::size_t>(got))) {
            return false;
        }
    }
}

// Opens the regular file path for reading, never through a link, and finds
// where its last `lines` lines begin; the descriptor is left there.
bool OpenLastLines(std::string const& path, unsigned int lines, Descriptor& in) {
    in = Descriptor(OpenFile(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat info;
    off_t start = 0;
    return in.Valid() && ::fstat(in.Get(), &info) == 0 && S_ISREG(info.st_mode) &&
           FindLastLines(in.Get(), info.st_size, lines, start) &&
           ::lseek(in.Get(), start, SEEK_SET) == start;
}

}  // namespace

bool MountFreeSpace(std::string path, unsigned int& freeBytes) {
    return MeasureFreeSpace(path.c_str(), freeBytes);
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
    size = SaturatedSize(static_cast<unsigned long long>(info.st_size));
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
    // Opened through the system-call layer, so an interrupted open is retried.
    const int fd = OpenFile(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    DIR* directory = ::fdopendir(fd);
    if (directory == nullptr) {
        ::close(fd);
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

void PauseSeconds(unsigned int seconds) {
    // An interrupted sleep reports the time left: that is slept too.
    while (seconds > 0) {
        seconds = ::sleep(seconds);
    }
}

long CurrentTime() { return static_cast<long>(std::time(nullptr)); }

void RemoveSelectedEntries(std::string const& directory,
                           std::function<bool(const char* name)> const& select) {
    const int fd = OpenFile(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        RemoveEntriesAt(fd, &select);
    }
}

bool ClaimOwnFile(std::string const& path, unsigned int mode) {
    Descriptor file(OpenOwnFileForAppend(path.c_str(), static_cast<mode_t>(mode)));
    return file.Valid() && file.Close();
}

bool KeepLastLines(std::string const& path, std::string const& scratch, unsigned int lines) {
    Descriptor in;
    if (!OpenLastLines(path, lines, in)) {
        return false;
    }
    Descriptor out(CreateFreshFile(scratch.c_str(), 0, 0666));
    if (!out.Valid()) {
        return false;
    }
    struct stat created;
    const bool known = ::fstat(out.Get(), &created) == 0;
    const bool copied = known && CopyRest(in.Get(), out.Get()) && out.Close();
    if (copied && std::rename(scratch.c_str(), path.c_str()) == 0) {
        return true;
    }
    if (known) {
        RemoveWrittenFile(scratch.c_str(), created);
    }
    return false;
}

bool AppendOwnFileOnto(std::string const& from, std::string const& to) {
    Descriptor in(OpenFile(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (!in.Valid()) {
        // Nothing of ours stands there: no file, a link, a FIFO without writer.
        return errno == ENOENT || errno == ELOOP || errno == ENXIO;
    }
    struct stat source;
    if (::fstat(in.Get(), &source) != 0) {
        return false;
    }
    if (!S_ISREG(source.st_mode) || source.st_uid != ::geteuid() || source.st_nlink != 1) {
        return true;
    }
    Descriptor out(OpenOwnFileForAppend(to.c_str(), 0666));
    struct stat before;
    if (!out.Valid() || ::fstat(out.Get(), &before) != 0) {
        return false;
    }
    if (!CopyRest(in.Get(), out.Get()) || ::fsync(out.Get()) != 0) {
        // What got appended goes again: the file keeps its former bytes.
        static_cast<void>(::ftruncate(out.Get(), before.st_size));
        return false;
    }
    return out.Close() && ::unlink(from.c_str()) == 0;
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
