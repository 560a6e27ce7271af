// Device-side probe: one cleanup on the simulated device. Arguments:
//   perform REQUIRED   REQUIRED is N bytes, or +N: N more than is free now
// Prints "perform <result> <spaceCreated> <FreeSpace>".
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "upgrader/cleanup/CleanupVQ740.h"

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "perform") != 0) {
        std::fprintf(stderr, "usage: cleanup_probe perform [+]BYTES\n");
        return 2;
    }
    const char* required = argv[2];
    unsigned int base = 0;
    if (required[0] == '+') {
        qx::upgrader::cleanup::CleanupVQ740 current(0);
        current.CalculateFreespace();
        base = current.FreeSpace();
        ++required;
    }
    qx::upgrader::cleanup::CleanupVQ740 strategy(
        base + static_cast<unsigned int>(std::strtoul(required, nullptr, 0)));
    bool spaceCreated = false;
    const bool result = strategy.PerformCleanup(spaceCreated);
    std::printf("perform %d %d %u\n", result, spaceCreated, strategy.FreeSpace());
    return 0;
}
