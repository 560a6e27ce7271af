#pragma once

#include <iosfwd>

#include "upgrader/cleanup/CleanupBase.h"

namespace qx {
namespace upgrader {
namespace cleanup {

// The VQ740 cleanup: frees flash space on "/" in six stages, measuring after
// each from the second on and stopping as soon as the requirement is met:
//   1. live logs over their limits are emptied or shortened;
//   2. unused static directories and files;
//   3. module trees of kernels other than the running one;
//   4. rotated logs, oldest first, one per pass;
//   5. extra programs and superseded library versions;
//   6. the live system logs are emptied.
// Every stage is reported in the upgrade log; single deletions are not.
class CleanupVQ740 : public CleanupBase {
  public:
    explicit CleanupVQ740(unsigned int required);
    ~CleanupVQ740() override;

    // Always returns true. Sets spaceCreated to true (and syncs) when a stage
    // reached the requirement; never sets it to false, so the caller sets it
    // to false first and reads a false afterwards as "still short".
    bool PerformCleanup(bool& spaceCreated) override;

  private:
    // CalculateFreespace, then EnoughFreeSpace.
    bool Remeasure();
    bool ReportSuccess(std::ostringstream& entry, const char* message, bool& spaceCreated);
    void LogFreeSpace(std::ostringstream& entry);

    void TrimLiveLogs(std::ostringstream& entry);
    void RemoveUnusedStaticFiles();
    void RemoveStaleKernelModules();
    void PruneRotatedLogs();
    void RemoveExtraFiles();
    void EmptyLiveLogs();
};

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
