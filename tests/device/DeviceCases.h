#pragma once

// One table of device cases, run against both devices: the in-memory one in
// process (DeviceTest.cpp) and the real one on the simulated router
// (device_probe). Each case places files, calls one device function or
// command, and describes what the device then holds; both devices must
// give the case's description, so the in-memory device cannot drift from
// the real one.
#include <functional>
#include <string>
#include <vector>

namespace qx::testing::devicecases {

struct Placed {
    std::string path;
    std::string text;       // the file's bytes
    unsigned int size = 0;  // when text is empty: a file of this many bytes
    bool directory = false;
};

struct DeviceCase {
    const char* name;
    std::vector<Placed> placed;
    std::function<bool()> action;
    // What the device then holds: the action's truth value, the state of
    // each path named, and how much the free space rose when "freed" is there.
    std::string expected;
};

const std::vector<DeviceCase>& Cases();

// Describes the device after the case's action as its expected text does,
// e.g. "true; /a: missing; /b: file 4 \"1\\n2\\n\"; freed 4096".
std::string RunCase(const DeviceCase& c);

// bytes in quotes, a line feed shown as \n.
std::string Shown(const std::string& bytes);

// Each device's own way to start afresh, place and describe an entry.
void ResetDevice();
void Place(const Placed& placed);
// "missing", "directory", "file SIZE", with the bytes for files of up to 64.
std::string Describe(const std::string& path);

}  // namespace qx::testing::devicecases
