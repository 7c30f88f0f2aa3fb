/*
 * data_set.h - a DICOM data set held as its elements in tag order, and its
 * encoding in explicit VR little endian. Values are kept as they go to the
 * file: text padded to an even length (UI with a NUL, other text with a
 * space), binary values with a zero byte; sequences hold their items as
 * data sets of their own and are written with defined lengths.
 *
 * The caller's text is written as it is, as data: nothing here reads a
 * backslash in it as a value separator, except in SetStrings, whose values
 * are joined by one.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nvx::dicom {

// A tag as (group << 16) | element.
constexpr std::uint32_t Tag(std::uint16_t group, std::uint16_t element) {
    return (std::uint32_t{group} << 16) | element;
}

// A value representation, by its two letters.
struct Vr {
    char letters[2];
    bool operator==(const Vr& other) const {
        return letters[0] == other.letters[0] && letters[1] == other.letters[1];
    }
};
namespace vr {
inline constexpr Vr kAE{{'A', 'E'}}, kCS{{'C', 'S'}}, kDA{{'D', 'A'}}, kDS{{'D', 'S'}},
    kDT{{'D', 'T'}}, kFD{{'F', 'D'}}, kFL{{'F', 'L'}}, kSL{{'S', 'L'}}, kIS{{'I', 'S'}},
    kLO{{'L', 'O'}}, kLT{{'L', 'T'}}, kOB{{'O', 'B'}}, kOV{{'O', 'V'}}, kPN{{'P', 'N'}},
    kSH{{'S', 'H'}}, kSQ{{'S', 'Q'}}, kST{{'S', 'T'}}, kTM{{'T', 'M'}}, kUI{{'U', 'I'}},
    kUL{{'U', 'L'}}, kUS{{'U', 'S'}}, kUT{{'U', 'T'}};
}

// Whether the VR's length takes four bytes after two reserved ones in
// explicit VR encoding (OB, SQ, UT, ...), rather than two.
bool HasLongLength(Vr vr);

// A decimal string (DS) of at most 16 characters for `value`, with as many
// significant digits as fit.
std::string DecimalString(double value);

// The double nearest the shortest decimal that reads back as `value`: 0.499
// for the float nearest 0.499 (not 0.49900001287...), so that a value
// recorded as a float is written as the decimal it was recorded from.
double RecordedDecimal(float value);

class DataSet;

struct Element {
    Vr vr{};
    std::vector<std::uint8_t> value;  // padded to even length; unused for SQ
    std::vector<DataSet> items;       // SQ only
};

class DataSet {
public:
    // Text of any string VR, padded as the VR wants; an earlier value of
    // the tag is replaced.
    void SetString(std::uint32_t tag, Vr vr, std::string_view text);
    // Several values of one string VR, joined by backslashes.
    void SetStrings(std::uint32_t tag, Vr vr, std::span<const std::string> values);
    void SetUint16(std::uint32_t tag, std::uint16_t value);                        // US
    void SetUint32(std::uint32_t tag, std::uint32_t value);                        // UL
    void SetFloat64(std::uint32_t tag, double value);                              // FD
    void SetFloat32(std::uint32_t tag, float value);                               // FL
    void SetInt32(std::uint32_t tag, std::int32_t value);                          // SL
    void SetBytes(std::uint32_t tag, Vr vr, std::span<const std::uint8_t> bytes);  // OB
    // A sequence with no item (a Type 2 sequence that is empty).
    void SetEmptySequence(std::uint32_t tag);
    // Appends an item to the sequence `tag` (made when missing) and gives it.
    DataSet& AddItem(std::uint32_t tag);

    const std::map<std::uint32_t, Element>& Elements() const { return elements_; }
    bool Empty() const { return elements_.empty(); }

    // Appends the encoding of every element, in tag order, to `out`.
    void Encode(std::vector<std::uint8_t>* out) const;

private:
    std::map<std::uint32_t, Element> elements_;
};

// Appends the little-endian bytes of `value` to `out`.
void AppendUint16(std::vector<std::uint8_t>* out, std::uint16_t value);
void AppendUint32(std::vector<std::uint8_t>* out, std::uint32_t value);

}  // namespace nvx::dicom
