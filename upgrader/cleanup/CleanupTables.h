#pragma once

#include <array>
#include <cstddef>

// The fixed lists of paths that the staged cleanup works through. Rows are
// processed in the order in which they stand here.
namespace qx {
namespace upgrader {
namespace cleanup {

// A stale kernel module tree: removed with command when the running kernel's
// version line does not contain matchText.
struct KernelModuleTree {
    const char* matchText;
    const char* command;
};

// An older version that a newer one replaces: the paths are unlinked, in
// order, only when marker is a regular file. Unused slots of paths are null.
struct SupersededVersionRule {
    static constexpr std::size_t kMaxPaths = 6;
    const char* marker;
    std::size_t pathCount;
    std::array<const char*, kMaxPaths> paths;
};

// Shell commands removing unused static directories.
extern const std::array<const char*, 7> kUnusedStaticDirectoryCommands;

// Unused static files, removed with unlink.
extern const std::array<const char*, 120> kUnusedStaticFiles;

// Module trees of kernels that may no longer be running.
extern const std::array<KernelModuleTree, 10> kStaleKernelModuleTrees;

// Extra files: one directory command, then three files removed with unlink.
extern const char* const kExtraDirectoryCommand;
extern const std::array<const char*, 3> kExtraFiles;

// Superseded library and program versions.
extern const std::array<SupersededVersionRule, 24> kSupersededVersionRules;

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
