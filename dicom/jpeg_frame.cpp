/*
 * jpeg_frame.cpp - a frame's stream asked through the one walk of a
 * stream's segments (common/jpeg_stream_walk.h): its tables, its process
 * and its colour as libjpeg decides it, and the tables spliced in.
 */
#include "dicom/jpeg_frame.h"

#include <cstddef>

#include "common/jpeg_markers.h"
#include "common/jpeg_stream_walk.h"

namespace nvx::dicom {

namespace {

using namespace jpeg_marker;

bool StartsWithSoi(std::span<const std::uint8_t> s) {
    return s.size() >= 2 && s[0] == 0xFF && s[1] == kStartOfImage;
}

// Where the DQT and DHT segments of a tables-only stream lie (from just
// after its SOI to its EOI); false when it holds anything else, none of
// them, or bytes after its EOI.
bool TableSegments(std::span<const std::uint8_t> tables, std::size_t* end) {
    bool onlyTables = true, any = false;
    std::size_t endOfImage = 0;
    const WalkEnd walked = WalkJpegSegments(tables, [&](const JpegSegment& segment) {
        if (segment.code == kEndOfImage) {
            endOfImage = segment.at;
            return segment.end == tables.size();
        }
        any = true;
        onlyTables = segment.code == kQuantTables || segment.code == kHuffmanTables;
        return onlyTables;
    });
    *end = endOfImage;
    return walked == WalkEnd::kEndOfImage && any;
}

}  // namespace

bool CarriesTables(std::span<const std::uint8_t> stream) {
    return ReadStreamHeader(stream).quantTables;
}

bool SpliceTables(std::span<const std::uint8_t> tile, std::span<const std::uint8_t> tables,
                  std::vector<std::uint8_t>* frame) {
    std::size_t tablesEnd = 0;
    if (!StartsWithSoi(tile) || !TableSegments(tables, &tablesEnd)) return false;
    std::vector<std::uint8_t> spliced(tile.begin(), tile.begin() + 2);
    // An RGB tile says so with an Adobe marker: many decoders take the ids for YCbCr.
    const JpegStreamHeader header = ReadStreamHeader(tile);
    if (header.adobeTransform < 0 && header.Colour() == JpegColour::kRgb) {
        static constexpr std::uint8_t kNoTransform[] = {0xFF, 0xEE, 0x00, 0x0E, 'A',  'd',
                                                        'o',  'b',  'e',  0x00, 0x64, 0x00,
                                                        0x00, 0x00, 0x00, 0x00};
        spliced.insert(spliced.end(), std::begin(kNoTransform), std::end(kNoTransform));
    }
    spliced.insert(spliced.end(), tables.begin() + 2,
                   tables.begin() + static_cast<std::ptrdiff_t>(tablesEnd));
    spliced.insert(spliced.end(), tile.begin() + 2, tile.end());
    *frame = std::move(spliced);
    return true;
}

bool PhotometricOf(std::span<const std::uint8_t> frame, FramePhotometric* photometric) {
    const JpegStreamHeader header = ReadStreamHeader(frame);
    if (header.firstScan == 0 || !header.Baseline() || header.componentCount != 3) return false;
    const std::uint8_t luma = header.components[0].sampling;
    const bool chromaOne =
        header.components[1].sampling == 0x11 && header.components[2].sampling == 0x11;
    switch (header.Colour()) {
        case JpegColour::kRgb:
            if (luma != 0x11 || !chromaOne) return false;
            *photometric = FramePhotometric::Rgb;
            return true;
        case JpegColour::kYCbCr:
            if (chromaOne && (luma == 0x11 || luma == 0x21 || luma == 0x22)) {
                *photometric = FramePhotometric::YbrFull422;
            } else {
                return false;
            }
            return true;
        case JpegColour::kOther:
            break;
    }
    return false;
}

const char* PhotometricName(FramePhotometric photometric) {
    switch (photometric) {
        case FramePhotometric::Rgb:
            return "RGB";
        case FramePhotometric::YbrFull422:
            return "YBR_FULL_422";
    }
    return "";
}

}  // namespace nvx::dicom
