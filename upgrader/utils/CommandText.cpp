// The command texts of the device actions: the one place where they are
// written. The real device runs them; the in-memory device records them.
#include "upgrader/utils/Shell.h"

namespace qx {
namespace upgrader {
namespace utils {

std::string CommandText(Action const& action) {
    switch (action.kind) {
        case ActionKind::Command:
            return action.text;
        case ActionKind::RemoveTree:
            return "rm -rf " + action.path;
        case ActionKind::RemoveFileByCommand:
            return "rm " + action.path;
        case ActionKind::EmptyFile:
            return "cat /dev/null > " + action.path;
        case ActionKind::TouchFile:
            return "touch " + action.path;
        case ActionKind::Unmount:
            return "umount " + action.path;
        case ActionKind::MountMemoryFileSystem:
            // mode=0755: the fresh file system is closed to others from its first moment.
            return "mount -t tmpfs -o size=" + action.text + ",mode=0755 " + action.path;
        case ActionKind::SearchWord:
            return "cat " + action.path + " | grep -q \"\\b" + action.text + "\\b\"";
    }
    return std::string();
}

}  // namespace utils
}  // namespace upgrader
}  // namespace qx
