#include "upgrader/LogMoves.h"

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {

bool MoveLogToRamDisk() {
    return utils::MoveUpgradeLog(utils::kFlashLogPath, utils::kUpgradeLogPath, false);
}

bool MoveLogToFlash() {
    return utils::MoveUpgradeLog(utils::kUpgradeLogPath, utils::kFlashLogPath, true);
}

}  // namespace upgrader
}  // namespace qx
