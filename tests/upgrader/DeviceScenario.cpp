#include "upgrader/DeviceScenario.h"

#include <gtest/gtest.h>

#include "support/DeviceLog.h"

using qx::sandbox::Entry;

const std::string DeviceScenario::kKernelImage = std::string(3000, 'K') + "kernel";
const std::string DeviceScenario::kDatabase = "filesystem database\n";

namespace {

std::string ValidatorScript(int exitStatus) {
    return "#!/bin/sh\n"
           "echo \"$0 $*\" > /tmp/validator-args\n"
           "ls /tmp/ramdisk > /tmp/validator-ramdisk\n"
           "grep ' /tmp/ramdisk ' /proc/mounts > /tmp/validator-mounts\n"
           "pidof wdfeed > /tmp/validator-wdfeed\n"
           "stat -c %a /tmp/ramdisk/fs-validator > /tmp/validator-mode\n"
           "exit " +
           std::to_string(exitStatus) + "\n";
}

}  // namespace

DeviceScenario::DeviceScenario() {
    device.flashSize = "64M";
    device.ramdiskSize = "32M";
    device.procVersion =
        "Linux version 2.6.35.3-00227-geccd148 (builder@buildhost) (gcc version 4.4.4) #1 "
        "PREEMPT Mon Jun 1 12:00:00 UTC 2020\n";
    Place("/var/log/upgrade_log", "2026111 10:00:00 - line of an earlier run\n");
    Entry watchdog;
    watchdog.path = "/tmp/wdfeed";
    watchdog.hostSource = qx::sandbox::WdfeedPath();
    watchdog.mode = 0755;
    device.entries.push_back(watchdog);
    Place("/sbin/qx_monitor.disabled", "monitor daemon", 0755);
    Place("/usr/sbin/qxsshd.disabled", "ssh daemon", 0755);
    Place("/sbin/nvlogger.disabled", "logger daemon", 0755);
}

void DeviceScenario::Place(const std::string& path, const std::string& content, unsigned int mode) {
    device.entries.push_back(Entry{});
    device.entries.back().path = path;
    device.entries.back().content = content;
    device.entries.back().mode = mode;
}

void DeviceScenario::PlaceDirectory(const std::string& path) {
    PlaceAs(path, qx::sandbox::Kind::Directory, 0, 0755);
}

void DeviceScenario::PlaceAs(const std::string& path, qx::sandbox::Kind kind, unsigned int uid,
                             unsigned int mode, const std::string& text) {
    Place(path, kind == qx::sandbox::Kind::Symlink ? "" : text, mode);
    Entry& entry = device.entries.back();
    entry.kind = kind;
    entry.target = kind == qx::sandbox::Kind::Symlink ? text : "";
    entry.uid = entry.gid = uid;
}

qx::package::OuterFields DeviceScenario::DefaultOuterFields() {
    qx::package::OuterFields outer;
    outer.version = 5;
    outer.upgradeName = "router firmware";
    outer.releaseName = "R7.3.1";
    outer.fileDate = "20261206";
    outer.upgradeId = 4242;
    return outer;
}

std::string DeviceScenario::PackageBytes(int validatorExit, const qx::package::OuterFields& outer,
                                         const std::string& kernelImage) {
    return PackageOf(ValidatorScript(validatorExit), kernelImage, kDatabase, outer);
}

std::string DeviceScenario::PackageOf(const std::string& validator, const std::string& kernelImage,
                                      const std::string& database,
                                      const qx::package::OuterFields& outer) {
    std::vector<qx::package::InnerData> inners(5);
    inners[0].data = "release notes";
    inners[2].data = validator;
    inners[2].fields.label = "fs-validator";
    inners[3].data = kernelImage;
    inners[3].fields.label = "kernel_image";
    inners[4].data = database;
    inners[4].fields.label = "filesystem.db";
    std::string package;
    std::string error;
    EXPECT_TRUE(qx::package::BuildPackage(outer, inners, package, error)) << error;
    return package;
}

void DeviceScenario::PlacePackage(const std::string& name, int validatorExit,
                                  const qx::package::OuterFields& outer) {
    Place("/tmp/ramdisk/" + name, PackageBytes(validatorExit, outer));
}

qx::sandbox::Result DeviceScenario::Run() const { return RunProgram(QX_UPGRADER_PATH); }

qx::sandbox::Result DeviceScenario::RunProgram(const std::string& hostProgram) const {
    return qx::sandbox::Run(device, hostProgram, args);
}

std::vector<std::string> RunLogLines(const std::string& logText) {
    std::vector<std::string> lines = qx::testing::LogLines(logText);
    for (size_t i = lines.size(); i-- > 0;) {
        if (lines[i] == "Upg: V0.0.5: Beginning upgrade") {
            return std::vector<std::string>(lines.begin() + static_cast<long>(i), lines.end());
        }
    }
    return {};
}

void ExpectUpgraded(const qx::sandbox::Result& r) {
    EXPECT_EQ(r.exitStatus, 1);
    const std::vector<std::string> log = qx::testing::LogLines(r.ReadFile("/var/log/upgrade_log"));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Successfully upgraded firmware");
    EXPECT_EQ(r.ReadFile("/tmp/ramdisk/kernel_image"), DeviceScenario::kKernelImage);
    EXPECT_FALSE(r.Exists("/etc/upgrade_started"));
}
