#pragma once

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
    // One stage: its announcement (none when null), what it removes, and
    // the entry that reports the requirement met after it. A stage without
    // that entry is not followed by a measurement.
    struct Stage {
        const char* announcement;
        void (CleanupVQ740::*action)();
        const char* success;
    };
    static const Stage kStages[6];

    // CalculateFreespace, then EnoughFreeSpace.
    bool Remeasure();
    void ReportSuccess(const char* message, bool& spaceCreated);

    void TrimLiveLogs();
    void RemoveUnusedStaticFiles();
    void RemoveStaleKernelModules();
    void PruneRotatedLogs();
    void RemoveExtraFiles();
    void EmptyLiveLogs();
};

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
