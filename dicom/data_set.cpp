/*
 * data_set.cpp - the data set's elements and their explicit VR little
 * endian encoding.
 */
#include "dicom/data_set.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace nvx::dicom {

namespace {

constexpr std::uint32_t kItem = Tag(0xFFFE, 0xE000);

void AppendTag(std::vector<std::uint8_t>* out, std::uint32_t tag) {
    AppendUint16(out, static_cast<std::uint16_t>(tag >> 16));
    AppendUint16(out, static_cast<std::uint16_t>(tag & 0xFFFF));
}

// The length field of an element or item: sequences and items are written
// with their lengths, so a value over 4 GiB - 2 cannot be held, and no data
// set this program makes comes near it.
std::uint32_t Length(std::size_t size) { return static_cast<std::uint32_t>(size); }

}  // namespace

void AppendUint16(std::vector<std::uint8_t>* out, std::uint16_t value) {
    out->push_back(static_cast<std::uint8_t>(value & 0xFF));
    out->push_back(static_cast<std::uint8_t>(value >> 8));
}

void AppendUint32(std::vector<std::uint8_t>* out, std::uint32_t value) {
    AppendUint16(out, static_cast<std::uint16_t>(value & 0xFFFF));
    AppendUint16(out, static_cast<std::uint16_t>(value >> 16));
}

bool HasLongLength(Vr vr) {
    static constexpr const char* kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                            "SV", "UC", "UN", "UR", "UT", "UV"};
    for (const char* letters : kLong) {
        if (vr.letters[0] == letters[0] && vr.letters[1] == letters[1]) return true;
    }
    return false;
}

std::string DecimalString(double value) {
    char text[32];
    for (int digits = 15; digits > 0; --digits) {
        const int length = std::snprintf(text, sizeof text, "%.*G", digits, value);
        if (length > 0 && length <= 16) return text;
    }
    return "0";
}

double RecordedDecimal(float value) {
    char text[64];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
    double decimal = value;
    if (written.ec == std::errc{}) std::from_chars(text, written.ptr, decimal);
    return decimal;
}

void DataSet::SetString(std::uint32_t tag, Vr vr, std::string_view text) {
    Element& element = elements_[tag];
    element = Element{vr, {text.begin(), text.end()}, {}};
    if (element.value.size() % 2 != 0) element.value.push_back(vr == vr::kUI ? '\0' : ' ');
}

void DataSet::SetStrings(std::uint32_t tag, Vr vr, std::span<const std::string> values) {
    std::string joined;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) joined += '\\';
        joined += values[i];
    }
    SetString(tag, vr, joined);
}

void DataSet::SetUint16(std::uint32_t tag, std::uint16_t value) {
    Element& element = elements_[tag];
    element = Element{vr::kUS, {}, {}};
    AppendUint16(&element.value, value);
}

void DataSet::SetUint32(std::uint32_t tag, std::uint32_t value) {
    Element& element = elements_[tag];
    element = Element{vr::kUL, {}, {}};
    AppendUint32(&element.value, value);
}

void DataSet::SetFloat64(std::uint32_t tag, double value) {
    Element& element = elements_[tag];
    element = Element{vr::kFD, std::vector<std::uint8_t>(8), {}};
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (std::size_t i = 0; i < 8; ++i)
        element.value[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

void DataSet::SetFloat32(std::uint32_t tag, float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    SetUint32(tag, bits);
    elements_[tag].vr = vr::kFL;
}

void DataSet::SetInt32(std::uint32_t tag, std::int32_t value) {
    SetUint32(tag, static_cast<std::uint32_t>(value));
    elements_[tag].vr = vr::kSL;
}

void DataSet::SetBytes(std::uint32_t tag, Vr vr, std::span<const std::uint8_t> bytes) {
    Element& element = elements_[tag];
    element = Element{vr, {bytes.begin(), bytes.end()}, {}};
    if (element.value.size() % 2 != 0) element.value.push_back(0);
}

void DataSet::SetEmptySequence(std::uint32_t tag) { elements_[tag] = Element{vr::kSQ, {}, {}}; }

DataSet& DataSet::AddItem(std::uint32_t tag) {
    Element& element = elements_[tag];
    if (!(element.vr == vr::kSQ)) element = Element{vr::kSQ, {}, {}};
    return element.items.emplace_back();
}

void DataSet::Encode(std::vector<std::uint8_t>* out) const {
    for (const auto& [tag, element] : elements_) {
        AppendTag(out, tag);
        out->push_back(static_cast<std::uint8_t>(element.vr.letters[0]));
        out->push_back(static_cast<std::uint8_t>(element.vr.letters[1]));
        std::vector<std::uint8_t> sequence;
        const std::vector<std::uint8_t>* value = &element.value;
        if (element.vr == vr::kSQ) {
            for (const DataSet& item : element.items) {
                std::vector<std::uint8_t> encoded;
                item.Encode(&encoded);
                AppendTag(&sequence, kItem);
                AppendUint32(&sequence, Length(encoded.size()));
                sequence.insert(sequence.end(), encoded.begin(), encoded.end());
            }
            value = &sequence;
        }
        if (HasLongLength(element.vr)) {
            AppendUint16(out, 0);
            AppendUint32(out, Length(value->size()));
        } else {
            AppendUint16(out, static_cast<std::uint16_t>(value->size()));
        }
        out->insert(out->end(), value->begin(), value->end());
    }
}

}  // namespace nvx::dicom
