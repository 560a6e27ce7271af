// One system call of a successful upgrade fails: strace (around the real
// upgrader on the simulated device, not following the commands it starts)
// makes the n-th call of one kind return an error, and the run must still
// keep the log's history, the marker's meaning and the bytes of every file
// it does not own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DeviceScenario.h"
#include "support/DeviceLog.h"
#include "support/Md5Hex.h"
#include "support/TestKeys.h"
#include "upgradeFile/Signature.h"

using qx::sandbox::Result;
using Lines = std::vector<std::string>;

namespace {

const char* const kStrace = "/usr/bin/strace";
const char* const kPackage = "/tmp/ramdisk/udfw.bin";
const char* const kMarker = "/etc/upgrade_started";
const char* const kAccepted = "/tmp/validator-accepted";
const std::string kEarlierLog =
    "2026111 10:00:00 - earlier run, first line\n"
    "2026111 10:00:01 - earlier run, last line\n";

const std::map<std::string, std::string> kPrecious = {
    {"/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n"},
    {"/root/notes", "kept across upgrades\n"},
    {"/usr/lib/libprecious.so", "library bytes\n"},
};

// What the package's inner files 2, 3 and 4 become, on the flash while
// extracted and on the RAM disk once staged.
struct Output {
    const char* extracted;
    const char* staged;
};
const Output kOutputs[] = {
    {"/tmp/fs-validator", "/tmp/ramdisk/fs-validator"},
    {"/tmp/kernel_image", "/tmp/ramdisk/kernel_image"},
    {"/tmp/filesystem.db", "/tmp/ramdisk/filesystem.db"},
};

// Call kinds of the program's own work and the errors each one is given:
// errors Linux can return there, EINTR only where it can interrupt the
// call (a wait for a child that exists never fails otherwise). Memory and
// signal-mask calls of the C library are left out: an allocation failure
// ends any C++ program. An injected error skips the call, so an
// interrupted close would leave its descriptor open, which Linux never
// does: that one is injected only where a descriptor left open changes
// nothing (the targeted cases below).
const std::vector<std::pair<std::string, Lines>> kFaults = {
    {"openat", {"EACCES", "EIO", "EMFILE", "EINTR"}},
    {"newfstatat", {"EIO", "ENOMEM"}},
    {"read", {"EIO", "EINTR"}},
    {"write", {"ENOSPC", "EIO", "EINTR"}},
    {"close", {"EIO"}},
    {"fsync", {"EIO", "EINTR"}},
    {"lseek", {"EINVAL"}},
    {"fcntl", {"EINVAL"}},
    {"unlink", {"EIO"}},
    {"rename", {"EIO"}},
    {"getdents64", {"EIO"}},
    {"statfs", {"EIO"}},
    {"readlink", {"EIO"}},
    {"clone3", {"EAGAIN", "ENOMEM"}},
    {"wait4", {"EINTR"}},
    {"clock_nanosleep", {"EINTR"}},
};

// Accepts exactly the package's kernel image and database, and says so.
std::string Validator() {
    return "#!/bin/sh\n"
           "[ \"$(md5sum < \"$1\")\" = \"" +
           qx::testing::Md5Hex(DeviceScenario::kKernelImage) + "  -\" ] || exit 1\n" +
           "[ \"$(md5sum < \"$2\")\" = \"" + qx::testing::Md5Hex(DeviceScenario::kDatabase) +
           "  -\" ] || exit 1\n" + "echo accepted > " + kAccepted + "\n";
}

// What inner file 2, 3 or 4 holds, by its output.
std::string InnerBytes(const Output& output) {
    const std::size_t which = static_cast<std::size_t>(&output - kOutputs);
    return which == 0   ? Validator()
           : which == 1 ? DeviceScenario::kKernelImage
                        : DeviceScenario::kDatabase;
}

DeviceScenario Scenario() {
    DeviceScenario s;
    s.device.timeoutSeconds = 30;
    s.Place("/var/log/upgrade_log", kEarlierLog);
    s.Place(kMarker, "");
    for (const auto& [path, bytes] : kPrecious) {
        s.Place(path, bytes);
    }
    s.Place(kPackage, DeviceScenario::PackageOf(Validator(), DeviceScenario::kKernelImage,
                                                DeviceScenario::kDatabase));
    return s;
}

struct Injection {
    std::string call, error;
    unsigned int when = 0;  // the n-th call of its kind fails
    std::string Name() const { return call + ":" + error + ":" + std::to_string(when); }
};

// A run under strace with these arguments besides -qq.
Result Straced(DeviceScenario s, const Lines& args) {
    s.device.emulator = kStrace;
    s.device.emulatorArgs = qx::testing::Concat({{"-qq"}, args});
    return s.Run();
}

// Traces the calls of one kind; the when-th fails with error.
Lines Inject(const std::string& call, const std::string& error, unsigned int when) {
    return {"-e", "trace=" + call, "-e",
            "inject=" + call + ":error=" + error + ":when=" + std::to_string(when)};
}

Result RunInjected(const DeviceScenario& scenario, const Injection& f) {
    return Straced(scenario, Inject(f.call, f.error, f.when));
}

// A successful run traced with the descriptors' paths (-y).
Result RunTraced(const DeviceScenario& scenario) {
    std::string kinds;
    for (const auto& fault : kFaults) {
        kinds += (kinds.empty() ? "" : ",") + fault.first;
    }
    return Straced(scenario, {"-y", "-e", "trace=" + kinds});
}

// The traced calls, in order, as (kind, line).
std::vector<std::pair<std::string, std::string>> TracedCalls(const std::string& trace) {
    static const std::regex call("^([a-z0-9_]+)\\(");
    std::vector<std::pair<std::string, std::string>> calls;
    std::smatch match;
    for (const std::string& line : qx::sandbox::SplitLines(trace)) {
        if (std::regex_search(line, match, call)) {
            calls.emplace_back(match[1], line);
        }
    }
    return calls;
}

// The first five, the last five and five spread evenly between, of count
// calls.
std::set<unsigned int> Sample(unsigned int count) {
    constexpr unsigned int kEdge = 5, kSpread = 5;
    std::set<unsigned int> picked;
    for (unsigned int n = 1; n <= count; ++n) {
        if (n <= kEdge || n + kEdge > count) {
            picked.insert(n);
        }
    }
    for (unsigned int i = 1; i <= kSpread && count > 2 * kEdge; ++i) {
        picked.insert(kEdge + i * (count - 2 * kEdge) / (kSpread + 1));
    }
    return picked;
}

// The upgrade log where it ended: on the flash, or still on the RAM disk.
std::string FinalLog(const Result& r) {
    for (const char* path : {"/var/log/upgrade_log", "/tmp/ramdisk/upgrade_log"}) {
        struct stat info;
        const std::string text = r.ReadFile(path);
        if (r.Stat(path, info) && S_ISREG(info.st_mode) && text.rfind(kEarlierLog, 0) == 0) {
            return text;
        }
    }
    return std::string();
}

// The names in /tmp/ and /tmp/ramdisk/ after a run.
std::set<std::string> TemporaryNames(const Result& r) {
    std::set<std::string> names;
    for (const char* directory : {"/tmp", "/tmp/ramdisk"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(r.root + directory, ec)) {
            names.insert(std::string(directory) + "/" + entry.path().filename().string());
        }
    }
    return names;
}

void CheckOutputs(const Result& r, const Result& baseline, Lines& broken) {
    // Nothing the run wrote is left under a name of its own.
    std::set<std::string> known = TemporaryNames(baseline);
    known.insert("/tmp/wdfeed");  // its removal may fail
    known.insert({kPackage, "/tmp/ramdisk/upgrade_log", "/tmp/ramdisk/pnv-wait-during-startup"});
    for (const Output& output : kOutputs) {
        known.insert({output.extracted, output.staged});
    }
    for (const std::string& name : TemporaryNames(r)) {
        if (known.count(name) == 0) {
            broken.push_back("left behind " + name);
        }
    }
    for (const Output& output : kOutputs) {
        for (const char* path : {output.extracted, output.staged}) {
            struct stat info;
            if (!r.Stat(path, info)) {
                continue;
            }
            // A name the program claimed on the RAM disk may stay empty when
            // the move onto it did not happen.
            const bool claimed =
                path == output.staged && S_ISREG(info.st_mode) && info.st_size == 0;
            if (!claimed && (!S_ISREG(info.st_mode) || r.ReadFile(path) != InnerBytes(output))) {
                broken.push_back(std::string("partial output ") + path);
            }
        }
    }
}

// Every invariant an injected run must keep; what it broke, empty if none.
Lines Broken(const Result& r, const Injection& f, const Result& baseline) {
    Lines broken;
    if (!r.error.empty() || r.timedOut || (r.exitStatus != 0 && r.exitStatus != 1)) {
        return {"did not end by itself with 0 or 1: " + std::to_string(r.exitStatus) + " " +
                r.error};
    }
    if (r.stderrText.find("(INJECTED)") == std::string::npos) {
        broken.push_back("the call was never made");
    }
    const std::string log = FinalLog(r);
    if (log.empty()) {
        broken.push_back("the earlier log lines are gone");
    }
    for (const auto& [path, bytes] : kPrecious) {
        if (r.ReadFile(path) != bytes) {
            broken.push_back("changed " + path);
        }
    }
    if (!r.Exists(kMarker) && r.ReadFile(kAccepted) != "accepted\n") {
        broken.push_back("marker removed without an accepting validator");
    }
    CheckOutputs(r, baseline, broken);
    if (f.error == "EINTR" &&
        (r.exitStatus != baseline.exitStatus ||
         qx::testing::LogLines(log) != qx::testing::LogLines(FinalLog(baseline)))) {
        broken.push_back("an interrupted call changed the outcome");
    }
    return broken;
}

// Runs job(0) .. job(count - 1) on a few threads: a run mostly waits.
template <typename Job>
void RunAll(std::size_t count, Job job) {
    constexpr unsigned int kWorkers = 3;
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    for (unsigned int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i; (i = next++) < count;) {
                job(i);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

class FaultInjection : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        scenario = new DeviceScenario(Scenario());
        baseline = new Result(RunTraced(*scenario));
    }
    static void TearDownTestSuite() {
        delete baseline;
        delete scenario;
    }

    void ExpectSuccessfulBaseline() {
        ASSERT_EQ(baseline->error, "");
        ASSERT_EQ(baseline->exitStatus, 1);
        ASSERT_FALSE(baseline->Exists(kMarker));
        ASSERT_NE(FinalLog(*baseline).find("Successfully upgraded firmware"), std::string::npos);
    }

    // Number of the first traced call of kind whose line matches pattern,
    // counting from the occurrence-th match; 0 when there is none.
    static unsigned int CallNumber(const std::string& kind, const std::string& pattern,
                                   int occurrence) {
        const std::regex wanted(pattern);
        unsigned int n = 0;
        for (const auto& [name, line] : TracedCalls(baseline->stderrText)) {
            if (name != kind) {
                continue;
            }
            ++n;
            if (std::regex_search(line, wanted) && --occurrence == 0) {
                return n;
            }
        }
        return 0;
    }

    static DeviceScenario* scenario;
    static Result* baseline;
};
DeviceScenario* FaultInjection::scenario = nullptr;
Result* FaultInjection::baseline = nullptr;

std::string Report(const Injection& f, const Lines& broken) {
    std::string text = f.Name() + ":";
    for (const std::string& what : broken) {
        text += " " + what + ";";
    }
    return text;
}

// The faults that once cost the log, left partial files or failed on an
// interruption, on calls the sweep's sample may miss; picked by what they worked on.
TEST_F(FaultInjection, FaultsThatOnceCostTheLogOrTheOutcome) {
    ASSERT_NO_FATAL_FAILURE(ExpectSuccessfulBaseline());
    const struct {
        const char* what;
        Injection injection;
        const char* pattern;  // regular expression over the traced line
        int occurrence;
    } cases[] = {
        {"the log cannot be opened", {"openat", "EACCES"}, "/tmp/ramdisk/upgrade_log", 3},
        {"the package cannot be read while extracting", {"read", "EIO"}, "udfw.bin>, \"#!", 2},
        {"a fresh output cannot be examined",
         {"newfstatat", "EIO"},
         "^newfstatat\\(\\d+</tmp/(?!ramdisk>)[^/>]+>",
         1},
        {"an interrupted close after an extraction",
         {"close", "EINTR"},
         "^close\\(\\d+</tmp/(?!ramdisk>)[^/>]+>",
         1},
        {"an interrupted open while listing the RAM disk",
         {"openat", "EINTR"},
         "\"/tmp/ramdisk/?\", .*O_DIRECTORY",
         1},
        {"the copy back to the flash before the unmount cannot be written",
         {"write", "ENOSPC"},
         "^write\\(\\d+</var/log/",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Injection f = c.injection;
        if (f.when == 0) {
            f.when = CallNumber(f.call, c.pattern, c.occurrence);
        }
        ASSERT_NE(f.when, 0u) << "no such call in the traced run";
        EXPECT_EQ(Report(f, Broken(RunInjected(*scenario, f), f, *baseline)), f.Name() + ":");
    }
}

// With a key installed, a trust store that cannot be opened, listed or read
// trusts no key (strace -P: the n-th call on that path fails): the
// unsigned package is refused, never staged.
TEST_F(FaultInjection, ATrustStoreThatCannotBeReadRefusesThePackage) {
    const std::string store = "/etc/upgrade-keys", key = store + "/team.pub";
    const struct {
        const char* call;
        const char* error;
        int number;
        std::string path;
        std::string refusal;    // what the log says before the refusal
        unsigned int when = 1;  // the n-th call on path fails
    } cases[] = {
        {"openat", "ENOMEM", ENOMEM, store, "Trust store cannot be opened: " + store},
        {"getdents64", "EIO", EIO, store, "Trust store cannot be listed: " + store},
        // The key file is opened relative to the store's descriptor.
        {"openat", "EACCES", EACCES, store, "Trust store key file cannot be opened: " + key, 2},
        {"newfstatat", "EIO", EIO, key, "Trust store key file cannot be opened: " + key},
        {"read", "EIO", EIO, key, "Trust store key file cannot be read: " + key},
    };
    DeviceScenario keyed = *scenario;
    keyed.Place(key, qx::package::PublicKeyText(qx::testing::TestKey{1}.pub));
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " " + c.error + " " + c.path);
        const Result r =
            Straced(keyed, qx::testing::Concat({{"-P", c.path}, Inject(c.call, c.error, c.when)}));
        ASSERT_EQ(r.error, "");
        EXPECT_NE(r.stderrText.find("(INJECTED)"), std::string::npos) << "the call was never made";
        EXPECT_EQ(r.exitStatus, 0);
        const Lines log = RunLogLines(r.ReadFile("/var/log/upgrade_log"));
        ASSERT_GE(log.size(), 2u);
        const std::string refusal =
            "Refusing every package: " + c.refusal + ": error: " + std::strerror(c.number);
        EXPECT_EQ(std::count(log.begin(), log.end(), refusal), 1) << refusal;
        EXPECT_EQ(log.back(), "Unable to parse file: Package is not signed");
        EXPECT_FALSE(r.Exists("/tmp/fs-validator"));
        EXPECT_TRUE(r.Exists(kMarker));
    }
}

TEST_F(FaultInjection, EveryCallOfASuccessfulRunMayFailOnce) {
    ASSERT_NO_FATAL_FAILURE(ExpectSuccessfulBaseline());
    std::map<std::string, unsigned int> counts;
    for (const auto& call : TracedCalls(baseline->stderrText)) {
        ++counts[call.first];
    }
    std::vector<Injection> plan;
    for (const auto& [call, errors] : kFaults) {
        EXPECT_GT(counts[call], 0u) << call << " is no longer made";
        for (unsigned int n : Sample(counts[call])) {
            for (const std::string& error : errors) {
                plan.push_back({call, error, n});
            }
        }
    }
    const auto start = std::chrono::steady_clock::now();
    std::mutex lock;
    Lines failures;
    // Per call kind: runs that upgraded, that ended with 0, with 1 otherwise.
    std::map<std::string, std::array<unsigned int, 3>> outcomes;
    RunAll(plan.size(), [&](std::size_t i) {
        const Result r = RunInjected(*scenario, plan[i]);
        const Lines broken = Broken(r, plan[i], *baseline);
        std::lock_guard<std::mutex> guard(lock);
        ++outcomes[plan[i].call][!r.Exists(kMarker) ? 0 : r.exitStatus == 0 ? 1 : 2];
        if (!broken.empty()) {
            failures.push_back(Report(plan[i], broken));
        }
    });
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    std::printf("fault injection: %zu runs (%zu call kinds) in %lld s, %zu broke an invariant\n",
                plan.size(), kFaults.size(), static_cast<long long>(seconds), failures.size());
    for (const auto& [call, ends] : outcomes) {
        std::printf("  %s: %u upgraded, %u ended with 0, %u ended with 1 otherwise\n", call.c_str(),
                    ends[0], ends[1], ends[2]);
    }
    std::sort(failures.begin(), failures.end());
    for (const std::string& failure : failures) {
        ADD_FAILURE() << failure;
    }
}

}  // namespace
