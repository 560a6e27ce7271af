// Device-side probe: "perform REQUIRED" prints "perform <result> <spaceCreated> <FreeSpace>".
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "upgrader/cleanup/CleanupVQ740.h"

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "perform") != 0) {
        std::fprintf(stderr, "usage: cleanup_probe perform BYTES\n");
        return 2;
    }
    qx::upgrader::cleanup::CleanupVQ740 strategy(
        static_cast<unsigned int>(std::strtoul(argv[2], nullptr, 0)));
    bool spaceCreated = false;
    const bool result = strategy.PerformCleanup(spaceCreated);
    std::printf("perform %d %d %u\n", result, spaceCreated, strategy.FreeSpace());
    return 0;
}
