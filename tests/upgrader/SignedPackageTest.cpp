// The real upgrader with public keys installed in /etc/upgrade-keys on the
// simulated router: only packages signed by one of them are staged.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/DeviceLog.h"
#include "support/TestKeys.h"
#include "upgradeFile/PackageFixture.h"
#include "upgrader/DeviceScenario.h"

using qx::sandbox::Result;
using Lines = std::vector<std::string>;

namespace {

using Key = qx::testing::TestKey;

const Key kTeam{1}, kRotated{2}, kStranger{3};

std::string Unsigned() {
    return DeviceScenario::PackageBytes(0, DeviceScenario::DefaultOuterFields());
}

std::string SignedBy(const Key& key) { return key.Sign(Unsigned()); }

// An inner data byte changed after signing, its header's MD5 made right
// again: only the signature can tell.
std::string ChangedAndResealed() {
    std::string package = Unsigned();
    const std::size_t kernel = package.find(DeviceScenario::kKernelImage);
    package[kernel + 10] ^= 0x01;
    qx::testing::Reseal(package, kernel - qx::testing::kHeader,
                        DeviceScenario::kKernelImage.size());
    const std::string good = SignedBy(kTeam);
    return package + good.substr(package.size());
}

Result RunWith(const std::vector<const Key*>& keys, const std::string& package,
               const std::string& extraKeyFile = "") {
    DeviceScenario scenario;
    const char* names[] = {"team.pub", "rotated.pub"};
    for (std::size_t i = 0; i < keys.size(); ++i) {
        scenario.Place(std::string("/etc/upgrade-keys/") + names[i],
                       qx::package::PublicKeyText(keys[i]->pub));
    }
    if (!extraKeyFile.empty()) {
        scenario.Place("/etc/upgrade-keys/damaged.pub", extraKeyFile);
        // Opening a FIFO would wait for a writer for ever.
        scenario.Place("/etc/upgrade-keys/pipe.pub", "");
        scenario.device.entries.back().kind = qx::sandbox::Kind::Fifo;
    }
    scenario.Place("/tmp/ramdisk/udpackage", package);
    return scenario.Run();
}

void ExpectStaged(const Result& result) {
    ExpectUpgraded(result);
    EXPECT_FALSE(result.Exists("/tmp/ramdisk/udpackage"));
}

// The parse-failure exit: nothing is extracted, the log goes back to the flash.
void ExpectRefused(const Result& result, const char* error, std::string const& package,
                   bool damagedStore) {
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_FALSE(result.Exists("/tmp/ramdisk/upgrade_log"));
    const Lines log = RunLogLines(result.ReadFile("/var/log/upgrade_log"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), std::string("Unable to parse file: ") + error);
    for (const char* line : {"Ignoring key file /etc/upgrade-keys/damaged.pub: not a public "
                             "key file",
                             "Ignoring key file /etc/upgrade-keys/pipe.pub: not a regular file"}) {
        EXPECT_EQ(std::count(log.begin(), log.end(), line), damagedStore ? 1 : 0) << line;
    }
    for (const char* staged : {"/tmp/fs-validator", "/tmp/kernel_image", "/tmp/filesystem.db"}) {
        EXPECT_FALSE(result.Exists(staged)) << staged;
    }
    EXPECT_EQ(result.ReadFile("/tmp/ramdisk/udpackage"), package);
    EXPECT_EQ(result.commands[result.commands.size() - 2], "pkill -9 wdfeed");
}

}  // namespace

TEST(SignedPackage, InstalledKeysDecideWhatIsStaged) {
    const std::string signed_ = SignedBy(kTeam);
    const struct {
        const char* name;
        std::vector<const Key*> keys;
        std::string package;
        const char* error;  // null: staged
        std::string keyFile = "";
    } cases[] = {
        {"signed by the installed key", {&kTeam}, signed_, nullptr},
        {"two keys, the second signed", {&kRotated, &kTeam}, signed_, nullptr},
        {"unsigned", {&kTeam}, Unsigned(), "Package is not signed"},
        {"signed by another key",
         {&kTeam, &kRotated},
         SignedBy(kStranger),
         "Package signed by an unknown key"},
        // The other changes' verdicts: SignatureTest.TrustStoreDecidesWhatIsAccepted.
        {"inner data byte changed",
         {&kTeam},
         ChangedAndResealed(),
         "Package signature is not valid"},
        {"only a damaged key file", {}, signed_, "Package signed by an unknown key", "nonsense\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result result = RunWith(c.keys, c.package, c.keyFile);
        if (c.error == nullptr) {
            ExpectStaged(result);
            continue;
        }
        ExpectRefused(result, c.error, c.package, !c.keyFile.empty());
    }
}

// No key installed (no directory, or one without *.pub files): signed and
// unsigned packages upgrade exactly alike, with no line about signatures.
TEST(SignedPackage, WithoutKeysEveryPackageRunsAsBefore) {
    const Result plain = RunWith({}, Unsigned());
    ExpectStaged(plain);
    const Lines plainLog = qx::testing::LogLines(plain.ReadFile("/var/log/upgrade_log"));
    for (const std::string& package : {SignedBy(kStranger), Unsigned() + "trailing bytes"}) {
        const Result result = RunWith({}, package);
        ExpectStaged(result);
        EXPECT_EQ(result.commands, plain.commands);
        EXPECT_EQ(qx::testing::LogLines(result.ReadFile("/var/log/upgrade_log")), plainLog);
    }
    DeviceScenario emptyStore;
    emptyStore.Place("/etc/upgrade-keys/README", "public keys go here as NAME.pub\n");
    emptyStore.Place("/tmp/ramdisk/udpackage", Unsigned());
    const Result result = emptyStore.Run();
    ExpectStaged(result);
    EXPECT_EQ(result.commands, plain.commands);
}
