#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

// The one place where system calls are wrapped: interrupted calls are
// retried, partial transfers go on with the rest, and errno becomes text.
namespace qx {
namespace upgrader {
namespace utils {

// Runs call until it is not interrupted by a signal.
template <typename Call>
auto Retrying(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// open(2), retried while interrupted; close-on-exec is always added.
// Returns the descriptor, or -1 with errno set.
int OpenFile(const char* path, int flags, mode_t mode = 0);

// Reads up to count bytes, going on after partial reads. Returns the number
// of bytes read, below count only at the end of the file, or -1 with errno
// set when a read fails. Inline: the package reader calls it once per KiB.
inline long ReadFully(int fd, void* buffer, std::size_t count) {
    char* into = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = Retrying([&] { return ::read(fd, into + done, count - done); });
        if (got <= 0) {
            return got < 0 ? -1 : static_cast<long>(done);
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

// Writes all size bytes to fd, going on after partial writes. False with
// errno set when a write fails; a write that makes no progress counts as a
// full file system (ENOSPC).
bool WriteAll(int fd, const void* data, std::size_t size);

// The same at a file position, leaving the descriptor's own position alone.
bool PwriteAll(int fd, const void* data, std::size_t size, off_t offset);

// waitpid(2) for one child, retried while interrupted. Returns pid or -1.
pid_t WaitForChild(pid_t pid, int& status);

// The C library's text for an error number.
std::string ErrnoText(int error);

// Owns one open descriptor and closes it when it goes out of scope, keeping
// the errno of whatever failure is being reported.
class Descriptor {
  public:
    explicit Descriptor(int descriptor = -1) : fd(descriptor) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : fd(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd; }
    bool Valid() const { return fd >= 0; }
    // Gives the descriptor up without closing it.
    int Release();
    // Closes now; false with errno set when close reported an error (some
    // file systems only report a failed write there).
    bool Close();

  private:
    int fd;
};

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
