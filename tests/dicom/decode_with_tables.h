/*
 * decode_with_tables.h - decodes an abbreviated JPEG stream as a TIFF
 * reader does: the directory's tables read first, then the tile.
 */
#pragma once

#include <cstdint>
#include <vector>

namespace nvx::dicom {

// The stream's pixels as packed RGB, rows its width * 3 bytes apart.
std::vector<std::uint8_t> DecodeWithTables(const std::vector<std::uint8_t>& tables,
                                           const std::vector<std::uint8_t>& stream);

}  // namespace nvx::dicom
