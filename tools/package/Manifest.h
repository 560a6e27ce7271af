#pragma once

// The manifest of an unpacked package: a JSON file that names the header
// fields and, per inner file, its fields and the file that holds its data.
//
//   {
//     "header": {"version": 5, "upgradeName": "QX router firmware",
//                "releaseName": "R7.3.1", "fileDate": "20261206",
//                "upgradeId": 731, "spareText1": "", "spareText2": "",
//                "spareWord": 0},
//     "innerFiles": [{"file": "0-notes", "label": "notes",
//                     "spareWord1": 0, "spareWord2": 0}, ...],
//     "trailer": "trailer",
//     "signature": {"keyId": "...", "signature": "...", "signedDigest": "..."}
//   }
//
// Byte fields (texts, labels, "reserved") are a string when they are valid
// UTF-8 without control characters, else {"hex": "..."}; a shorter value is padded with zero
// bytes to its field. "reserved" (zero when absent) and "trailer" (bytes
// after the last inner file, none when absent) are optional, as are the
// spare texts and words. "signature" (optional) is the block of a signed
// package in hexadecimal and the SHA-256 of the bytes it signed: a rebuild
// keeps the block while those bytes stay the same. Sizes and digests are not part of it: they
// follow from the files. File names are relative to the manifest's folder unless absolute.

#include <string>

#include "tools/package/PackageWriter.h"

namespace qx {
namespace package {

// Reads the manifest at path into sources (file names resolved). Refuses
// unknown or missing fields, values of the wrong kind and numbers beyond
// their field; texts too long for their field are refused by WritePackage.
bool ReadManifest(const std::string& path, PackageSources& sources, std::string& error);

// The manifest text for sources, file names written as they are given.
std::string ManifestText(const PackageSources& sources);

// A byte field's value as the manifest keeps it: the bytes up to the last
// non-zero one (the writer pads them back).
std::string WithoutPadding(const std::string& bytes);

}  // namespace package
}  // namespace qx
