#pragma once

#include <optional>
#include <string>

#include "upgradeFile/UpgradeFile.h"
#include "upgrader/cleanup/CleanupVQ740.h"

namespace qx {
namespace upgrader {

// The free space on "/" an upgrade needs: 22 MiB.
constexpr unsigned int kRequiredFreeSpace = 0x1600000;

// The entries every run writes before the cleanup's own: the banner, then
// the cleanup's announcement (the plan counts them against the log's limit).
constexpr const char* kBannerEntry = "Upg: V0.0.5: Beginning upgrade";
constexpr const char* kCleanupEntry = "Running cleanup to allow for upgrade";

// The body of a run after the argument check: quiesce, watchdog program,
// board check, cleanup, package location, parse, extraction, staging and
// validator. The log's move back to the flash is the caller's, on every
// exit. Returns the exit code: 0 for the exits before extraction, 1 from there
// on. The cleanup strategy and the package reader belong to the caller,
// which destroys them after the hand-off.
int RunUpgrade(std::string const& watchdog, std::optional<cleanup::CleanupVQ740>& cleanup,
               std::optional<qx::upgradeFile::UpgradeFile>& reader);

}  // namespace upgrader
}  // namespace qx
