// libFuzzer target over the reader: header records, ParseFile with and
// without a required signature (the signature block, key files), extraction.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/package/Signing.h"
#include "upgradeFile/InnerFileInformation.h"
#include "upgradeFile/UpgradeFile.h"
#include "upgradeFile/UpgradeFileInformation.h"

namespace {

// One scratch directory per fuzzing process, reused for every input.
struct Scratch {
    std::string dir;
    std::string package;
    std::string extracted;

    Scratch() {
        const char* base = std::getenv("TMPDIR");
        dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
              "/qx-reader-fuzz-XXXXXX";
        if (::mkdtemp(dir.data()) == nullptr) {
            std::abort();
        }
        package = dir + "/package";
        extracted = dir + "/extracted";
    }
    ~Scratch() {
        ::unlink(package.c_str());
        ::unlink(extracted.c_str());
        ::rmdir(dir.c_str());
    }
};

Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

bool WritePackage(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

bool SameBytes(const std::string& path, const uint8_t* expected, size_t size) {
    std::ifstream in(path, std::ios::binary);
    const std::string actual{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return actual.size() == size && std::memcmp(actual.data(), expected, size) == 0;
}

// The fuzzing key: the seed of 32 bytes 0x07 (fuzz/make_corpus.sh signs its
// signed seeds with the same key).
struct FuzzKey {
    qx::package::SecretKey secret;
    qx::upgradeFile::PublicKey pub;
    FuzzKey() {
        unsigned char seed[crypto_sign_SEEDBYTES];
        std::memset(seed, 7, sizeof seed);
        qx::package::KeyPairFromSeed(seed, secret, pub);
    }
};

const FuzzKey& TheKey() {
    static const FuzzKey key;
    return key;
}

qx::upgradeFile::ReaderError ParseSigned(const std::string& path) {
    qx::upgradeFile::UpgradeFile reader(path);
    reader.RequireSignature({TheKey().pub});
    if (reader.ParseFile() != reader.Valid() ||
        reader.Valid() != (reader.Error() == qx::upgradeFile::ReaderError::None)) {
        std::abort();
    }
    return reader.Error();
}

// With the key required, the input's own tail is judged; the same inner
// files with a signature of their bytes must pass. A failure before the
// tail stays what the parse without a key gave (plainError; extractions
// since have set the reader's latest error).
void CheckSignatures(const uint8_t* data, size_t size, const qx::upgradeFile::UpgradeFile& plain,
                     qx::upgradeFile::ReaderError plainError) {
    using qx::upgradeFile::ReaderError;
    Scratch& scratch = TheScratch();
    const ReaderError withKey = ParseSigned(scratch.package);
    if (!plain.Valid()) {
        if (withKey != plainError) {
            std::abort();
        }
        return;
    }
    const size_t end = plain.Offsets().back() + plain.InnerFiles().back().FileSize();
    const std::string body(reinterpret_cast<const char*>(data), end);
    const std::string signedBytes = qx::package::SignedBytes(body, TheKey().secret);
    const bool exactBlock = size == signedBytes.size() &&
                            std::memcmp(data + end, signedBytes.data() + end, size - end) == 0;
    if ((withKey == ReaderError::None) != exactBlock ||
        !WritePackage(scratch.package, reinterpret_cast<const uint8_t*>(signedBytes.data()),
                      signedBytes.size()) ||
        ParseSigned(scratch.package) != ReaderError::None) {
        std::abort();
    }
    // Key files: an accepted one is consistent with its id.
    qx::upgradeFile::PublicKey key;
    std::string error;
    if (qx::upgradeFile::ParsePublicKey(std::string(reinterpret_cast<const char*>(data), size), key,
                                        error) &&
        qx::upgradeFile::KeyIdOf(key.key.data()) != key.id) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using qx::upgradeFile::InnerFileInformation;
    using qx::upgradeFile::UpgradeFile;
    using qx::upgradeFile::UpgradeFileInformation;

    // A heap copy of exactly the input's length: ASan catches any over-read.
    std::vector<unsigned char> copy(data, data + size);
    const unsigned int length = static_cast<unsigned int>(size);
    UpgradeFileInformation outer;
    (void)outer.ParseHeader(copy.data(), length);
    // Again from an odd address (the digest's unaligned path); both must agree.
    std::vector<unsigned char> shifted(size + 1);
    std::memcpy(shifted.data() + 1, data, size);
    UpgradeFileInformation outerShifted;
    if (outerShifted.ParseHeader(shifted.data() + 1, length) != outer.Valid()) {
        std::abort();
    }
    InnerFileInformation inner;
    if (inner.ParseHeader(copy.data(), length)) {
        unsigned char digest[16] = {};
        std::memcpy(digest, copy.data() + (size >= 16 ? size - 16 : 0), size >= 16 ? 16 : size);
        (void)inner.ValidateMD5Hash(digest, 16);
        (void)inner.ValidateMD5Hash(digest, 15);
    }

    Scratch& scratch = TheScratch();
    if (!WritePackage(scratch.package, data, size)) {
        return 0;
    }
    UpgradeFile reader(scratch.package);
    const bool valid = reader.ParseFile();
    const qx::upgradeFile::ReaderError parseError = reader.Error();
    if (reader.Offsets().size() != reader.InnerFiles().size() || valid != reader.Valid()) {
        std::abort();
    }
    // Inner files accepted, even by a failed pass, extract; one past the end fails.
    const unsigned int count = static_cast<unsigned int>(reader.Offsets().size());
    for (unsigned int index = 0; index <= count; ++index) {
        const bool extracted = reader.ExtractFile(index, scratch.extracted);
        if (extracted != (index < count)) {
            std::abort();
        }
        if (extracted && !SameBytes(scratch.extracted, data + reader.Offsets()[index],
                                    reader.InnerFiles()[index].FileSize())) {
            std::abort();
        }
    }
    // Last: it writes signed copies over the package file.
    CheckSignatures(data, size, reader, parseError);
    return 0;
}
