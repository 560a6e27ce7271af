#pragma once

// Host-side builder of upgrade packages.
//
// A package is the 128-byte outer header followed, for each inner file in
// order, by its 128-byte inner header and its data. Texts and reserved bytes
// are padded with zero bytes to their field widths. The outer
// fileSize is the sum of the inner data sizes; every digest is computed with
// the device's own MD5.
//
// Failures are reported as false plus a one-line text in `error`; nothing
// throws.

#include <array>
#include <string>
#include <vector>

#include "tools/common/Files.h"
#include "tools/package/Signing.h"

namespace qx {
namespace package {

// Fields of the outer header. Texts longer than their field are refused;
// a text of exactly the field width is written without a terminating zero.
// Texts are written byte for byte, zero bytes included, so a field may also
// carry bytes behind its terminator.
struct OuterFields {
    unsigned short version = 0;
    std::string upgradeName;  // up to 32 bytes
    std::string releaseName;  // up to 16 bytes
    std::string fileDate;     // up to 8 bytes
    unsigned int upgradeId = 0;
    std::string spareText1;  // up to 8 bytes
    std::string spareText2;  // up to 8 bytes
    unsigned int spareWord = 0;
    // Bytes 92..111, up to 20 (the initializer lets older brace lists omit it).
    std::string reserved{};
};

// Fields of an inner header other than its size and digest.
struct InnerFields {
    std::string label;  // up to 32 bytes, zero-padded
    unsigned int spareWord1 = 0;
    unsigned int spareWord2 = 0;
    // Bytes 48..111, up to 64 (the initializer lets older brace lists omit it).
    std::string reserved{};
};

// An inner file taken from a host file (streamed, never held in memory).
struct InnerSource {
    std::string path;
    InnerFields fields;
};

// An inner file given in memory (tests, small tools).
struct InnerData {
    std::string data;
    InnerFields fields;
};

using Header = std::array<unsigned char, 128>;

// A byte field of a header (texts, label, reserved bytes): where it stands,
// its name in messages and its key in a package manifest.
template <class Fields>
struct ByteField {
    std::string Fields::*member;
    unsigned int offset;
    unsigned int size;
    const char* title;
    const char* key;
};
extern const std::array<ByteField<OuterFields>, 6> kOuterByteFields;
extern const std::array<ByteField<InnerFields>, 2> kInnerByteFields;

// Outer header with the given payload total and its digest in bytes 112..127.
bool EncodeOuterHeader(const OuterFields& outer, unsigned int fileSize, Header& header,
                       std::string& error);

// Inner header for `data`: identity, fields, size, and the digest of header
// bytes 0..111 followed by the data.
bool EncodeInnerHeader(const InnerFields& fields, const std::string& data, Header& header,
                       std::string& error);

// Builds a whole package in memory into `package`.
bool BuildPackage(const OuterFields& outer, const std::vector<InnerData>& inners,
                  std::string& package, std::string& error);

// Everything a package is written from.
struct PackageSources {
    OuterFields outer;
    std::vector<InnerSource> inners;
    // Host file whose bytes follow the last inner file (empty: none). The
    // reader never reads them; they are kept so that an unpacked package
    // rebuilds byte for byte.
    std::string trailerPath;
    // The signature block that ends the package, if any (no trailer then).
    SigningPlan signing;
};

// Writes a package to outputPath from host files, streaming each input
// (memory does not grow with input sizes). The output depends on the
// sources only. Writes a temporary file in the directory of outputPath and
// renames it into place, so outputPath is either the complete package or
// left untouched. Refuses: no inner files, a text longer than its field,
// missing or unreadable or non-regular inputs, an input that changes size
// while being read, and a package of 2 GiB or more.
bool WritePackage(const std::string& outputPath, const PackageSources& sources, std::string& error);

using qx::tools::DirectoryOf;

}  // namespace package
}  // namespace qx
