// What the host tools do with the files they are given: every kind of bad
// file argument is one error line, an output is never one of the inputs,
// and a signal in the middle of a job leaves nothing behind.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ToolFixture.h"
#include "support/Spawn.h"

namespace qx::testing {
namespace {

class FileArgumentTest : public ToolTest {
  protected:
    void SetUp() override {
        WriteBytes(dir / "notes", "notes");
        WriteBytes(dir / "validator", "validator");
        ASSERT_EQ(
            Mkupgrade(WithFields({"-o", package, dir / "notes", dir / "validator"})).exitStatus, 0);
    }

    // Runs tool while, when serve, the FIFO at fifo has a writer that
    // closes at once (a reading tool sees its end) and a reader that drains it.
    template <typename Tool>
    static ToolResult ServingFifo(const std::string& fifo, bool serve, Tool tool) {
        if (!serve) {
            return tool();
        }
        std::atomic<bool> done{false};
        ToolResult result;
        std::thread run([&] {
            result = tool();
            done = true;
        });
        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        char sink[4096];
        while (!done) {
            while (::read(reader, sink, sizeof sink) > 0) {
            }
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) {
                ::close(writer);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        run.join();
        ::close(reader);
        return result;
    }

    // True while process pid has a file of the test folder other than the
    // package open, and that file holds data: the job is writing.
    bool Writing(pid_t pid, const std::string& except) {
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        std::error_code failed;
        for (const auto& entry : std::filesystem::directory_iterator(fds, failed)) {
            const std::string target = std::filesystem::read_symlink(entry.path(), failed);
            struct stat info {};
            if (target.rfind(dir.path() + "/", 0) == 0 && target != except &&
                ::stat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                info.st_size > 0) {
                return true;
            }
        }
        return false;
    }

    // The shell command that starts program.
    static std::string Shell(const std::string& program) {
        std::string command;
        for (const std::string& word : ToolWords(program)) {
            command += (command.empty() ? "" : " ") + word;
        }
        return command;
    }

    const std::string package = dir / "pkg.bin";
};

// The slot {} of each command gets each kind of bad file; the table gives
// the exit status per kind (directory, FIFO, missing, unreadable, empty). A
// FIFO is a stream: an input read to its end (here empty), an output written.
// An error is one line on stderr that names the file (list shows a package
// it could open but not read in its listing).
TEST_F(FileArgumentTest, EveryBadFileArgumentIsOneLineNamingIt) {
    const std::string slot = "{}";
    const std::string out = dir / "out", folder = dir / "folder";
    const struct {
        bool mkupgrade;
        std::vector<std::string> args;
        int status[5];
    } commands[] = {
        {false, {"list", slot}, {1, 1, 1, 1, 1}},
        {false, {"list", "--json", slot}, {1, 1, 1, 1, 1}},
        {false, {"verify", package, slot}, {1, 1, 1, 1, 1}},
        {false, {"extract", slot, "0", out}, {1, 1, 1, 1, 1}},
        {false, {"unpack", slot, folder}, {1, 1, 1, 1, 1}},
        {false, {"diff", slot, package}, {2, 2, 2, 2, 2}},
        {false, {"extract", package, "1", slot}, {1, 0, 0, 1, 0}},
        {false, {"unpack", package, slot}, {0, 1, 0, 1, 1}},
        {true, WithFields({"-o", out, slot, dir / "notes"}), {1, 1, 1, 1, 0}},
        {true, WithFields({"-o", slot, dir / "notes"}), {1, 0, 0, 1, 0}},
        {true, {"--manifest", slot, "-o", out}, {1, 1, 1, 1, 1}},
    };
    // Unreadable even for root: the tools then run as an ordinary user.
    const int user = ::geteuid() == 0 ? 65534 : -1;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    ::chmod(package.c_str(), 0666);
    for (const auto& command : commands) {
        for (int kind = 0; kind < 5; ++kind) {
            const std::string file = dir / "bad";
            std::filesystem::remove_all(file);
            std::filesystem::remove_all(out);
            std::filesystem::remove_all(folder);
            if (kind == 0) {
                ASSERT_EQ(::mkdir(file.c_str(), 0777), 0);
            } else if (kind == 1) {
                ASSERT_EQ(::mkfifo(file.c_str(), 0666), 0);
            } else if (kind >= 3) {
                WriteBytes(file, "");
                ::chmod(file.c_str(), kind == 3 ? 0 : 0666);
            }
            std::vector<std::string> args = command.args;
            std::replace(args.begin(), args.end(), slot, file);
            const ToolInput as{ToolInput::Kind::None, "", kind == 3 ? user : -1};
            ToolResult result = ServingFifo(file, kind == 1, [&] {
                return command.mkupgrade ? Mkupgrade(args, as) : Inspect(args, as);
            });
            const std::string what = command.args[0] + " " + command.args[1] + " kind " +
                                     std::to_string(kind) + ": " + result.err;
            EXPECT_EQ(result.exitStatus, command.status[kind]) << what;
            const bool listed = command.args[0] == "list" && !result.out.empty();
            if (command.status[kind] != 0) {
                EXPECT_EQ(result.err.find('\n'), listed ? std::string::npos : result.err.size() - 1)
                    << what;
                EXPECT_NE((result.err + result.out).find(file), std::string::npos) << what;
            }
        }
    }
}

// An output that is an input, by any path or link, is refused; the input keeps its bytes.
TEST_F(FileArgumentTest, AnOutputIsNeverOneOfTheInputs) {
    ASSERT_EQ(::symlink(package.c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "notes").c_str(), (dir / "notes-link").c_str()), 0);
    ASSERT_EQ(Inspect({"unpack", package, dir / "fw"}).exitStatus, 0);
    const std::string bytes = ReadBytes(package), manifest = ReadBytes(dir / "fw/manifest.json");
    const std::vector<std::string> inspections[] = {
        {"extract", package, "0", package},
        {"extract", package, "0", dir / "link"},
        {"extract", dir / "link", "1", dir / "." + package.substr(dir.path().size())},
    };
    for (const auto& args : inspections) {
        ToolResult result = Inspect(args);
        EXPECT_EQ(result.exitStatus, 1) << args.back();
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
    }
    ToolResult fromStdin = Inspect({"extract", "-", "0", package}, {ToolInput::Kind::File, bytes});
    EXPECT_EQ(fromStdin.exitStatus, 0) << "standard input is a copy here";
    EXPECT_TRUE(ReadBytes(package) == ReadBytes(dir / "notes"));
    WriteBytes(package, bytes);

    const std::vector<std::string> builds[] = {
        WithFields({"-o", dir / "notes", dir / "notes", dir / "validator"}),
        WithFields({"-o", dir / "notes-link", dir / "notes", dir / "validator"}),
        {"--manifest", dir / "fw/manifest.json", "-o", dir / "fw/manifest.json"},
        {"--manifest", dir / "fw/manifest.json", "-o", dir / "fw/1"},
    };
    for (const auto& args : builds) {
        ToolResult result = Mkupgrade(args);
        EXPECT_EQ(result.exitStatus, 1) << args.back();
        EXPECT_NE(result.err.find("is the same file as the input"), std::string::npos)
            << result.err;
    }
    EXPECT_TRUE(ReadBytes(package) == bytes);
    EXPECT_EQ(ReadBytes(dir / "notes"), "notes");
    EXPECT_EQ(ReadBytes(dir / "fw/1"), "validator");
    EXPECT_EQ(ReadBytes(dir / "fw/manifest.json"), manifest);
}

// SIGINT, SIGTERM and SIGHUP in the middle of a large job: the temporary file
// or folder and the partial output are gone, the exit status is 128 + signal.
// The same job shows its progress on a terminal.
TEST_F(FileArgumentTest, ASignalMidJobLeavesNothingBehind) {
    const std::string big = dir / "big", bigPackage = dir / "big.bin";
    WriteBytes(big, "");
    ASSERT_EQ(::truncate(big.c_str(), 96 << 20), 0);
    ASSERT_EQ(Mkupgrade(WithFields({"-o", bigPackage, big})).exitStatus, 0);
    ::unlink(big.c_str());
    // A progress line on a terminal for a job over 64 MiB; none with -q or on a file.
    for (const char* quiet : {"", "-q "}) {
        const std::string terminal = dir / "terminal";
        const std::string shown = "script -qfec '" + Shell(QX_INSPECT_PATH) + " " + quiet +
                                  "verify " + bigPackage + "' /dev/null > " + terminal;
        ASSERT_EQ(std::system(shown.c_str()), 0);
        EXPECT_EQ(ReadBytes(terminal).find("% of 96 MiB") != std::string::npos, *quiet == '\0')
            << quiet << ReadBytes(terminal);
        ::unlink(terminal.c_str());
    }
    EXPECT_EQ(Inspect({"verify", bigPackage}).err, "");
    // SIGKILL too: a file or folder appears under its name only when
    // complete, and nothing hidden is left beside it.
    const struct {
        bool mkupgrade;
        std::vector<std::string> args;
        std::vector<int> signals;
    } jobs[] = {
        {true, WithFields({"-o", dir / "new.bin", bigPackage}), {SIGINT, SIGTERM, SIGHUP, SIGKILL}},
        {false, {"extract", bigPackage, "0", dir / "out"}, {SIGINT, SIGTERM, SIGHUP, SIGKILL}},
        {false, {"unpack", bigPackage, dir / "fw"}, {SIGINT, SIGTERM, SIGHUP, SIGKILL}},
    };
    const std::vector<std::string> before = Names(dir.path());
    for (const auto& job : jobs) {
        for (int number : job.signals) {
            const pid_t child = StartQuietly(
                ToolWords(job.mkupgrade ? QX_MKUPGRADE_PATH : QX_INSPECT_PATH, job.args));
            ASSERT_GT(child, 0);
            bool writing = false;
            for (int wait = 0; !writing && wait < 60000; ++wait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                writing = Writing(child, bigPackage);
            }
            EXPECT_TRUE(writing) << job.args[0];
            ::kill(child, number);
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(number == SIGKILL
                            ? WIFSIGNALED(status)
                            : WIFEXITED(status) && WEXITSTATUS(status) == 128 + number)
                << job.args[0] << " signal " << number << " status " << status;
            EXPECT_EQ(Names(dir.path()), before) << job.args[0] << " signal " << number;
        }
    }
}

// A key pair is both files or neither, wherever SIGKILL lands.
TEST_F(FileArgumentTest, AKilledKeyGenerationLeavesBothFilesOrNeither) {
    int killed = 0;
    for (int delay = 0; delay < 400; delay += 2) {
        const std::string name = dir / ("k" + std::to_string(delay));
        const pid_t child = StartQuietly(ToolWords(QX_MKUPGRADE_PATH, {"--generate-key", name}));
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay * 10));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        killed += WIFSIGNALED(status) ? 1 : 0;
        const bool secret = std::filesystem::exists(name + ".key");
        const bool pub = std::filesystem::exists(name + ".pub");
        // The secret takes its name first, the public key right after it: a
        // kill between those two calls leaves a complete secret alone, never
        // a public key without its secret, never a partial file.
        EXPECT_TRUE(secret || !pub) << delay;
        EXPECT_TRUE(!secret || std::filesystem::file_size(name + ".key") > 0) << delay;
        EXPECT_TRUE(!pub || std::filesystem::file_size(name + ".pub") > 0) << delay;
    }
    EXPECT_GT(killed, 0);
    for (const std::string& name : Names(dir.path())) {
        EXPECT_NE(name[0], '.') << name;  // no hidden partial file either
    }
}

// Streams as the shell tools take them: a device and process substitution
// as OUT, process substitution as a package (FIFOs: the bad-argument table).
TEST_F(FileArgumentTest, StreamsWorkAsOutputsAndInputs) {
    const std::string inspect = Shell(QX_INSPECT_PATH), got = dir / "got";
    const std::string build = Shell(QX_MKUPGRADE_PATH) +
                              " --package-version 258 --upgrade-name \"qx router\" --release-name"
                              " R5.1 --file-date 20261206 --upgrade-id 4294967295 -o ";
    const std::string inners = " " + (dir / "notes") + " " + (dir / "validator");
    const struct {
        std::string line;
        std::string expected;  // got's bytes ("" when nothing lands there)
    } rows[] = {
        {inspect + " extract " + package + " 1 /dev/null", ""},
        {inspect + " extract " + package + " 1 >(cat > " + got + "); wait $!", "validator"},
        {inspect + " verify <(cat " + package + ") | cut -d: -f2 > " + got,
         " valid, 2 inner files, signature\n"},
        {build + ">(cat > " + got + ")" + inners + "; wait $!", ReadBytes(package)},
    };
    for (const auto& row : rows) {
        ::unlink(got.c_str());
        const std::string command = "bash -c '" + row.line + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << row.line;
        EXPECT_TRUE(row.expected.empty() ? !std::filesystem::exists(got)
                                         : ReadBytes(got) == row.expected)
            << row.line;
    }
}

// Run by root in a sticky folder, no tool writes through a link another
// user owns, nor through a folder link of theirs: one line, the target
// untouched. The caller's own links are followed.
TEST_F(FileArgumentTest, RootNeverWritesThroughAnotherUsersLink) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    const std::string target = dir / "secret", shared = dir / "shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const struct {
        const char* what;
        uid_t owner;
        bool folderLink;  // the link is a folder on the way, not OUT itself
        bool mkupgrade;
    } rows[] = {
        {"extract to a foreign link", 65534, false, false},
        {"extract through a foreign folder link", 65534, true, false},
        {"mkupgrade -o to a foreign link", 65534, false, true},
        {"extract to root's own link", 0, false, false},
    };
    for (const auto& row : rows) {
        WriteBytes(target, "root only");
        ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
        const std::string link = shared + "/link";
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink(row.folderLink ? dir.path().c_str() : target.c_str(), link.c_str()), 0);
        ASSERT_EQ(::lchown(link.c_str(), row.owner, row.owner), 0);
        const std::string out = row.folderLink ? link + "/secret" : link;
        const ToolResult result =
            row.mkupgrade ? Mkupgrade(WithFields({"-o", out, dir / "notes", dir / "validator"}))
                          : Inspect({"extract", package, "1", out});
        const bool refused = row.owner != 0;
        EXPECT_EQ(result.exitStatus, refused ? 1 : 0) << row.what << result.err;
        EXPECT_EQ(ReadBytes(target), refused ? "root only" : "validator") << row.what;
        if (refused) {
            EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
            EXPECT_NE(result.err.find("a link owned by another user (uid 65534)"),
                      std::string::npos)
                << result.err;
        }
    }
}

}  // namespace
}  // namespace qx::testing
