/*
 * uid.h - the UIDs of a slide's instances, made from a digest of what
 * makes the output (the slide's content and the options) rather than
 * drawn at random: the same slide and options give the same UIDs, so the
 * same bytes, on every run, and different ones give different UIDs.
 *
 * Each UID is "2.25." and the decimal of the first 128 bits of
 * SHA-256(digest, its role's name): at most 44 characters, within the 64
 * a UID may have, and no leading zero.
 */
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nvx::dicom {

// The UID for `role` ("study", "series", ...) of the output `digest` names.
std::string DerivedUid(std::span<const std::uint8_t> digest, std::string_view role);

// The UIDs of one slide's instances.
struct SlideUids {
    std::string study, series, frameOfReference, dimensionOrganization, specimen;
    // This program's implementation class UID, the same for every output.
    std::string implementationClass;
};
SlideUids UidsFor(std::span<const std::uint8_t> digest);

// The UID of the slide's instance number `number` (1, 2, ...).
std::string InstanceUid(std::span<const std::uint8_t> digest, std::uint32_t number);

}  // namespace nvx::dicom
