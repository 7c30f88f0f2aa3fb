/*
 * jpeg_frame.h - the JPEG streams a whole-slide instance holds as frames.
 * Each frame must be a complete stream: a tile that leans on tables kept
 * elsewhere (the TIFF's JPEGTables) gets them spliced in after its SOI.
 * What the frame's components are decides the instance's photometric
 * interpretation.
 */
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace nvx::dicom {

// Makes `frame` a complete stream from `tile`, an abbreviated stream (SOI,
// frame, scans, EOI without the tables it uses), and `tables`, a
// tables-only stream (SOI, DQT and DHT segments, EOI): the tables' DQT and
// DHT segments go right after the tile's SOI, the rest of the tile follows
// as it is. A tile of R, G and B components (component ids 'R' 'G' 'B')
// also gets an Adobe marker that says so (transform 0) before them: many
// decoders read the ids as YCbCr, and DICOM readers tell RGB frames by that
// marker. False, with `frame` untouched, when either stream is not of that
// form.
bool SpliceTables(std::span<const std::uint8_t> tile, std::span<const std::uint8_t> tables,
                  std::vector<std::uint8_t>* frame);

// Whether `stream` defines quantisation tables before its first scan: a
// complete stream, which goes in as a frame as it is, rather than one that
// leans on tables kept elsewhere.
bool CarriesTables(std::span<const std::uint8_t> stream);

// What a baseline frame's three components hold, as DICOM names it.
enum class FramePhotometric {
    Rgb,         // R, G, B without a colour transform (component ids 'R' 'G' 'B')
    YbrFull422,  // YCbCr: 4:2:2, 4:2:0 or without subsampling (4:4:4)
};

// The photometric interpretation of `frame`, a baseline stream (SOF0,
// 8-bit samples and tables) of three components, whose colour is taken as
// libjpeg takes it (a JFIF marker makes it YCbCr whatever its ids); false
// when it is not one, or its sampling is none of 4:4:4, 4:2:2 or 4:2:0.
//
// Every YCbCr frame is YBR_FULL_422, 4:4:4 too: for a JPEG frame the
// stream's own sampling factors say how its chroma is sampled, and the
// standard says that YBR_FULL_422 on a stream of another subsampling has
// proven harmless. Readers rely on it: OpenSlide (and QuPath through it)
// takes JPEG frames as YBR_FULL_422 or RGB only, and the validator lists
// no YBR_FULL for whole-slide instances.
bool PhotometricOf(std::span<const std::uint8_t> frame, FramePhotometric* photometric);

// "RGB" or "YBR_FULL_422".
const char* PhotometricName(FramePhotometric photometric);

}  // namespace nvx::dicom
