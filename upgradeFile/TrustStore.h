#pragma once

#include <string>
#include <vector>

#include "upgradeFile/Signature.h"

namespace qx {
namespace upgradeFile {

// The router's trust store: public key files NAME.pub on the read-only root
// file system. When it is present, only packages signed by one of its
// usable keys are accepted.
constexpr const char* kTrustStoreDirectory = "/etc/upgrade-keys";

// What a trust store directory holds, as data: the driver logs it, a host
// tool may print it.
struct TrustStore {
    // Signatures are required: the directory holds at least one *.pub
    // entry (usable or not), or it could not be read. Only a directory
    // that is absent (ENOENT) or holds no *.pub entry is no trust store.
    bool present = false;
    // The usable keys; empty whenever refusal is set.
    std::vector<PublicKey> keys;
    // One "PATH: REASON" for each *.pub entry not used: a link, not a
    // regular file, not owned by root, writable by group or others, or not
    // a public key.
    std::vector<std::string> ignored;
    // Set when the directory could not be opened or listed, or a key file
    // could not be opened or read: no key is trusted and every package is
    // refused; the text says why.
    std::string refusal;
};

// Reads every *.pub entry of directory. A key file is opened with O_NOFOLLOW
// and O_NONBLOCK (a link or a FIFO never holds the run up) and used only
// when it is a regular file owned by root and writable by no group and no
// other user.
TrustStore LoadTrustStore(const std::string& directory);

}  // namespace upgradeFile
}  // namespace qx
