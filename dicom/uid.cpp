/*
 * uid.cpp - UIDs under 2.25 from SHA-256.
 */
#include "dicom/uid.h"

#include <algorithm>

#include "common/sha256.h"

namespace nvx::dicom {

namespace {

// The decimal digits of the 128-bit big-endian number in `bytes`.
std::string Decimal(std::span<const std::uint8_t> bytes) {
    std::uint8_t number[16];
    std::copy_n(bytes.begin(), 16, number);
    std::string digits;
    for (;;) {
        // Divide by ten, byte by byte, most significant first.
        unsigned remainder = 0;
        bool zero = true;
        for (std::uint8_t& byte : number) {
            const unsigned value = (remainder << 8) | byte;
            byte = static_cast<std::uint8_t>(value / 10);
            remainder = value % 10;
            zero = zero && byte == 0;
        }
        digits.push_back(static_cast<char>('0' + remainder));
        if (zero) break;
    }
    std::reverse(digits.begin(), digits.end());
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
    return "2.25." + Decimal(value);
}

SlideUids UidsFor(std::span<const std::uint8_t> digest) {
    static constexpr std::uint8_t kProgram[] = {'n', 'v', 'x', '2', 's', 'v', 's'};
    return {DerivedUid(digest, "study"),
            DerivedUid(digest, "series"),
            DerivedUid(digest, "frame of reference"),
            DerivedUid(digest, "dimension organization"),
            DerivedUid(digest, "specimen"),
            DerivedUid(kProgram, "implementation class")};
}

std::string InstanceUid(std::span<const std::uint8_t> digest, std::uint32_t number) {
    return DerivedUid(digest, "instance " + std::to_string(number));
}

}  // namespace nvx::dicom
