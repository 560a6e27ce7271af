#include "tools/package/Manifest.h"

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <vector>

#include "tools/common/Files.h"
#include "tools/common/JsonText.h"

namespace qx {
namespace package {

namespace {

using qx::tools::Json;

// Reads one manifest value into its place; otherwise false, with an error
// that names the value by where it stands (e.g. "header.version").
using Setter = std::function<bool(const Json& value, const std::string& where, std::string& error)>;

struct Field {
    std::string key;
    bool required;
    Setter set;
};

Setter Bytes(std::string& target) {
    return [&target](const Json& value, const std::string& where, std::string& error) {
        if (qx::tools::BytesFromJson(value, target)) {
            return true;
        }
        error =
            where + ": must be a text or {\"hex\": \"...\"} with two hexadecimal digits per byte";
        return false;
    };
}

template <class Number>
Setter Whole(Number& target) {
    return [&target](const Json& value, const std::string& where, std::string& error) {
        const unsigned long long limit = static_cast<Number>(~Number(0));
        if (!value.is_number_unsigned() || value.get<unsigned long long>() > limit) {
            error = where + ": must be a whole number from 0 to " + std::to_string(limit);
            return false;
        }
        target = static_cast<Number>(value.get<unsigned long long>());
        return true;
    };
}

Setter FileName(std::string& target, const std::string& folder) {
    return [&target, folder](const Json& value, const std::string& where, std::string& error) {
        if (!value.is_string() || value.get<std::string>().empty()) {
            error = where + ": must be a file name";
            return false;
        }
        target = value.get<std::string>();
        if (target[0] != '/') {
            target = folder + "/" + target;
        }
        return true;
    };
}

Setter HexDigits(unsigned char* target, std::size_t size) {
    return [target, size](const Json& value, const std::string& where, std::string& error) {
        if (!value.is_string() ||
            !qx::upgradeFile::ParseHex(value.get<std::string>(), target, size)) {
            error = where + ": must be " + std::to_string(2 * size) + " hexadecimal digits";
            return false;
        }
        return true;
    };
}

std::vector<Field> SignatureFields(KeptSignature& kept) {
    return {
        {"keyId", true, HexDigits(kept.block.keyId.data(), kept.block.keyId.size())},
        {"signature", true, HexDigits(kept.block.signature.data(), kept.block.signature.size())},
        {"signedDigest", true, HexDigits(kept.digest.data(), kept.digest.size())}};
}

Json SignatureValue(const KeptSignature& kept) {
    using qx::upgradeFile::HexText;
    return {{"keyId", HexText(kept.block.keyId.data(), kept.block.keyId.size())},
            {"signature", HexText(kept.block.signature.data(), kept.block.signature.size())},
            {"signedDigest", HexText(kept.digest.data(), kept.digest.size())}};
}

// Applies fields to object: every key must be known, every required one
// given. The document itself is named "manifest"; its fields by their keys.
bool ReadObject(const Json& object, const std::string& where, const std::vector<Field>& fields,
                std::string& error) {
    const std::string prefix = where == "manifest" ? "" : where + ".";
    if (!object.is_object()) {
        error = where + ": must be an object";
        return false;
    }
    for (const auto& item : object.items()) {
        bool known = false;
        for (const Field& field : fields) {
            known = known || field.key == item.key();
        }
        if (!known) {
            error = where + ": unknown field \"" + item.key() + "\"";
            return false;
        }
    }
    for (const Field& field : fields) {
        const auto found = object.find(field.key);
        if (found == object.end() && field.required) {
            error = where + ": missing field \"" + field.key + "\"";
            return false;
        }
        if (found != object.end() && !field.set(*found, prefix + field.key, error)) {
            return false;
        }
    }
    return true;
}

std::vector<Field> HeaderFields(OuterFields& outer) {
    std::vector<Field> fields = {{"version", true, Whole(outer.version)},
                                 {"upgradeId", true, Whole(outer.upgradeId)},
                                 {"spareWord", false, Whole(outer.spareWord)}};
    for (const ByteField<OuterFields>& field : kOuterByteFields) {
        const bool optional = field.member == &OuterFields::spareText1 ||
                              field.member == &OuterFields::spareText2 ||
                              field.member == &OuterFields::reserved;
        fields.push_back({field.key, !optional, Bytes(outer.*field.member)});
    }
    return fields;
}

std::vector<Field> InnerFileFields(InnerSource& inner, const std::string& folder) {
    std::vector<Field> fields = {{"file", true, FileName(inner.path, folder)},
                                 {"spareWord1", false, Whole(inner.fields.spareWord1)},
                                 {"spareWord2", false, Whole(inner.fields.spareWord2)}};
    for (const ByteField<InnerFields>& field : kInnerByteFields) {
        fields.push_back({field.key, false, Bytes(inner.fields.*field.member)});
    }
    return fields;
}

bool ReadInnerFiles(const Json& list, const std::string& where, const std::string& folder,
                    std::vector<InnerSource>& inners, std::string& error) {
    if (!list.is_array()) {
        error = where + ": must be a list";
        return false;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        inners.emplace_back();
        if (!ReadObject(list[i], where + "[" + std::to_string(i) + "]",
                        InnerFileFields(inners.back(), folder), error)) {
            return false;
        }
    }
    return true;
}

bool ParseJson(const std::string& path, Json& document, std::string& error) {
    if (!qx::tools::CheckInputFile(path, error)) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read manifest " + path;
        return false;
    }
    try {
        document = Json::parse(in);
    } catch (const std::exception& failure) {
        // Without the library's "[json.exception...] " tag.
        const std::string text = failure.what();
        const std::size_t tag = text.find("] ");
        error = path + ": " + (tag == std::string::npos ? text : text.substr(tag + 2));
        return false;
    }
    return true;
}

}  // namespace

bool ReadManifest(const std::string& path, PackageSources& sources, std::string& error) {
    Json document;
    if (!ParseJson(path, document, error)) {
        return false;
    }
    const std::string folder = DirectoryOf(path);
    PackageSources result;
    const std::vector<Field> top = {
        {"header", true,
         [&result](const Json& value, const std::string& where, std::string& failure) {
             return ReadObject(value, where, HeaderFields(result.outer), failure);
         }},
        {"innerFiles", true,
         [&result, &folder](const Json& value, const std::string& where, std::string& failure) {
             return ReadInnerFiles(value, where, folder, result.inners, failure);
         }},
        {"trailer", false, FileName(result.trailerPath, folder)},
        {"signature", false,
         [&result](const Json& value, const std::string& where, std::string& failure) {
             return ReadObject(value, where, SignatureFields(result.signing.kept.emplace()),
                               failure);
         }}};
    if (!ReadObject(document, "manifest", top, error)) {
        error = path + ": " + error;
        return false;
    }
    sources = std::move(result);
    return true;
}

std::string ManifestText(const PackageSources& sources) {
    const OuterFields& outer = sources.outer;
    // In the order of the header.
    Json header = {{"version", outer.version}};
    for (const ByteField<OuterFields>& field : kOuterByteFields) {
        if (field.member == &OuterFields::spareText1) {
            header["upgradeId"] = outer.upgradeId;
        }
        if (field.member == &OuterFields::reserved) {
            header["spareWord"] = outer.spareWord;
            if (outer.reserved.empty()) {
                continue;
            }
        }
        header[field.key] = qx::tools::JsonBytes(outer.*field.member);
    }
    Json inners = Json::array();
    for (const InnerSource& inner : sources.inners) {
        Json entry = {{"file", inner.path},
                      {"label", qx::tools::JsonBytes(inner.fields.label)},
                      {"spareWord1", inner.fields.spareWord1},
                      {"spareWord2", inner.fields.spareWord2}};
        if (!inner.fields.reserved.empty()) {
            entry["reserved"] = qx::tools::JsonBytes(inner.fields.reserved);
        }
        inners.push_back(entry);
    }
    Json document = {{"header", header}, {"innerFiles", inners}};
    if (!sources.trailerPath.empty()) {
        document["trailer"] = sources.trailerPath;
    }
    if (sources.signing.kept) {
        document["signature"] = SignatureValue(*sources.signing.kept);
    }
    return document.dump(2) + "\n";
}

std::string WithoutPadding(const std::string& bytes) {
    const std::size_t end = bytes.find_last_not_of('\0');
    return end == std::string::npos ? std::string() : bytes.substr(0, end + 1);
}

}  // namespace package
}  // namespace qx
