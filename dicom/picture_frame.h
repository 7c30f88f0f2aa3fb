/*
 * picture_frame.h - the one frame of a label, overview or thumbnail
 * instance, encoded from the picture's RGB pixels.
 *
 * The frame is a complete baseline JPEG stream of R, G and B without a
 * colour transform (component ids 'R' 'G' 'B', an Adobe marker with
 * transform 0), every component at full resolution: the instance says RGB.
 * The pictures stay RGB as they do in the TIFF: a label's coloured print
 * and barcodes would blur at half-resolution chroma, and RGB frames
 * decode exactly in every reader that honours the Adobe marker.
 */
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace nvx::dicom {

// Encodes `rgb` (width * height packed R, G, B bytes, rows top down) at
// `quality` (1 to 100) into `frame`. False, with `frame` untouched, when
// the size does not match the pixels or cannot be a JPEG frame (0 or more
// than 65535 on a side). Throws std::bad_alloc when memory runs out.
bool EncodePictureFrame(std::span<const std::uint8_t> rgb, std::uint32_t width,
                        std::uint32_t height, int quality, std::vector<std::uint8_t>* frame);

}  // namespace nvx::dicom
