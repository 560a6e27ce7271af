// Device-side probe, run only inside the device sandbox:
//   extract_probe PACKAGE INDEX OUTPUT
// prints "parse 1" or "parse 0 <message>", then "extract 1" or
// "extract 0 <message>"; exits 0 on success, 1 when the extraction failed,
// 2 when the parse failed.
#include <cstdio>
#include <cstdlib>

#include "upgradeFile/UpgradeFile.h"

int main(int argc, char** argv) {
    qx::upgradeFile::UpgradeFile reader(argc == 4 ? argv[1] : "");
    if (!reader.ParseFile()) {
        std::printf("parse 0 %s\n", reader.ErrorMessage().c_str());
        return 2;
    }
    std::printf("parse 1\n");
    if (!reader.ExtractFile(static_cast<unsigned int>(std::strtoul(argv[2], nullptr, 10)),
                            argv[3])) {
        std::printf("extract 0 %s\n", reader.ErrorMessage().c_str());
        return 1;
    }
    std::printf("extract 1\n");
    return 0;
}
