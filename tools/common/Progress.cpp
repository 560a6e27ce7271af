#include "tools/common/Progress.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace qx {
namespace tools {

namespace {

bool quietMode = false;

// What the timer's handler reads: set before the timer starts.
int progressFd = -1;
unsigned long long progressTotal = 1;
char progressName[128];

// Appends the decimal digits of value (async-signal-safe).
std::size_t PutNumber(char* at, unsigned long long value) {
    char digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i) {
        at[i] = digits[count - 1 - i];
    }
    return count;
}

std::size_t PutText(char* at, const char* text) {
    const std::size_t length = std::strlen(text);
    std::memcpy(at, text, length);
    return length;
}

extern "C" void ShowProgress(int) {
    const int saved = errno;
    const off_t position = ::lseek(progressFd, 0, SEEK_CUR);
    if (position >= 0) {
        const unsigned long long done = static_cast<unsigned long long>(position);
        char line[256];
        std::size_t length = PutText(line, "\r");
        length += PutText(line + length, progressName);
        length += PutText(line + length, ": ");
        length += PutNumber(line + length,
                            (done > progressTotal ? progressTotal : done) * 100 / progressTotal);
        length += PutText(line + length, "% of ");
        length += PutNumber(line + length, progressTotal >> 20);
        length += PutText(line + length, " MiB");
        (void)!::write(STDERR_FILENO, line, length);
    }
    errno = saved;
}

void SetTimer(long microseconds) {
    itimerval timer{};
    timer.it_interval.tv_usec = microseconds;
    timer.it_value.tv_usec = microseconds;
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace

void SetQuiet(bool quiet) { quietMode = quiet; }

Progress::Progress(const std::string& name, int fd, unsigned long long total) {
    if (quietMode || total <= kProgressThreshold || !::isatty(STDERR_FILENO) || fd < 0) {
        return;
    }
    progressFd = fd;
    progressTotal = total;
    std::strncpy(progressName, name.c_str(), sizeof progressName - 1);
    struct sigaction action {};
    action.sa_handler = ShowProgress;
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGALRM, &action, nullptr);
    // The first line at once, so even a job that ends before the first tick
    // has shown where it stood; then one every half second.
    ShowProgress(SIGALRM);
    SetTimer(500000);
    shown = true;
}

Progress::~Progress() {
    if (shown) {
        SetTimer(0);
        // Clears the line.
        (void)!::write(STDERR_FILENO, "\r\033[K", 4);
    }
}

}  // namespace tools
}  // namespace qx
