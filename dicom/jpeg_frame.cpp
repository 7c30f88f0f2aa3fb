/*
 * jpeg_frame.cpp - the marker segments of a frame's stream, walked up to
 * its first scan.
 */
#include "dicom/jpeg_frame.h"

#include <algorithm>
#include <cstddef>

#include "common/jpeg_markers.h"

namespace nvx::dicom {

namespace {

using namespace jpeg_marker;

struct Segment {
    std::uint8_t code = 0;
    std::size_t start = 0;   // of the marker
    std::size_t length = 0;  // from the marker to the segment's end
};

bool StartsWithSoi(std::span<const std::uint8_t> s) {
    return s.size() >= 2 && s[0] == 0xFF && s[1] == kStartOfImage;
}

// The segment at `at` (a marker with a length); false when the bytes there
// are not one or run past the end.
bool ReadSegment(std::span<const std::uint8_t> s, std::size_t at, Segment* segment) {
    if (s.size() < at + 4 || s[at] != 0xFF) return false;
    const std::size_t length = (std::size_t{s[at + 2]} << 8) | s[at + 3];
    if (length < 2 || s.size() < at + 2 + length) return false;
    *segment = Segment{s[at + 1], at, 2 + length};
    return true;
}

// Whether a segment with marker `code` comes before the first scan.
bool HasSegment(std::span<const std::uint8_t> s, std::uint8_t code) {
    Segment segment;
    for (std::size_t at = 2; ReadSegment(s, at, &segment) && segment.code != kStartOfScan;
         at += segment.length) {
        if (segment.code == code) return true;
    }
    return false;
}

}  // namespace

bool CarriesTables(std::span<const std::uint8_t> stream) {
    return HasSegment(stream, kQuantTables);
}

bool SpliceTables(std::span<const std::uint8_t> tile, std::span<const std::uint8_t> tables,
                  std::vector<std::uint8_t>* frame) {
    if (!StartsWithSoi(tile) || !StartsWithSoi(tables)) return false;
    std::vector<std::uint8_t> spliced(tile.begin(), tile.begin() + 2);
    std::size_t at = 2;
    bool any = false;
    for (;;) {
        if (tables.size() >= at + 2 && tables[at] == 0xFF && tables[at + 1] == kEndOfImage) break;
        Segment segment;
        if (!ReadSegment(tables, at, &segment)) return false;
        if (segment.code != kQuantTables && segment.code != kHuffmanTables) return false;
        spliced.insert(spliced.end(), tables.begin() + static_cast<std::ptrdiff_t>(at),
                       tables.begin() + static_cast<std::ptrdiff_t>(at + segment.length));
        at += segment.length;
        any = true;
    }
    if (!any || at + 2 != tables.size()) return false;
    FramePhotometric photometric;
    if (!HasSegment(tile, kAdobe) && PhotometricOf(tile, &photometric) &&
        photometric == FramePhotometric::Rgb) {
        static constexpr std::uint8_t kNoTransform[] = {0xFF, 0xEE, 0x00, 0x0E, 'A',  'd',
                                                        'o',  'b',  'e',  0x00, 0x64, 0x00,
                                                        0x00, 0x00, 0x00, 0x00};
        spliced.insert(spliced.begin() + 2, std::begin(kNoTransform), std::end(kNoTransform));
    }
    spliced.insert(spliced.end(), tile.begin() + 2, tile.end());
    *frame = std::move(spliced);
    return true;
}

bool PhotometricOf(std::span<const std::uint8_t> frame, FramePhotometric* photometric) {
    if (!StartsWithSoi(frame)) return false;
    int adobeTransform = -1;  // none
    std::size_t at = 2;
    Segment segment;
    while (ReadSegment(frame, at, &segment) && segment.code != kStartOfScan) {
        const std::uint8_t* body = frame.data() + at + 4;
        if (segment.code == kAdobe && segment.length >= 16 && std::equal(body, body + 5, "Adobe")) {
            adobeTransform = body[11];
        }
        if (segment.code == kBaselineFrame) {
            // precision, height, width, count, then (id, sampling, table) each
            if (segment.length != 2 + 8 + 3 * 3 || body[0] != 8 || body[5] != 3) return false;
            const std::uint8_t* c = body + 6;
            const bool rgbIds = c[0] == 'R' && c[3] == 'G' && c[6] == 'B';
            const bool chromaOne = c[4] == 0x11 && c[7] == 0x11;
            if (adobeTransform == 0 || (adobeTransform < 0 && rgbIds)) {
                if (c[1] != 0x11 || !chromaOne) return false;
                *photometric = FramePhotometric::Rgb;
            } else if (chromaOne && (c[1] == 0x11 || c[1] == 0x21 || c[1] == 0x22)) {
                *photometric = FramePhotometric::YbrFull422;
            } else {
                return false;
            }
            return true;
        }
        at += segment.length;
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
