#pragma once

#include <string>
#include <vector>

#include "sandbox/Sandbox.h"
#include "tools/package/PackageWriter.h"

// A simulated router prepared for one run of the real upgrader: a previous
// upgrade log, parked auto-start daemons, a watchdog program at /tmp/wdfeed,
// a running kernel's version text, and optionally an upgrade package.
class DeviceScenario {
  public:
    DeviceScenario();

    qx::sandbox::Device device;
    std::vector<std::string> args{"/tmp/wdfeed"};

    void Place(const std::string& path, const std::string& content, unsigned int mode = 0644);
    void PlaceDirectory(const std::string& path);

    // A valid package of five inner files at /tmp/ramdisk/<name>. Inner
    // file 2 is a validator script that records what it saw and exits with
    // validatorExit.
    void PlacePackage(const std::string& name, int validatorExit = 0,
                      const qx::package::OuterFields& outer = DefaultOuterFields());
    // The same package's bytes, for tests that damage them or need another
    // kernel image.
    static std::string PackageBytes(int validatorExit, const qx::package::OuterFields& outer,
                                    const std::string& kernelImage = kKernelImage);
    static qx::package::OuterFields DefaultOuterFields();

    static const std::string kKernelImage;
    static const std::string kDatabase;

    qx::sandbox::Result Run() const;
    qx::sandbox::Result RunProgram(const std::string& hostProgram) const;
};

// The stamped lines of a log, stripped, after the banner of the latest run.
std::vector<std::string> RunLogLines(const std::string& logText);
