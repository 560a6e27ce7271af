// Digests BYTES bytes held in memory with the device's MD5, fed in
// 1024-byte pieces as the reader feeds them, and prints the seconds taken:
// the cost of the digest without any read().
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "upgradeFile/Md5.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_md5_memory BYTES\n");
        return 2;
    }
    const unsigned long long bytes = std::strtoull(argv[1], nullptr, 10);
    std::vector<unsigned char> block(1 << 20);
    unsigned int state = 12345;
    for (unsigned char& byte : block) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(state >> 24);
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    qx::upgradeFile::md5_context context;
    qx::upgradeFile::md5_init(&context);
    unsigned long long left = bytes;
    size_t at = 0;
    while (left > 0) {
        const int piece = left < 1024 ? static_cast<int>(left) : 1024;
        qx::upgradeFile::md5_append(&context, block.data() + at, piece);
        at = (at + 1024) % block.size();
        left -= static_cast<unsigned long long>(piece);
    }
    unsigned char digest[16];
    qx::upgradeFile::md5_finish(&context, digest);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%.4f %02x\n", seconds, digest[0]);
    return 0;
}
