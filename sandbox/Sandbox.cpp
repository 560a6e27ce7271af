#include "sandbox/Sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "upgrader/utils/SystemCalls.h"

namespace qx::sandbox {

namespace fs = std::filesystem;

// Owns the launcher's output directory on the host and removes it when the
// last Result that refers to it is gone, unless asked to keep it.
class OutputDir {
  public:
    explicit OutputDir(std::string path) : path_(std::move(path)) {}
    OutputDir(const OutputDir&) = delete;
    OutputDir& operator=(const OutputDir&) = delete;
    ~OutputDir() {
        const char* env = std::getenv("QX_SANDBOX_KEEP");
        if (keep_ || (env != nullptr && std::string(env) == "1")) {
            std::cerr << "sandbox: output kept in " << path_ << "\n";
            return;
        }
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }
    void Keep() { keep_ = true; }

  private:
    std::string path_;
    bool keep_ = false;
};

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteWhole(const std::string& path, const std::string& content) {
    using namespace qx::upgrader::utils;
    Descriptor out(OpenFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    return out.Valid() && WriteAll(out.Get(), content.data(), content.size()) && out.Close();
}

// Splits text at NULs; the last field is NUL-terminated too (a missing final
// NUL still yields its field).
std::vector<std::string> SplitNul(const std::string& text) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\0', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

std::string FailureText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + qx::upgrader::utils::ErrnoText(errno);
}

// Builds the overlay tree that the launcher copies onto the device, and the
// NUL-separated list that fixes the order of creation.
class OverlayBuilder {
  public:
    OverlayBuilder(std::string dir, std::string listPath)
        : dir_(std::move(dir)), listPath_(std::move(listPath)) {}

    bool Add(const Entry& entry, std::string& error) {
        std::string rel;  // relative to the device root, single slashes
        if (!RelativePath(entry.path, rel, error) || !MakeParents(rel, entry.path, error)) {
            return false;
        }
        const std::string host = dir_ + "/" + rel;
        struct stat st;
        if (::lstat(host.c_str(), &st) == 0 &&
            (entry.kind != Kind::Directory || !S_ISDIR(st.st_mode))) {
            std::error_code ec;
            fs::remove_all(host, ec);  // a later entry for the same path replaces it
        }
        if (!MakeNode(entry, host, error)) {
            return false;
        }
        List(rel);
        finals_.push_back({host, entry});
        return true;
    }

    // Owners, modes and times last, so creating children does not disturb them.
    bool Finish(bool newestFirst, std::string& error) {
        for (const auto& [host, entry] : finals_) {
            struct stat st;
            if (::lstat(host.c_str(), &st) != 0) {
                continue;  // replaced by a later entry of another kind
            }
            if ((entry.uid != 0 || entry.gid != 0) &&
                ::lchown(host.c_str(), entry.uid, entry.gid) != 0) {
                error = FailureText("cannot set the owner of", entry.path);
                return false;
            }
            if (!S_ISLNK(st.st_mode)) {
                unsigned int mode = entry.mode;
                if (entry.kind == Kind::Directory && mode == 0644) {
                    mode = 0755;
                }
                if (::chmod(host.c_str(), static_cast<mode_t>(mode & 07777)) != 0) {
                    error = FailureText("cannot set the mode of", entry.path);
                    return false;
                }
            }
            if (entry.mtime != 0) {
                struct timespec times[2];
                times[0].tv_sec = entry.mtime;
                times[0].tv_nsec = 0;
                times[1] = times[0];
                if (::utimensat(AT_FDCWD, host.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
                    error = FailureText("cannot set the time of", entry.path);
                    return false;
                }
            }
        }
        // The order of creation: parents before their contents; siblings in
        // the order that makes the device's directories list them as given.
        std::string list;
        std::vector<std::string> stack;
        auto pushChildren = [&](const std::string& parent) {
            auto found = children_.find(parent);
            if (found == children_.end()) {
                return;
            }
            const auto& kids = found->second;
            // The stack pops the last pushed first.
            if (newestFirst) {
                stack.insert(stack.end(), kids.begin(), kids.end());
            } else {
                stack.insert(stack.end(), kids.rbegin(), kids.rend());
            }
        };
        pushChildren("");
        while (!stack.empty()) {
            const std::string rel = stack.back();
            stack.pop_back();
            list += "./" + rel;
            list += '\0';
            pushChildren(rel);
        }
        if (!WriteWhole(listPath_, list)) {
            error = "cannot write " + listPath_;
            return false;
        }
        return true;
    }

  private:
    static bool RelativePath(const std::string& path, std::string& rel, std::string& error) {
        if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) {
            error = "entry path must be absolute: " + path;
            return false;
        }
        for (const auto& part : fs::path(path).relative_path()) {
            if (part == ".." || part == ".") {
                error = "entry path must not hold . or ..: " + path;
                return false;
            }
            if (!part.empty()) {
                rel += (rel.empty() ? "" : "/") + part.string();
            }
        }
        if (rel.empty()) {
            error = "entry path names the root: " + path;
            return false;
        }
        return true;
    }

    // Parents first, each listed once, before the entry itself.
    bool MakeParents(const std::string& rel, const std::string& path, std::string& error) {
        std::string::size_type slash = 0;
        while ((slash = rel.find('/', slash)) != std::string::npos) {
            const std::string parent = rel.substr(0, slash);
            ++slash;
            if (listed_.count(parent) == 0) {
                if (::mkdir((dir_ + "/" + parent).c_str(), 0755) != 0 && errno != EEXIST) {
                    error = FailureText("cannot create", parent);
                    return false;
                }
                List(parent);
            }
            // Never create anything through a link: it could point into the host.
            struct stat st;
            if (::lstat((dir_ + "/" + parent).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                error = "entry path passes through a non-directory: " + path;
                return false;
            }
        }
        return true;
    }

    static bool MakeNode(const Entry& entry, const std::string& host, std::string& error) {
        switch (entry.kind) {
            case Kind::File:
                return MakeFile(entry, host, error);
            case Kind::Directory:
                if (::mkdir(host.c_str(), 0755) != 0 && errno != EEXIST) {
                    error = FailureText("cannot create", entry.path);
                    return false;
                }
                return true;
            case Kind::Symlink:
                if (::symlink(entry.target.c_str(), host.c_str()) != 0) {
                    error = FailureText("cannot create symlink", entry.path);
                    return false;
                }
                return true;
            case Kind::Fifo:
                if (::mkfifo(host.c_str(), 0644) != 0) {
                    error = FailureText("cannot create fifo", entry.path);
                    return false;
                }
                return true;
        }
        return false;
    }

    static bool MakeFile(const Entry& entry, const std::string& host, std::string& error) {
        if (!entry.hostSource.empty()) {
            std::error_code ec;
            fs::copy_file(entry.hostSource, host, fs::copy_options::overwrite_existing, ec);
            if (ec) {
                error = "cannot copy " + entry.hostSource + ": " + ec.message();
                return false;
            }
            return true;
        }
        bool ok = WriteWhole(host, entry.content);
        if (ok && entry.content.empty() && entry.size > 0) {
            // Sparse on the host; the launcher writes real zeros on the device.
            ok = ::truncate(host.c_str(), static_cast<off_t>(entry.size)) == 0;
        }
        if (!ok) {
            error = FailureText("cannot write", entry.path);
        }
        return ok;
    }

    void List(const std::string& rel) {
        if (listed_.insert(rel).second) {
            const auto slash = rel.rfind('/');
            children_[slash == std::string::npos ? "" : rel.substr(0, slash)].push_back(rel);
        }
    }

    std::string dir_;
    std::string listPath_;
    std::set<std::string> listed_;
    std::map<std::string, std::vector<std::string>> children_;  // in the order given
    std::vector<std::pair<std::string, Entry>> finals_;
};

// Runs argv with stdout and stderr going to logPath; returns the wait status.
int Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    std::vector<char*> raw;
    for (const auto& arg : argv) {
        raw.push_back(const_cast<char*>(arg.c_str()));
    }
    raw.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) {
            ::dup2(null, 0);
            ::close(null);
        }
        ::execv(raw[0], raw.data());
        std::perror("sandbox: cannot run the launcher");
        ::_exit(127);
    }
    int status = 0;
    return qx::upgrader::utils::WaitForChild(pid, status) < 0 ? -1 : status;
}

void ParseWatchdog(const std::string& text, Result& result) {
    const std::vector<std::string> fields = SplitNul(text);
    std::size_t i = 0;
    auto take = [&](std::vector<std::string>& into) {
        if (i >= fields.size()) {
            return false;
        }
        const unsigned long count = std::strtoul(fields[i++].c_str(), nullptr, 10);
        for (unsigned long k = 0; k < count && i < fields.size(); ++k) {
            into.push_back(fields[i++]);
        }
        return true;
    };
    while (i < fields.size()) {
        std::vector<std::string> args;
        std::vector<std::string> alive;
        if (!take(args)) {
            break;
        }
        take(alive);
        result.watchdogCalls.push_back(std::move(args));
        result.watchdogAlive.push_back(std::move(alive));
    }
}

// The launcher copies the device's files out here: a memory file system
// keeps that fast (/dev/shm) unless QX_SANDBOX_TMPDIR names another place.
std::string TempBase() {
    const char* chosen = std::getenv("QX_SANDBOX_TMPDIR");
    if (chosen != nullptr && *chosen != '\0') {
        return chosen;
    }
    if (::access("/dev/shm", W_OK | X_OK) == 0) {
        return "/dev/shm";
    }
    const char* env = std::getenv("TMPDIR");
    return env != nullptr && *env != '\0' ? env : "/tmp";
}

// Removes output directories left by test processes that died before their
// Results were destroyed (named qx-sandbox.PID.XXXXXX; PID no longer exists).
void SweepAbandoned(const std::string& base) {
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(base, ec)) {
        const std::string name = item.path().filename().string();
        const std::string prefix = "qx-sandbox.";
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            fs::remove_all(item.path(), ignored);
        }
    }
}

// Asks the launcher once how this kernel's tmpfs lists directory entries.
bool ListsNewestFirst(const std::string& scratch) {
    static std::once_flag once;
    static bool newestFirst = true;
    std::call_once(once, [&] {
        const std::string log = scratch + "/readdir-order";
        Spawn({"/bin/bash", DevsimPath(), "--probe-readdir-order"}, log);
        newestFirst = Slurp(log) != "oldest-first\n";
    });
    return newestFirst;
}

#ifdef QX_DEVICE_EMULATOR
// True when the file is an ELF program for 32-bit ARM (e_machine 40).
bool IsArmProgram(const std::string& path) {
    unsigned char header[20] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) {
        return false;
    }
    const bool elf = header[0] == 0x7f && header[1] == 'E' && header[2] == 'L' && header[3] == 'F';
    const bool littleEndian = header[5] == 1;
    return elf && littleEndian && header[18] == 40 && header[19] == 0;
}
#endif

// The emulator that runs the program: the device's choice, else, in a cross
// build (QX_DEVICE_EMULATOR), the build's emulator for ARM programs, so that
// tests run the device programs of that build unchanged.
std::string EmulatorFor(const Device& device, const std::string& programHostPath) {
    if (!device.emulator.empty()) {
        return device.emulator;
    }
#ifdef QX_DEVICE_EMULATOR
    if (IsArmProgram(programHostPath)) {
        return QX_DEVICE_EMULATOR;
    }
#else
    (void)programHostPath;
#endif
    return {};
}

}  // namespace

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string DevsimPath() { return QX_SANDBOX_DEVSIM; }
std::string WdfeedPath() { return QX_SANDBOX_WDFEED; }
std::string SysprobePath() { return QX_SANDBOX_SYSPROBE; }

std::string IntruderPath() { return QX_SANDBOX_INTRUDER; }

std::string BusyboxPath() {
    const char* env = std::getenv("DEVSIM_BUSYBOX");
    if (env != nullptr && *env != '\0') {
        return env;
    }
    for (const char* candidate : {"/bin/busybox", "/usr/bin/busybox"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "/bin/busybox";
}

std::string Result::ReadFile(const std::string& devicePath) const {
    if (root.empty()) {
        return {};
    }
    return Slurp(root + devicePath);
}

bool Result::Exists(const std::string& devicePath) const {
    struct stat st;
    return Stat(devicePath, st);
}

bool Result::Stat(const std::string& devicePath, struct stat& info) const {
    return !root.empty() && ::lstat((root + devicePath).c_str(), &info) == 0;
}

Result Result::AfterRestart() const {
    Result restarted = *this;
    restarted.root = restartedRoot;
    restarted.restartedRoot.clear();
    return restarted;
}

void Result::Keep() const {
    if (owner) {
        owner->Keep();
    }
}

namespace {

// Writes the device's entries into an overlay tree under base and adds the
// launcher's options for it.
bool AddOverlay(const Device& device, const std::string& base, std::vector<std::string>& argv,
                std::string& error) {
    const std::string overlay = base + "/overlay";
    if (::mkdir(overlay.c_str(), 0755) != 0) {
        error = FailureText("cannot create", overlay);
        return false;
    }
    OverlayBuilder builder(overlay, base + "/overlay.list");
    for (const Entry& entry : device.entries) {
        if (!builder.Add(entry, error)) {
            return false;
        }
    }
    if (!builder.Finish(ListsNewestFirst(base), error)) {
        return false;
    }
    argv.insert(argv.end(), {"--overlay", overlay, "--overlay-list", base + "/overlay.list"});
    return true;
}

// The launcher's options for the kernel files and the emulator.
void AddKernelAndEmulator(const Device& device, const std::string& base,
                          const std::string& programHostPath, std::vector<std::string>& argv) {
    switch (device.procVersionMode) {
        case ProcVersionMode::Text:
            if (device.procVersion) {
                WriteWhole(base + "/proc_version", *device.procVersion);
                argv.insert(argv.end(), {"--proc-version-file", base + "/proc_version"});
            }
            break;
        case ProcVersionMode::Empty:
            argv.push_back("--proc-version-empty");
            break;
        case ProcVersionMode::Unopenable:
            argv.push_back("--proc-version-unopenable");
            break;
    }
    if (device.board) {
        WriteWhole(base + "/board", *device.board);
        argv.insert(argv.end(), {"--board-file", base + "/board"});
    }
    const std::string emulator = EmulatorFor(device, programHostPath);
    if (!emulator.empty()) {
        argv.insert(argv.end(), {"--emulator", emulator});
        for (const auto& arg : device.emulatorArgs) {
            argv.insert(argv.end(), {"--emulator-arg", arg});
        }
    }
}

// Reads what the launcher left in out into result.
void ReadOutcome(const std::string& out, Result& result) {
    result.outDir = out;
    result.root = out + "/root";
    if (fs::exists(out + "/restarted")) {
        result.restartedRoot = out + "/restarted";
    }
    result.exitStatus = std::atoi(Slurp(out + "/exit_status").c_str());
    result.timedOut = fs::exists(out + "/timed_out");
    result.commands = SplitNul(Slurp(out + "/commands"));
    ParseWatchdog(Slurp(out + "/watchdog"), result);
    result.aliveAtEnd = SplitLines(Slurp(out + "/alive_at_end"));
    result.flashFreeBytes = std::strtoull(Slurp(out + "/flash_free").c_str(), nullptr, 10);
    result.stdoutText = Slurp(out + "/stdout");
    result.stderrText = Slurp(out + "/stderr");
}

}  // namespace

Result Run(const Device& device, const std::string& programHostPath,
           const std::vector<std::string>& args) {
    Result result;
    SweepAbandoned(TempBase());
    std::string pattern = TempBase() + "/qx-sandbox." + std::to_string(::getpid()) + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        result.error = FailureText("cannot create a temporary directory in", TempBase());
        return result;
    }
    result.owner = std::make_shared<OutputDir>(pattern);
    const std::string base = pattern;
    const std::string out = base + "/out";
    const std::string logPath = base + "/devsim.log";

    std::vector<std::string> argv = {"/bin/bash",      DevsimPath(), "--flash",
                                     device.flashSize, "--ramdisk",  device.ramdiskSize};
    if (!device.entries.empty() && !AddOverlay(device, base, argv, result.error)) {
        return result;
    }
    AddKernelAndEmulator(device, base, programHostPath, argv);
    if (!device.startBefore.empty()) {
        argv.insert(argv.end(), {"--start-before", device.startBefore});
    }
    if (device.restart) {
        argv.push_back("--restart");
    }
    if (!device.umask.empty()) {
        argv.insert(argv.end(), {"--umask", device.umask});
    }
    argv.insert(argv.end(),
                {"--timeout", std::to_string(device.timeoutSeconds), "--program", programHostPath,
                 "--program-path", device.programDevicePath, "--out", out, "--"});
    argv.insert(argv.end(), args.begin(), args.end());

    const int status = Spawn(argv, logPath);
    {
        std::error_code ec;
        fs::remove_all(base + "/overlay", ec);  // may be large; the device's copy is in out/root
    }
    if (!fs::exists(out + "/exit_status")) {
        std::string log = Slurp(logPath);
        while (!log.empty() && log.back() == '\n') {
            log.pop_back();
        }
        std::ostringstream why;
        why << "device run failed (launcher wait status " << status << "): " << log;
        result.error = why.str();
        return result;
    }
    ReadOutcome(out, result);
    return result;
}

Result RunShell(const Device& device, const std::string& script) {
    Device shellDevice = device;
    // busybox runs as its multiplexer when its name begins with "busybox".
    shellDevice.programDevicePath = "/usr/bin/busybox-probe";
    return Run(shellDevice, BusyboxPath(), {"sh", "-c", script});
}

}  // namespace qx::sandbox
