// ARM runs under qemu -strace: every call is in linux-2.6.35-arm-eabi.syscalls or
// enosys-fallbacks.list. QX_COMPAT_UPGRADER=/path/to/upgrader checks another build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox/Sandbox.h"
#include "upgrader/DeviceScenario.h"

namespace {

using Words = std::vector<std::string>;

std::string UpgraderPath() {
    const char* chosen = std::getenv("QX_COMPAT_UPGRADER");
    return chosen != nullptr && *chosen != '\0' ? chosen : QX_UPGRADER_PATH;
}

std::vector<Words> Rows(const std::string& path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::vector<Words> rows;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        Words row{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
        if (!row.empty()) {
            rows.push_back(row);
        }
    }
    return rows;
}

unsigned long Number(const std::string& text) {
    EXPECT_TRUE(!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
        << "not a number: " << text;
    return std::strtoul(text.c_str(), nullptr, 10);
}

// A newer call the C library replaces by olderCall on ENOSYS ("none": skipped).
struct Fallback {
    std::string call;
    unsigned long number;
    std::string olderCall;
};

class KernelCalls : public ::testing::Test {
  protected:
    // Rows: "NUMBER NAME [OTHER-NAME...]"; fallbacks "CALL NUMBER OLDER-CALL REASON...".
    void SetUp() override {
        for (const Words& row : Rows(QX_SYSCALL_TABLE)) {
            ASSERT_GE(row.size(), 2u);
            const unsigned long number = Number(row[0]);
            ASSERT_TRUE(nameOf.emplace(number, row[1]).second) << "given twice: " << row[0];
            for (std::size_t i = 1; i < row.size(); ++i) {
                ASSERT_TRUE(numberOf.emplace(row[i], number).second) << "given twice: " << row[i];
            }
        }
        for (const Words& row : Rows(QX_SYSCALL_FALLBACKS)) {
            ASSERT_GE(row.size(), 4u) << row[0] << ": the reason is missing";
            fallbacks.push_back({row[0], Number(row[1]), row[2]});
        }
    }

    // Call names in an emulator trace: each lower-case word right before '(' outside quotes
    // (output may cut lines anywhere); "Unknown syscall N" by number, else "syscall N".
    std::set<std::string> TracedCalls(const std::string& trace) const {
        static const std::regex call("(^|[^A-Za-z0-9_])([a-z_][a-z0-9_]*)\\(");
        static const std::regex unknown("Unknown syscall ([0-9]+)");
        std::set<std::string> calls;
        std::istringstream in(trace);
        for (std::string line; std::getline(in, line);) {
            std::string text;
            bool quoted = false;
            for (char c : line) {
                quoted = quoted != (c == '"');
                if (!quoted && c != '"') {
                    text += c;
                }
            }
            for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it) {
                calls.insert((*it)[2].str());
            }
            for (std::sregex_iterator it(text.begin(), text.end(), unknown), end; it != end; ++it) {
                const unsigned long number = Number((*it)[1].str());
                std::string name = "syscall " + (*it)[1].str();
                if (nameOf.count(number) != 0) {
                    name = nameOf.at(number);
                }
                for (const Fallback& fallback : fallbacks) {
                    name = fallback.number == number ? fallback.call : name;
                }
                calls.insert(name);
            }
        }
        return calls;
    }

    Words CallsOutside(const std::set<std::string>& calls) const {
        Words outside;
        for (const std::string& name : calls) {
            bool allowed = numberOf.count(name) != 0;
            for (const Fallback& fallback : fallbacks) {
                allowed = allowed || fallback.call == name;
            }
            if (!allowed) {
                outside.push_back(name);
            }
        }
        return outside;
    }

    std::map<std::string, unsigned long> numberOf;  // every name a call goes by
    std::map<unsigned long, std::string> nameOf;
    std::vector<Fallback> fallbacks;
};

TEST_F(KernelCalls, TableAndFallbacksAreConsistent) {
    // Spot checks of the table against the kernel: present, and left out.
    EXPECT_EQ(numberOf.at("open"), 5u);
    EXPECT_EQ(numberOf.at("recvmmsg"), 365u);  // the newest call of 2.6.35
    EXPECT_EQ(numberOf.count("time"), 0u);     // OBSOLETE(): not in an EABI kernel
    EXPECT_EQ(numberOf.count("accept4"), 0u);  // 2.6.36
    EXPECT_EQ(nameOf.rbegin()->second, "set_tls");

    ASSERT_FALSE(fallbacks.empty());
    for (const Fallback& fallback : fallbacks) {
        SCOPED_TRACE(fallback.call);
        EXPECT_EQ(numberOf.count(fallback.call), 0u) << "listed but not newer";
        EXPECT_EQ(nameOf.count(fallback.number), 0u) << "number of a 2.6.35 call";
        EXPECT_TRUE(fallback.olderCall == "none" || numberOf.count(fallback.olderCall) != 0)
            << "falls back to " << fallback.olderCall << ", which 2.6.35 lacks too";
    }
}

TEST_F(KernelCalls, DeviceProgramCarriesNoNewerKernelGate) {
    // The C library's minimum-kernel check and libgcc's 64-bit CAS helper test.
    std::ifstream in(UpgraderPath(), std::ios::binary);
    ASSERT_TRUE(in);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(bytes.find("kernel too old"), std::string::npos);
    EXPECT_EQ(bytes.find("A newer kernel is required"), std::string::npos);
}

class TracedRun : public KernelCalls {
  protected:
    qx::sandbox::Result RunTraced(DeviceScenario& scenario, const std::string& program) {
        scenario.device.emulator = QX_DEVICE_EMULATOR;
        scenario.device.emulatorArgs = {"-strace"};
        scenario.device.timeoutSeconds = 300;
        qx::sandbox::Result result = scenario.RunProgram(program);
        EXPECT_EQ(result.error, "");
        const std::set<std::string> calls = TracedCalls(result.stderrText);
        EXPECT_TRUE(calls.count("exit_group") != 0)
            << "no trace of the run: " << result.stderrText.substr(0, 2000);
        std::string outside;
        for (const std::string& name : CallsOutside(calls)) {
            outside += (outside.empty() ? "" : ", ") + name;
        }
        EXPECT_EQ(outside, "")
            << "system calls that Linux 2.6.35 (ARM EABI) lacks. Avoid them, or, when the C "
               "library falls back to an older call on ENOSYS, list them with that call in "
               "enosys-fallbacks.list.";
        return result;
    }
};

TEST_F(TracedRun, SuccessfulUpgradeAndCleanupThroughEveryStage) {
    for (const bool small : {false, true}) {
        DeviceScenario scenario;
        if (small) {  // a flash too small: every cleanup stage runs before the run gives up
            scenario.device.flashSize = "16M";
            for (const char* path :
                 {"/lib/modules/2.6.35.3-00108-g29117d2/old.ko",
                  "/lib/modules/2.6.35.3-00227-geccd148/current.ko", "/usr/lib/libcurl.so.4.6.0",
                  "/lib/libcurl.so.4.0.0", "/var/log/messages", "/var/log/messages.1"}) {
                scenario.Place(path, "content\n");
            }
        }
        scenario.PlacePackage("ud-compat.bin");
        const qx::sandbox::Result result = RunTraced(scenario, UpgraderPath());
        EXPECT_EQ(result.exitStatus, small ? 0 : 1);  // 1: the status of every run past extraction
        const std::string log = result.ReadFile("/var/log/upgrade_log");
        EXPECT_NE(log.find(small ? "Unable to sufficiently cleanup the OS"
                                 : "Successfully upgraded firmware"),
                  std::string::npos)
            << log;
    }
}

#ifdef QX_INSPECT_PATH
TEST_F(TracedRun, PackageInspectorOnTheRouter) {
    for (const Words& args : {Words{"verify", "/tmp/ramdisk/ud-compat.bin"}, Words{"plan"}}) {
        DeviceScenario scenario;
        scenario.PlacePackage("ud-compat.bin");
        scenario.device.programDevicePath = "/usr/sbin/upgrade-inspect";
        scenario.args = args;
        const qx::sandbox::Result result = RunTraced(scenario, QX_INSPECT_PATH);
        const std::size_t tail =
            result.stderrText.size() > 2000 ? result.stderrText.size() - 2000 : 0;
        EXPECT_EQ(result.exitStatus, 0) << args[0] << result.stderrText.substr(tail);
        EXPECT_TRUE(result.commands.empty());  // it only reads
    }
}
#endif

}  // namespace
