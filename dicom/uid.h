/*
 * uid.h - the UIDs of a slide's instances, made from digests of what
 * makes the output rather than drawn at random: the same slide, metadata
 * and options give the same UIDs, so the same bytes, on every run, and
 * different ones give different UIDs.
 *
 * Each UID is "2.25." and a decimal of exactly 38 digits: 10^37 plus the
 * first 128 bits of SHA-256(digest, its role's length, its role's name)
 * modulo 9 x 10^37. Every UID so has 43 characters (44 with the pad
 * byte), within the 64 a UID may have and with no leading zero, and one
 * written as a placeholder before the bytes it is made from are known
 * takes the room the real one takes (see pyramid/dicom_instance_heads.h).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nvx::dicom {

inline constexpr std::size_t kUidLength = 43;

// The UID for `role` ("study", "series", ...) of what `digest` names.
std::string DerivedUid(std::span<const std::uint8_t> digest, std::string_view role);

// A UID of kUidLength that holds a UID's room until the real one is
// known; `which` (1 to 9) tells placeholders apart where two UIDs must differ.
std::string PlaceholderUid(int which = 1);

// The UIDs made from one digest, each for its role.
struct SlideUids {
    std::string study, series, frameOfReference, dimensionOrganization, specimen, pyramid;
    // This program's implementation class UID, the same for every output.
    std::string implementationClass;
};
SlideUids UidsFor(std::span<const std::uint8_t> digest);

// The UID of the instance number `number` (1, 2, ...) of what `digest` names.
std::string InstanceUid(std::span<const std::uint8_t> digest, std::uint32_t number);

}  // namespace nvx::dicom
