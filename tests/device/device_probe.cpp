// Runs on the simulated router, linked with the real device functions:
//   device_probe cases       the shared device cases, "NAME<TAB>DESCRIPTION" each
//   device_probe as-user UID the stale-upload removal in /tmp and a fresh file at
//                            /tmp/fresh and /tmp/freshlink, done by user UID
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "device/DeviceCases.h"
#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/SystemCalls.h"

namespace qx::testing::devicecases {

void ResetDevice() {
    std::error_code ignored;
    std::filesystem::remove_all("/var/t", ignored);
}

void Place(const Placed& placed) {
    const std::filesystem::path path(placed.path);
    std::filesystem::create_directories(placed.directory ? path : path.parent_path());
    if (!placed.directory) {
        std::ofstream(placed.path)
            << (placed.text.empty() ? std::string(placed.size, 'z') : placed.text);
    }
}

std::string Describe(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::file_status status = fs::symlink_status(path);
    if (!fs::exists(status) || fs::is_directory(status)) {
        return fs::exists(status) ? "directory" : "missing";
    }
    if (!fs::is_regular_file(status)) {
        return "other";
    }
    std::ifstream in(path);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return "file " + std::to_string(bytes.size()) + (bytes.size() <= 64 ? " " + Shown(bytes) : "");
}

}  // namespace qx::testing::devicecases

namespace {

namespace utils = qx::upgrader::utils;

// What user uid does in /tmp: removes the stale uploads, then makes fresh
// files at two names; one line per fresh file.
void ActAs(unsigned int uid) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
        std::printf("cannot become %u\n", uid);
        return;
    }
    utils::RemoveSelectedEntries("/tmp", [](const char* name) { return name[0] == 'u'; });
    for (const char* path : {"/tmp/fresh", "/tmp/freshlink"}) {
        utils::Descriptor fresh(utils::CreateFreshFile(path, 0, 0644));
        if (fresh.Valid()) {
            utils::WriteAll(fresh.Get(), "written\n", 8);
            std::printf("%s: created\n", path);
        } else {
            std::printf("%s: %s\n", path, utils::ErrnoText(errno).c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qx::testing::devicecases;
    if (argc == 2 && std::strcmp(argv[1], "cases") == 0) {
        for (const DeviceCase& c : Cases()) {
            std::printf("%s\t%s\n", c.name, RunCase(c).c_str());
        }
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "as-user") == 0) {
        const pid_t child = ::fork();
        if (child == 0) {
            ActAs(static_cast<unsigned int>(std::strtoul(argv[2], nullptr, 10)));
            std::fflush(stdout);
            ::_exit(0);
        }
        int status = 0;
        return utils::WaitForChild(child, status) == child && status == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "usage: device_probe cases | as-user UID\n");
    return 2;
}
