/*
 * srgb_profile.h - the ICC profile a whole-slide instance's optical path
 * carries for colour frames. The slides record no colour profile of their
 * own: their tiles are RGB as cameras and JPEG files give it, which every
 * viewer shows as sRGB, and the profile says just that. It is an ICC v2
 * display profile (sRGB primaries and white point adapted to D50, the sRGB
 * tone curve as a 1024-entry table), made here byte for byte the same on
 * every run.
 */
#pragma once

#include <cstdint>
#include <vector>

namespace nvx::dicom {

std::vector<std::uint8_t> SrgbProfile();

}  // namespace nvx::dicom
