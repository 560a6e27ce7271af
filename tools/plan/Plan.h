#pragma once

#include <string>

namespace qx {
namespace plan {

// The words of "upgrade-inspect plan", as given; empty texts are options not
// given. RunPlan checks them.
struct PlanArguments {
    bool json = false;
    std::string required;     // --required BYTES
    std::string root;         // --root DIR
    std::string free;         // --free BYTES (with --root)
    std::string procVersion;  // --proc-version FILE
};

// Prints what the cleanup would remove, stage by stage, and where it would
// stop, without touching anything. Returns the exit status: 0 with a plan
// printed (whatever its verdict), 1 with a one-line error on stderr.
int RunPlan(PlanArguments const& args);

}  // namespace plan
}  // namespace qx
