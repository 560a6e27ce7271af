#pragma once

#include <string>
#include <vector>

namespace qx {
namespace plan {

// upgrade-inspect plan [--json] [--required BYTES] [--root DIR --free BYTES]
//                      [--proc-version FILE]
// args are the words after "plan". Prints what the cleanup would remove,
// stage by stage, and where it would stop, without touching anything.
// Returns the exit status: 0 with a plan printed (whatever its verdict), 1
// with a one-line error on stderr.
int RunPlanCommand(std::vector<std::string> const& args);

}  // namespace plan
}  // namespace qx
