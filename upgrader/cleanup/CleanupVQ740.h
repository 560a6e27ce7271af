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
// Stages 2 to 5 announce themselves in the upgrade log; stage 1 logs only a
// log it trims and stage 6 nothing of its own. Every stage from the second
// on logs what its measurement found; single deletions are not logged.
class CleanupVQ740 : public CleanupBase {
  public:
    // Told where each stage begins and what the measurement after it found,
    // as the stage runs, so that a tool replaying the cleanup (the plan) can
    // tell the stages' effects apart. The device program sets none.
    class StageObserver {
      public:
        virtual ~StageObserver() = default;
        // Before the stage's announcement and actions (number from 1).
        virtual void StageBegins(int number) = 0;
        // After the stage's actions and, when the requirement is met, its
        // success entry; before the entries that report the figures.
        // measured: the cleanup measured after the stage (not after stage 1),
        // freeAfter: that measurement, enough: the requirement is met.
        virtual void StageMeasured(int number, bool measured, unsigned int freeAfter,
                                   bool enough) = 0;
    };

    explicit CleanupVQ740(unsigned int required);
    ~CleanupVQ740() override;

    void SetStageObserver(StageObserver* stageObserver) { observer = stageObserver; }

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
    void ReportSuccess(const char* message, int number, bool& spaceCreated);
    void Measured(int number, bool measured, bool enough) const;

    void TrimLiveLogs();
    void RemoveUnusedStaticFiles();
    void RemoveStaleKernelModules();
    void PruneRotatedLogs();
    void RemoveExtraFiles();
    void EmptyLiveLogs();

    StageObserver* observer = nullptr;
};

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
