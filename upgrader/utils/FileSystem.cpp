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

// Writes the rest of earlier (when open) and of in to a fresh file beside to
// with source's mode and times, syncs it and renames it over to.
bool CopyOver(int earlier, int in, struct stat const& source, std::string const& to) {
    std::string scratch;
    Descriptor out(CreateScratchBeside(to, 0, 0600, scratch));
    struct stat created;
    if (!out.Valid() || ::fstat(out.Get(), &created) != 0) {
        return false;
    }
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    const bool done = (earlier < 0 || CopyRest(earlier, out.Get())) && CopyRest(in, out.Get()) &&
                      ::fchmod(out.Get(), source.st_mode & 07777) == 0 &&
                      ::futimens(out.Get(), times) == 0 && SyncFile(out.Get()) && out.Close() &&
                      std::rename(scratch.c_str(), to.c_str()) == 0;
    if (!done) {
        RemoveWrittenFile(scratch.c_str(), created);
    }
    return done;
}

bool Move(std::string const& from, std::string const& to, bool keepEarlier) {
    Descriptor in(OpenOwnFileForReading(from.c_str(), false));
    struct stat source;
    if (!in.Valid() || ::fstat(in.Get(), &source) != 0 || !S_ISREG(source.st_mode)) {
        return false;
    }
    Descriptor earlier(keepEarlier ? OpenOwnFileForReading(to.c_str(), false) : -1);
    struct stat standing;
    if (earlier.Valid() && (::fstat(earlier.Get(), &standing) != 0 || !S_ISREG(standing.st_mode))) {
        earlier.Close();
    }
    if (!earlier.Valid()) {
        if (std::rename(from.c_str(), to.c_str()) == 0) {
            return true;
        }
        if (errno != EXDEV) {
            return false;
        }
    }
    if (!CopyOver(earlier.Get(), in.Get(), source, to)) {
        return false;
    }
    RemoveWrittenFile(from.c_str(), source);
    return true;
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

bool CheckOwnEntry(std::string const& path, std::string& reason) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
        reason = "gone";
    } else if (S_ISLNK(info.st_mode)) {
        reason = "a link";
    } else if (!IsOwnEntry(info, false)) {
        reason = (info.st_uid == ::geteuid() || info.st_uid == ::getuid()) ? "writable by others"
                                                                           : "another user's";
    } else {
        reason.clear();
    }
    return reason.empty();
}

bool FileSystemOf(std::string const& path, unsigned long long& id) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        return false;
    }
    id = static_cast<unsigned long long>(info.st_dev);
    return true;
}

bool SecureFreshMount(std::string const& path, unsigned long long previous, bool mounted) {
    Descriptor directory(OpenFile(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    const std::string::size_type slash = path.rfind('/');
    const std::string parent =
        slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    struct stat fresh, above;
    if (!directory.Valid() || ::fstat(directory.Get(), &fresh) != 0 ||
        ::stat(parent.c_str(), &above) != 0 ||
        (!mounted && static_cast<unsigned long long>(fresh.st_dev) == previous) ||
        fresh.st_dev == above.st_dev || ::fchmod(directory.Get(), 0755) != 0) {
        return false;
    }
    ClearDirectoryAt(directory.Get());
    return true;
}

bool MoveFile(std::string const& from, std::string const& to) { return Move(from, to, false); }

bool MoveUpgradeLog(std::string const& from, std::string const& to, bool keepEarlier) {
    struct stat standing;
    if (::lstat(to.c_str(), &standing) == 0 && S_ISDIR(standing.st_mode)) {
        MoveDirectoryAside(to);
    }
    return Move(from, to, keepEarlier);
}

bool KeepLastLines(std::string const& path, unsigned int lines) {
    Descriptor in;
    if (!OpenLastLines(path, lines, in)) {
        return false;
    }
    std::string scratch;
    Descriptor out(CreateScratchBeside(path, 0, 0666, scratch));
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

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
