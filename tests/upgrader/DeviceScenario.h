#pragma once

#include <string>
#include <vector>

#include "sandbox/Sandbox.h"
#include "tools/package/PackageWriter.h"

class DeviceScenario {
  public:
    DeviceScenario();

    qx::sandbox::Device device;
    std::vector<std::string> args{"/tmp/wdfeed"};

    void Place(const std::string& path, const std::string& content, unsigned int mode = 0644);
    void PlaceDirectory(const std::string& path);
    // An entry of the given owner (user and group) and mode; text is a
    // file's bytes or a link's target.
    void PlaceAs(const std::string& path, qx::sandbox::Kind kind, unsigned int uid,
                 unsigned int mode, const std::string& text = "");

    // Five inner files; inner file 2 is a validator that records what it saw.
    void PlacePackage(const std::string& name, int validatorExit = 0,
                      const qx::package::OuterFields& outer = DefaultOuterFields());
    static std::string PackageBytes(int validatorExit, const qx::package::OuterFields& outer,
                                    const std::string& kernelImage = kKernelImage);
    // Inner files 2, 3 and 4 as given.
    static std::string PackageOf(const std::string& validator, const std::string& kernelImage,
                                 const std::string& database,
                                 const qx::package::OuterFields& outer = DefaultOuterFields());
    static qx::package::OuterFields DefaultOuterFields();

    static const std::string kKernelImage;
    static const std::string kDatabase;

    qx::sandbox::Result Run() const;
    qx::sandbox::Result RunProgram(const std::string& hostProgram) const;
};

// The stamped lines of a log, stripped, after the banner of the latest run.
std::vector<std::string> RunLogLines(const std::string& logText);

// The run staged the scenario's package and its validator accepted it.
void ExpectUpgraded(const qx::sandbox::Result& r);
