/*
 * jpeg_markers.h - the codes of the JPEG marker segments that the walk of a
 * stream's segments (jpeg_stream_walk.h) and its callers look for: each
 * follows a 0xFF byte.
 */
#pragma once

#include <cstdint>

namespace nvx::jpeg_marker {

inline constexpr std::uint8_t kStartOfImage = 0xD8;
inline constexpr std::uint8_t kEndOfImage = 0xD9;
inline constexpr std::uint8_t kStartOfScan = 0xDA;
inline constexpr std::uint8_t kQuantTables = 0xDB;
inline constexpr std::uint8_t kHuffmanTables = 0xC4;
inline constexpr std::uint8_t kBaselineFrame = 0xC0;  // SOF0
inline constexpr std::uint8_t kAdobe = 0xEE;          // APP14

}  // namespace nvx::jpeg_marker
