#include "upgrader/cleanup/CleanupBase.h"

#include "upgrader/utils/FileSystem.h"

namespace qx {
namespace upgrader {
namespace cleanup {

CleanupBase::CleanupBase(unsigned int required) : freeSpace(0), freeSpaceRequired(required) {}

CleanupBase::~CleanupBase() = default;

bool CleanupBase::RequireCleanup(bool& cleanupRequired) {
    if (!CalculateFreespace()) {
        return false;
    }
    cleanupRequired = freeSpace < freeSpaceRequired;
    return true;
}

unsigned int CleanupBase::FreeSpace() const { return freeSpace; }

unsigned int CleanupBase::FreeSpaceRequired() const { return freeSpaceRequired; }

bool CleanupBase::EnoughFreeSpace() const { return freeSpace >= freeSpaceRequired; }

bool CleanupBase::CalculateFreespace() {
    // MountFreeSpace flushes the file-system buffers (sync) before it asks
    // statvfs, so every figure follows a sync; it leaves freeSpace untouched
    // when the query fails.
    return qx::upgrader::utils::MountFreeSpace("/", freeSpace);
}

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
