// Device-side probe: parses a package and extracts one inner file, then
// prints what the reader reported. Runs only inside the device sandbox.
//
//   extract_probe PACKAGE INDEX OUTPUT
//
// Prints "parse 1" or "parse 0 <message>", then "extract 1" or
// "extract 0 <message>". Exit status: 0 when the extraction succeeded, 1
// when it failed, 2 when the parse failed, 3 on bad arguments.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "upgradeFile/UpgradeFile.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: extract_probe PACKAGE INDEX OUTPUT\n");
        return 3;
    }
    qx::upgradeFile::UpgradeFile reader(argv[1]);
    if (!reader.ParseFile()) {
        std::printf("parse 0 %s\n", reader.ErrorMessage().c_str());
        return 2;
    }
    std::printf("parse 1\n");
    unsigned int index = static_cast<unsigned int>(std::strtoul(argv[2], nullptr, 10));
    if (!reader.ExtractFile(index, argv[3])) {
        std::printf("extract 0 %s\n", reader.ErrorMessage().c_str());
        return 1;
    }
    std::printf("extract 1\n");
    return 0;
}
