// The case table's placing and describing on the in-memory device.
#include "device/DeviceCases.h"
#include "upgrader/memdevice/MemoryDevice.h"
#include "upgrader/utils/FileSystem.h"

namespace qx::testing::devicecases {

namespace dev = qx::upgrader::memdevice;

void ResetDevice() {
    dev::Reset();
    dev::SetFreeSpace(16u << 20);
}

void Place(const Placed& placed) {
    if (placed.directory) {
        dev::AddDirectory(placed.path);
    } else if (placed.text.empty()) {
        dev::AddFile(placed.path, placed.size);
    } else {
        dev::AddTextFile(placed.path, placed.text);
    }
}

std::string Describe(const std::string& path) {
    if (qx::upgrader::utils::DirectoryExists(path)) {
        return "directory";
    }
    if (!dev::Exists(path)) {
        return "missing";
    }
    const unsigned int size = dev::SizeOf(path);
    return "file " + std::to_string(size) + (size <= 64 ? " " + Shown(dev::TextOf(path)) : "");
}

}  // namespace qx::testing::devicecases
