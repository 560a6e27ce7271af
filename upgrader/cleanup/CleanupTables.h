#pragma once

#include <array>
#include <cstddef>

// The fixed lists of paths that the staged cleanup works through. Rows are
// processed in the order in which they stand here.
namespace qx {
namespace upgrader {
namespace cleanup {

// What a cleanup row does to its path.
enum class Removal {
    Tree,           // the directory with everything below it (rm -rf)
    File,           // the file (unlink)
    Empty,          // the file's contents (emptied in place, created when missing)
    KeepLastLines,  // all but the upgrade log's last lines
};

struct PathRemoval {
    Removal removal;
    const char* path;
};

// A stale kernel module tree: removed as a tree when the running kernel's
// version line does not contain matchText.
struct KernelModuleTree {
    const char* matchText;
    const char* tree;
};

// An older version that a newer one replaces: the paths are unlinked, in
// order, only when marker is a regular file. Unused slots of paths are null.
struct SupersededVersionRule {
    static constexpr std::size_t kMaxPaths = 6;
    const char* marker;
    std::size_t pathCount;
    std::array<const char*, kMaxPaths> paths;
};

// Unused static directories, removed as trees.
extern const std::array<const char*, 7> kUnusedStaticDirectories;

// Unused static files, removed with unlink.
extern const std::array<const char*, 120> kUnusedStaticFiles;

// Module trees of kernels that may no longer be running.
extern const std::array<KernelModuleTree, 10> kStaleKernelModuleTrees;

// Extra files: one directory tree, then three files.
extern const std::array<PathRemoval, 4> kExtraFiles;

// Superseded library and program versions.
extern const std::array<SupersededVersionRule, 24> kSupersededVersionRules;

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
