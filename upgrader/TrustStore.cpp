#include "upgrader/TrustStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "upgrader/utils/SystemCalls.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {

namespace {

using utils::Descriptor;
using utils::ErrnoText;

// A public key file is one short line; anything longer is malformed.
constexpr std::size_t kKeyFileLimit = 256;

bool IsKeyFileName(const std::string& name) {
    static const std::string kSuffix = ".pub";
    return name.size() > kSuffix.size() && name[0] != '.' &&
           name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

// Why an open key file cannot be trusted; empty when it can.
std::string UntrustedReason(const struct stat& info) {
    if (!S_ISREG(info.st_mode)) {
        return "not a regular file";
    }
    if (info.st_uid != 0) {
        return "owned by uid " + std::to_string(info.st_uid) + ", not by root";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "writable by group or others";
    }
    return "";
}

// Reads one public key file of the open directory; false with the reason.
bool ReadKeyFile(int directory, const std::string& name, qx::upgradeFile::PublicKey& key,
                 std::string& error) {
    // Never a link; a FIFO must not hold the run up.
    Descriptor file(utils::Retrying([&] {
        return ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    struct stat info {};
    if (!file.Valid()) {
        error = errno == ELOOP ? "a symbolic link" : "cannot be opened: " + ErrnoText(errno);
        return false;
    }
    if (::fstat(file.Get(), &info) != 0) {
        error = "cannot be read: " + ErrnoText(errno);
        return false;
    }
    error = UntrustedReason(info);
    if (!error.empty()) {
        return false;
    }
    std::string text(kKeyFileLimit, '\0');
    const long got = utils::ReadFully(file.Get(), &text[0], text.size());
    if (got < 0) {
        error = "cannot be read: " + ErrnoText(errno);
        return false;
    }
    text.resize(static_cast<std::size_t>(got));
    return qx::upgradeFile::ParsePublicKey(text, key, error);
}

// The *.pub names of the open directory; false (errno set) when it cannot
// be listed. Takes the descriptor over.
bool KeyFileNames(int fd, std::vector<std::string>& names) {
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(listing);
        if (entry == nullptr) {
            break;
        }
        if (IsKeyFileName(entry->d_name)) {
            names.push_back(entry->d_name);
        }
    }
    const int error = errno;
    ::closedir(listing);
    errno = error;
    return error == 0;
}

}  // namespace

TrustStoreContents ReadTrustStore(const std::string& directory) {
    TrustStoreContents store;
    Descriptor fd(utils::Retrying(
        [&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    std::vector<std::string> names;
    if (!fd.Valid() || !KeyFileNames(::fcntl(fd.Get(), F_DUPFD_CLOEXEC, 0), names)) {
        if (errno != ENOENT || fd.Valid()) {
            store.state = TrustStoreContents::State::Unreadable;
            store.error = ErrnoText(errno);
        }
        return store;
    }
    store.state =
        names.empty() ? TrustStoreContents::State::Absent : TrustStoreContents::State::Present;
    for (const std::string& name : names) {
        qx::upgradeFile::PublicKey key;
        std::string error;
        if (ReadKeyFile(fd.Get(), name, key, error)) {
            store.keys.push_back(key);
        } else {
            store.ignored.push_back({directory + "/" + name, error});
        }
    }
    return store;
}

bool LoadTrustStore(const std::string& directory, std::vector<qx::upgradeFile::PublicKey>& keys) {
    TrustStoreContents store = ReadTrustStore(directory);
    for (const IgnoredKeyFile& ignored : store.ignored) {
        utils::LogToUpgradeLog("Ignoring key file " + ignored.path + ": " + ignored.reason);
    }
    if (store.state == TrustStoreContents::State::Unreadable) {
        utils::LogToUpgradeLog("Cannot read the trust store " + directory + ": " + store.error +
                               "; every package is refused");
    }
    keys = std::move(store.keys);
    return store.state != TrustStoreContents::State::Absent;
}

}  // namespace upgrader
}  // namespace qx
