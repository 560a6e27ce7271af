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

// Reads every *.pub entry of directory into keys. Returns whether there was
// at least one: an entry that is not a regular file, cannot be read or is
// malformed still counts (and gets one log line), so a damaged store never
// turns the check off.
// A missing directory, or one without *.pub entries, is no trust store and
// logs nothing.
bool LoadTrustStore(const std::string& directory, std::vector<qx::upgradeFile::PublicKey>& keys);

}  // namespace upgrader
}  // namespace qx
