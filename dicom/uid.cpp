/*
 * uid.cpp - UIDs under 2.25 from SHA-256, all of one length.
 */
#include "dicom/uid.h"

#include <algorithm>

#include "common/sha256.h"

namespace nvx::dicom {

namespace {

constexpr int kDigits = 38;

// 10^37 + (the 128-bit big-endian number in `bytes`) mod (9 x 10^37), in
// decimal: always kDigits digits, the first not 0.
std::string FixedDecimal(std::span<const std::uint8_t> bytes) {
    unsigned __int128 number = 0;
    for (std::size_t i = 0; i < 16; ++i) number = (number << 8) | bytes[i];
    unsigned __int128 least = 1;
    for (int i = 1; i < kDigits; ++i) least *= 10;
    number = least + number % (9 * least);
    std::string digits(kDigits, '0');
    for (int i = kDigits - 1; i >= 0; --i) {
        digits[static_cast<std::size_t>(i)] = static_cast<char>('0' + int(number % 10));
        number /= 10;
    }
    return digits;
}

}  // namespace

std::string DerivedUid(std::span<const std::uint8_t> digest, std::string_view role) {
    Sha256 hash;
    hash.Update(digest);
    // The role after a separator no digest byte run can imitate: its length.
    const std::uint8_t length[] = {static_cast<std::uint8_t>(role.size() >> 8),
                                   static_cast<std::uint8_t>(role.size() & 0xFF)};
    hash.Update(length);
    hash.Update(role);
    const Sha256::Digest value = hash.Finish();
    return "2.25." + FixedDecimal(value);
}

std::string PlaceholderUid(int which) {
    return "2.25." + std::string(1, static_cast<char>('0' + which)) + std::string(kDigits - 1, '0');
}

SlideUids UidsFor(std::span<const std::uint8_t> digest) {
    static constexpr std::uint8_t kProgram[] = {'n', 'v', 'x', '2', 's', 'v', 's'};
    return {DerivedUid(digest, "study"),
            DerivedUid(digest, "series"),
            DerivedUid(digest, "frame of reference"),
            DerivedUid(digest, "dimension organization"),
            DerivedUid(digest, "specimen"),
            DerivedUid(digest, "pyramid"),
            DerivedUid(kProgram, "implementation class")};
}

std::string InstanceUid(std::span<const std::uint8_t> digest, std::uint32_t number) {
    return DerivedUid(digest, "instance " + std::to_string(number));
}

}  // namespace nvx::dicom
