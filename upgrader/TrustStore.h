#pragma once

#include <string>
#include <vector>

#include "upgradeFile/Signature.h"

namespace qx {
namespace upgrader {

// The router's trust store: public key files NAME.pub on the read-only root
// file system. When it holds at least one, only packages signed by one of
// its keys are accepted.
constexpr const char* kTrustStoreDirectory = "/etc/upgrade-keys";

// A *.pub entry that gives no key, and why.
struct IgnoredKeyFile {
    std::string path, reason;
};

// What a trust store directory holds, as data: the router logs it, the host
// tools (upgrade-inspect --keys DIR) print it. Read with system calls of its
// own (not the device layer), so both read the real directory alike.
struct TrustStoreContents {
    // Absent: no directory (ENOENT) or no *.pub entry in it. Present: at
    // least one *.pub entry, usable or not. Unreadable: the directory could
    // not be opened or listed (error says why); it refuses every package.
    enum class State { Absent, Present, Unreadable } state = State::Absent;
    std::string error;
    std::vector<qx::upgradeFile::PublicKey> keys;
    std::vector<IgnoredKeyFile> ignored;
};

// Reads every *.pub entry of directory. A key file counts only when it is a
// regular file owned by root and writable by no one else, opened without
// following a link and without blocking; any other entry is ignored (with
// its reason) and the store still counts as present.
TrustStoreContents ReadTrustStore(const std::string& directory);

// The router's use of it: fills keys and returns whether a signature is
// required (a present or unreadable store); logs each ignored entry and an
// unreadable store. A missing directory, or one without *.pub entries,
// logs nothing.
bool LoadTrustStore(const std::string& directory, std::vector<qx::upgradeFile::PublicKey>& keys);

}  // namespace upgrader
}  // namespace qx
