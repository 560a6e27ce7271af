#include "upgrader/TrustStore.h"

#include <sstream>

#include "upgrader/utils/FileSystem.h"
#include "upgrader/utils/UpgradeLog.h"

namespace qx {
namespace upgrader {

namespace {

// A public key file is one short line; anything longer is malformed.
constexpr std::size_t kKeyFileLimit = 256;

bool IsKeyFileName(const std::string& name) {
    static const std::string kSuffix = ".pub";
    return name.size() > kSuffix.size() && name[0] != '.' &&
           name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

// Reads one public key file; false with the reason.
bool ReadKeyFile(const std::string& path, qx::upgradeFile::PublicKey& key, std::string& error) {
    unsigned int size = 0;
    std::string text;
    // Only a regular file is opened: a FIFO would hold the run up.
    if (!utils::FileSize(path, size)) {
        error = "not a regular file";
        return false;
    }
    if (!utils::ReadFileStart(path, kKeyFileLimit, text)) {
        error = "cannot be read";
        return false;
    }
    return qx::upgradeFile::ParsePublicKey(text, key, error);
}

}  // namespace

bool LoadTrustStore(const std::string& directory, std::vector<qx::upgradeFile::PublicKey>& keys) {
    std::vector<std::string> names;
    keys.clear();
    if (!utils::ListDirectory(directory, names)) {
        return false;
    }
    bool found = false;
    for (const std::string& name : names) {
        if (!IsKeyFileName(name)) {
            continue;
        }
        found = true;
        const std::string path = directory + "/" + name;
        std::string error;
        qx::upgradeFile::PublicKey key;
        if (ReadKeyFile(path, key, error)) {
            keys.push_back(key);
            continue;
        }
        std::ostringstream line;
        line << "Ignoring key file " << utils::EscapeName(path) << ": " << error;
        utils::LogToUpgradeLog(line.str());
    }
    return found;
}

}  // namespace upgrader
}  // namespace qx
