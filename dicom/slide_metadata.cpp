/*
 * slide_metadata.cpp - the metadata file read with nlohmann::json, each
 * value checked against the representation it is written in.
 */
#include "dicom/slide_metadata.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "common/native_file.h"

namespace nvx::dicom {

namespace {

constexpr std::uint64_t kLargestFile = 1024 * 1024;
constexpr const char* kThicknessField = "section_thickness_um";
constexpr double kThickestSectionUm = 1000;

enum class Kind { LongString, ShortString, PersonName };

struct Field {
    const char* name;
    Kind kind;
    std::string SlideMetadata::*value;
};

constexpr Field kFields[] = {
    {"patient_id", Kind::LongString, &SlideMetadata::patientId},
    {"patient_name", Kind::PersonName, &SlideMetadata::patientName},
    {"accession_number", Kind::ShortString, &SlideMetadata::accessionNumber},
    {"container_identifier", Kind::LongString, &SlideMetadata::containerIdentifier},
    {"specimen_description", Kind::LongString, &SlideMetadata::specimenDescription},
};

// Characters (UTF-8 code points, the JSON parser having checked the
// encoding) in `text`.
std::size_t Characters(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

std::string FieldNames() {
    std::string names;
    for (const Field& field : kFields)
        names += (names.empty() ? "" : ", ") + std::string(field.name);
    return names + ", " + kThicknessField;
}

bool Check(const Field& field, const std::string& value, std::string* why) {
    const std::string name = field.name;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            *why = name + " holds a control character, which it may not";
            return false;
        }
        if (c == '\\') {
            *why = name + " holds a backslash, which it may not";
            return false;
        }
    }
    if (field.kind == Kind::PersonName) {
        // Up to three groups (alphabetic=ideographic=phonetic) of 64 each.
        std::size_t groups = 0, start = 0;
        for (;;) {
            const std::size_t end = value.find('=', start);
            const std::string_view group =
                std::string_view(value).substr(start, end == std::string::npos ? end : end - start);
            if (++groups > 3) {
                *why = name + " has more than three groups separated by '='";
                return false;
            }
            if (Characters(group) > 64) {
                *why = name + " is longer than 64 characters in one group";
                return false;
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return true;
    }
    const std::size_t limit = field.kind == Kind::ShortString ? 16 : 64;
    if (Characters(value) > limit) {
        *why = name + " is longer than " + std::to_string(limit) + " characters";
        return false;
    }
    return true;
}

}  // namespace

bool ParseSlideMetadata(std::string_view text, SlideMetadata* metadata, std::string* why) {
    // Keys given twice are found while parsing: the parsed object keeps one.
    std::string twice;
    const nlohmann::json::parser_callback_t noteKeys =
        [&twice, keys = std::set<std::string>()](int depth, nlohmann::json::parse_event_t event,
                                                 nlohmann::json& parsed) mutable {
            if (event == nlohmann::json::parse_event_t::key && depth == 1 &&
                !keys.insert(parsed.get<std::string>()).second && twice.empty()) {
                twice = parsed.get<std::string>();
            }
            return true;
        };
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text.begin(), text.end(), noteKeys);
    } catch (const nlohmann::json::exception& error) {
        *why = std::string("not JSON: ") + error.what();
        return false;
    }
    if (!document.is_object()) {
        *why = "not a JSON object of fields";
        return false;
    }
    if (!twice.empty()) {
        *why = "the field \"" + twice + "\" is given twice";
        return false;
    }
    SlideMetadata read;
    for (const auto& [key, value] : document.items()) {
        if (key == kThicknessField) {
            if (!value.is_number()) {
                *why = key + " is not a number";
                return false;
            }
            const double thickness = value.get<double>();
            if (!(thickness > 0 && thickness <= kThickestSectionUm)) {
                *why = key + " is not more than 0 and at most 1000 (micrometres)";
                return false;
            }
            read.sectionThicknessUm = thickness;
            continue;
        }
        const Field* field = nullptr;
        for (const Field& known : kFields) {
            if (key == known.name) field = &known;
        }
        if (field == nullptr) {
            *why = "unknown field " + nlohmann::json(key).dump() + " (the fields are " +
                   FieldNames() + ")";
            return false;
        }
        if (!value.is_string()) {
            *why = key + " is not a string";
            return false;
        }
        if (!Check(*field, value.get<std::string>(), why)) return false;
        read.*(field->value) = value.get<std::string>();
    }
    *metadata = read;
    return true;
}

bool ReadSlideMetadata(const std::string& path, SlideMetadata* metadata, std::string* why) {
    ReadOnlyFile file;
    std::string reason;
    std::uint64_t size = 0;
    if (!file.Open(path.c_str(), &reason)) {
        *why = path + ": " + reason;
        return false;
    }
    if (!file.RegularFileSize(&size)) {
        *why = path + ": not a regular file";
        return false;
    }
    if (size > kLargestFile) {
        *why = path + ": larger than 1 MiB";
        return false;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    if (!file.ReadAt(text.data(), text.size(), 0)) {
        *why = path + ": cannot be read";
        return false;
    }
    if (!ParseSlideMetadata(text, metadata, why)) {
        *why = path + ": " + *why;
        return false;
    }
    return true;
}

}  // namespace nvx::dicom
