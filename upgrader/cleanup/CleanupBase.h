#pragma once

namespace qx {
namespace upgrader {
namespace cleanup {

// Base of the cleanup strategies: holds the free space that the upgrade
// requires and the last measured free space of the root file system, in
// bytes. Deleting is left to PerformCleanup of the concrete strategy.
class CleanupBase {
  public:
    // Stores the requirement; does not measure (FreeSpace() is 0 until the
    // first successful CalculateFreespace).
    explicit CleanupBase(unsigned int required);
    virtual ~CleanupBase();

    // Measures, then sets cleanupRequired to !EnoughFreeSpace(). False, and
    // cleanupRequired untouched, when the measurement failed.
    virtual bool RequireCleanup(bool& cleanupRequired);

    // Frees space; sets spaceCreated to true when the requirement was met.
    virtual bool PerformCleanup(bool& spaceCreated) = 0;

    unsigned int FreeSpace() const;
    unsigned int FreeSpaceRequired() const;

    // Compares the last measured figure with the requirement; equal is enough.
    bool EnoughFreeSpace() const;

    // Syncs and measures the bytes available on "/". A failed measurement
    // keeps the previous figure. 4 GiB or more reads as 0xFFFFFFFF, never as
    // a small wrapped number.
    bool CalculateFreespace();

  private:
    unsigned int freeSpace;
    unsigned int freeSpaceRequired;
};

}  // namespace cleanup
}  // namespace upgrader
}  // namespace qx
