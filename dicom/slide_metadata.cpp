/*
 * slide_metadata.cpp - the metadata file read with nlohmann::json, each
 * value checked against the representation it is written in.
 */
#include "dicom/slide_metadata.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "common/native_file.h"
#include "dicom/data_set.h"

namespace nvx::dicom {

namespace {

constexpr std::uint64_t kLargestFile = 1024 * 1024;
constexpr const char* kThicknessField = "section_thickness_um";
constexpr double kThickestSectionUm = 1000;
constexpr const char* kIlluminationField = "illumination";
constexpr const char* kWavelengthField = "illumination_wavelength_nm";
constexpr const char* kColorField = "illumination_color";
// Ultraviolet to near infrared: what a microscope's light sources give.
constexpr double kShortestWavelengthNm = 100;
constexpr double kLongestWavelengthNm = 2000;

template <typename Value>
struct Named {
    const char* name;
    Value value;
};
constexpr Named<Illumination> kIlluminations[] = {
    {"brightfield", Illumination::Brightfield},
    {"fluorescence", Illumination::Fluorescence},
};

constexpr Named<IlluminationColor> kColors[] = {
    {"red", IlluminationColor::Red},           {"green", IlluminationColor::Green},
    {"blue", IlluminationColor::Blue},         {"ultraviolet", IlluminationColor::Ultraviolet},
    {"infrared", IlluminationColor::Infrared}, {"full spectrum", IlluminationColor::FullSpectrum},
};

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

std::string FieldNames() {
    std::string names;
    for (const Field& field : kFields)
        names += (names.empty() ? "" : ", ") + std::string(field.name);
    return names + ", " + kThicknessField + ", " + kIlluminationField + ", " + kWavelengthField +
           ", " + kColorField;
}

// The names of a table's values, quoted and joined as a sentence says them.
template <typename Table>
std::string Choices(const Table& table, const char* last) {
    std::string choices;
    for (std::size_t i = 0; i < std::size(table); ++i) {
        if (i > 0) choices += i + 1 == std::size(table) ? last : ", ";
        choices += std::string("\"") + table[i].name + "\"";
    }
    return choices;
}

// The value named `text` in `table`; false when none is.
template <typename Value, std::size_t N>
bool FindNamed(const Named<Value> (&table)[N], const std::string& text, Value* value) {
    for (const Named<Value>& known : table) {
        if (text != known.name) continue;
        *value = known.value;
        return true;
    }
    return false;
}

// The optical path's fields: true when `key` is one of them, with the
// reason in `why` when its value is refused.
bool ReadOpticalPathField(const std::string& key, const nlohmann::json& value, SlideMetadata* read,
                          std::string* why) {
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    if (key == kIlluminationField) {
        if (!FindNamed(kIlluminations, text, &read->illumination)) {
            *why = key + " is not " + Choices(kIlluminations, " or ");
        }
    } else if (key == kColorField) {
        if (!FindNamed(kColors, text, &read->illuminationColor)) {
            *why = key + " is not one of " + Choices(kColors, " and ");
        }
    } else if (key == kWavelengthField) {
        const double nanometres = value.is_number() ? value.get<double>() : 0;
        if (!value.is_number()) {
            *why = key + " is not a number";
        } else if (!(nanometres >= kShortestWavelengthNm && nanometres <= kLongestWavelengthNm)) {
            *why = key + " is not from 100 to 2000 (nanometres)";
        } else {
            read->illuminationWavelengthNm = nanometres;
        }
    } else {
        return false;
    }
    return true;
}

// The rules between the optical path's fields: a fluorescence path says
// what lit it, a brightfield one is lit white and takes neither.
bool CheckOpticalPath(const SlideMetadata& read, std::string* why) {
    const bool lightGiven =
        read.illuminationWavelengthNm > 0 || read.illuminationColor != IlluminationColor::None;
    if (read.illumination == Illumination::Fluorescence && !lightGiven) {
        *why = std::string("fluorescence illumination needs ") + kWavelengthField + " or " +
               kColorField;
        return false;
    }
    if (read.illumination == Illumination::Brightfield && lightGiven) {
        *why = std::string(read.illuminationWavelengthNm > 0 ? kWavelengthField : kColorField) +
               " is only for fluorescence illumination (brightfield light is white)";
        return false;
    }
    return true;
}

// Whether `text` (UTF-8, the JSON parser having checked the encoding)
// holds a control character: C0 (below 0x20), DEL or C1 (the code points
// 0x80 to 0x9F, two bytes C2 80 to C2 9F in UTF-8).
bool HoldsControlCharacter(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) return true;
        if (byte == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) return true;
        }
    }
    return false;
}

// A person name: up to three groups (alphabetic=ideographic=phonetic) of
// at most 64 bytes, each of at most five components separated by '^'.
bool CheckPersonName(const std::string& name, std::string_view value, std::string* why) {
    std::size_t groups = 0, start = 0;
    for (;;) {
        const std::size_t end = value.find('=', start);
        const std::string_view group =
            value.substr(start, end == std::string_view::npos ? end : end - start);
        if (++groups > 3) {
            *why = name + " has more than three groups separated by '='";
            return false;
        }
        if (group.size() > 64) {
            *why = name + " is longer than 64 bytes in one group";
            return false;
        }
        if (std::count(group.begin(), group.end(), '^') > 4) {
            *why = name + " has more than five components separated by '^' in one group";
            return false;
        }
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

bool Check(const Field& field, const std::string& value, std::string* why) {
    const std::string name = field.name;
    if (HoldsControlCharacter(value)) {
        *why = name + " holds a control character, which it may not";
        return false;
    }
    if (value.find('\\') != std::string::npos) {
        *why = name + " holds a backslash, which it may not";
        return false;
    }
    if (field.kind == Kind::PersonName) return CheckPersonName(name, value, why);
    // The representation's limit is in bytes as written: a character
    // other than ASCII takes two to four of them in UTF-8.
    const std::size_t limit = field.kind == Kind::ShortString ? 16 : 64;
    if (value.size() > limit) {
        *why = name + " is longer than " + std::to_string(limit) + " bytes";
        return false;
    }
    return true;
}

}  // namespace

bool StatesPositiveThickness(double microns) {
    // As the instances keep it: a 32-bit float in microns (ImagedVolumeDepth)
    // and a decimal in millimetres (SliceThickness).
    const float depth = static_cast<float>(microns);
    if (!(std::isnormal(depth) && depth > 0)) return false;
    const std::string millimetres = DecimalString(microns / 1000);
    return std::strtod(millimetres.c_str(), nullptr) > 0;
}

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
            if (!StatesPositiveThickness(thickness)) {
                *why = key + " is too small for the instances to state as a positive number " +
                       "(the least is about " + kThinnestSectionText + " micrometres)";
                return false;
            }
            read.sectionThicknessUm = thickness;
            continue;
        }
        why->clear();
        if (ReadOpticalPathField(key, value, &read, why)) {
            if (!why->empty()) return false;
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
    if (!CheckOpticalPath(read, why)) return false;
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
