// Reads a file to its end in 1024-byte read() calls and does nothing else:
// the cost of the reader's read pattern without the digest.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_read_1k FILE\n");
        return 2;
    }
    int fd = ::open(argv[1], O_RDONLY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    unsigned char buffer[1024];
    unsigned long long total = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
        total += static_cast<unsigned long long>(got);
    }
    ::close(fd);
    std::printf("%llu\n", total);
    return got < 0 ? 1 : 0;
}
