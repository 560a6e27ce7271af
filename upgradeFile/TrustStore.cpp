#include "upgradeFile/TrustStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <sstream>

#include "upgrader/utils/SystemCalls.h"

namespace qx {
namespace upgradeFile {

namespace {

using qx::upgrader::utils::Descriptor;
using qx::upgrader::utils::ErrnoText;

// A public key file is one short line; anything longer is malformed.
constexpr std::size_t kKeyFileLimit = 256;

bool IsKeyFileName(const std::string& name) {
    static const std::string kSuffix = ".pub";
    return name.size() > kSuffix.size() && name[0] != '.' &&
           name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

std::string Failure(const char* what, const std::string& path, int error) {
    return std::string(what) + path + ": error: " + ErrnoText(error);
}

// Why a key file opened as info describes is not used; empty when it may be.
std::string UntrustedReason(struct stat const& info) {
    if (!S_ISREG(info.st_mode)) {
        return "not a regular file";
    }
    if (info.st_uid != 0) {
        return "not owned by root";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "writable by group or others";
    }
    return std::string();
}

// Reads the *.pub entry name of the directory open at directory into store:
// a key, an ignored entry, or the refusal when it cannot be read.
void ReadKeyFile(int directory, const std::string& path, const std::string& name,
                 TrustStore& store) {
    Descriptor file(qx::upgrader::utils::Retrying([&] {
        return ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    struct stat info;
    if (!file.Valid() && errno == ELOOP) {
        store.ignored.push_back(path + ": a link");
        return;
    }
    if (!file.Valid() || ::fstat(file.Get(), &info) != 0) {
        store.refusal = Failure("Trust store key file cannot be opened: ", path, errno);
        return;
    }
    const std::string reason = UntrustedReason(info);
    if (!reason.empty()) {
        store.ignored.push_back(path + ": " + reason);
        return;
    }
    char text[kKeyFileLimit];
    const long got = qx::upgrader::utils::ReadFully(file.Get(), text, sizeof text);
    if (got < 0) {
        store.refusal = Failure("Trust store key file cannot be read: ", path, errno);
        return;
    }
    PublicKey key;
    std::string error;
    if (!ParsePublicKey(std::string(text, static_cast<std::size_t>(got)), key, error)) {
        store.ignored.push_back(path + ": " + error);
        return;
    }
    store.keys.push_back(key);
}

}  // namespace

TrustStore LoadTrustStore(const std::string& directory) {
    TrustStore store;
    Descriptor opened(
        qx::upgrader::utils::OpenFile(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (!opened.Valid()) {
        if (errno != ENOENT) {
            store.present = true;
            store.refusal = Failure("Trust store cannot be opened: ", directory, errno);
        }
        return store;
    }
    DIR* listing = ::fdopendir(opened.Get());
    if (listing == nullptr) {
        store.present = true;
        store.refusal = Failure("Trust store cannot be listed: ", directory, errno);
        return store;
    }
    opened.Release();
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(listing);
        if (entry == nullptr) {
            if (errno != 0) {
                store.refusal = Failure("Trust store cannot be listed: ", directory, errno);
            }
            break;
        }
        const std::string name = entry->d_name;
        if (IsKeyFileName(name)) {
            store.present = true;
            ReadKeyFile(::dirfd(listing), directory + "/" + name, name, store);
        }
        if (!store.refusal.empty()) {
            break;
        }
    }
    ::closedir(listing);
    if (!store.refusal.empty()) {
        store.present = true;
        store.keys.clear();
    }
    return store;
}

}  // namespace upgradeFile
}  // namespace qx
