// Runs one driver operation on the device and prints its result, for tests
// that check an operation on its own in the device sandbox.
#include <cstdio>
#include <cstring>

#include "upgrader/AutoStart.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: driver_probe enable|disable\n");
        return 2;
    }
    bool result;
    if (std::strcmp(argv[1], "enable") == 0) {
        result = EnableAutoStartBinaries();
    } else if (std::strcmp(argv[1], "disable") == 0) {
        result = DisableAutoStartBinaries();
    } else {
        std::fprintf(stderr, "driver_probe: unknown operation %s\n", argv[1]);
        return 2;
    }
    std::printf("%s\n", result ? "true" : "false");
    return 0;
}
