/*
 * jpeg_stream_walk.h - the one walk over a JPEG stream's marker segments,
 * and what its header says: the frame, the colour of its components and its
 * process, decided as libjpeg decides them.
 *
 * Every question this project asks of a stream's markers is asked through
 * this walk: whether the stream carries every table it uses
 * (jpeg_stream_check.h), whether it may stand as a baseline frame and what
 * its colour is (a copied tile, a DICOM frame), and where its tables are to
 * be spliced from (a TIFF tile that leans on JPEGTables). The walk reads a
 * marker after any number of 0xFF fill bytes, skips the entropy-coded data
 * of each scan (stuffed zeros and restart markers belong to it) and stops
 * at EOI. It does not decode.
 */
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/jpeg_markers.h"

namespace nvx {

// A marker segment as the walk meets it.
struct JpegSegment {
    std::uint8_t code = 0;               // the marker's code, after its 0xFF
    std::size_t at = 0;                  // where its marker's 0xFF (the last fill byte) is
    std::size_t end = 0;                 // just past its body
    std::span<const std::uint8_t> body;  // after the length; empty for a marker without one
};

// How a walk ended.
enum class WalkEnd {
    kEndOfImage,  // at EOI: the segment visited last was EOI
    kStopped,     // the visitor asked it to stop
    kNoStart,     // the stream does not begin with SOI
    kMalformed,   // something other than a marker where one belongs, SOI again, a length below 2
    kNoEnd,       // the stream ends inside a segment or before EOI
};

// Whether `code` is a frame's (SOF0 to SOF15, but DHT, JPG and DAC).
bool IsFrameMarker(std::uint8_t code);

// Where the marker after the entropy-coded data from `at` begins (its
// first 0xFF, fill bytes included), or the stream's end when there is none.
std::size_t SkipEntropyCoded(std::span<const std::uint8_t> stream, std::size_t at);

// Walks `stream` from its SOI, calling `visit(const JpegSegment&)` for
// every marker after it, EOI included, until EOI or until `visit` returns
// false. After SOS the walk skips the scan's entropy-coded data.
template <typename Visit>
WalkEnd WalkJpegSegments(std::span<const std::uint8_t> stream, Visit&& visit) {
    const std::size_t length = stream.size();
    if (length < 2 || stream[0] != 0xFF || stream[1] != jpeg_marker::kStartOfImage) {
        return WalkEnd::kNoStart;
    }
    std::size_t at = 2;
    for (;;) {
        if (at >= length) return WalkEnd::kNoEnd;
        if (stream[at] != 0xFF) return WalkEnd::kMalformed;
        while (at + 1 < length && stream[at + 1] == 0xFF) ++at;  // fill bytes
        if (at + 1 >= length) return WalkEnd::kNoEnd;
        JpegSegment segment;
        segment.at = at;
        segment.code = stream[at + 1];
        at += 2;
        if (segment.code == 0x00 || segment.code == jpeg_marker::kStartOfImage) {
            return WalkEnd::kMalformed;
        }
        // RST0 to RST7, TEM and EOI stand alone.
        const bool alone = segment.code == 0x01 || (segment.code >= 0xD0 && segment.code <= 0xD7) ||
                           segment.code == jpeg_marker::kEndOfImage;
        if (!alone) {
            if (length - at < 2) return WalkEnd::kNoEnd;
            const std::size_t size = (std::size_t{stream[at]} << 8) | stream[at + 1];
            if (size < 2) return WalkEnd::kMalformed;
            if (length - at < size) return WalkEnd::kNoEnd;
            segment.body = stream.subspan(at + 2, size - 2);
            at += size;
        }
        segment.end = at;
        if (!visit(static_cast<const JpegSegment&>(segment))) return WalkEnd::kStopped;
        if (segment.code == jpeg_marker::kEndOfImage) return WalkEnd::kEndOfImage;
        if (segment.code == jpeg_marker::kStartOfScan) at = SkipEntropyCoded(stream, at);
    }
}

// The colour of a stream's components, as libjpeg decides it.
enum class JpegColour {
    kOther,  // not three components
    kYCbCr,  // a JFIF marker; else an Adobe marker of transform 1 (or unknown); else no RGB ids
    kRgb,    // no JFIF marker, and an Adobe marker of transform 0, or none and ids 'R' 'G' 'B'
};

// A component of the frame.
struct JpegComponent {
    std::uint8_t id = 0;
    std::uint8_t sampling = 0;  // horizontal factor in the high nibble, vertical in the low
    std::uint8_t quantTable = 0;
};

// What a stream's segments before its first scan say.
struct JpegStreamHeader {
    WalkEnd end = WalkEnd::kNoStart;  // kStopped: the walk reached the first scan
    std::size_t firstScan = 0;        // where the first SOS's marker is (0: none)
    std::uint8_t frame = 0;           // the SOF's code; 0: none
    int precision = 0;
    int width = 0;
    int height = 0;
    int componentCount = 0;
    std::array<JpegComponent, 4> components{};  // the first four
    bool jfif = false;                          // a JFIF APP0 marker
    int adobeTransform = -1;                    // the Adobe APP14 marker's; -1: no marker
    bool quantTables = false;                   // a DQT
    bool wideQuantTables = false;               // a DQT of 16-bit steps
    bool extraHuffmanSlots = false;             // a DHT for slot 2 or 3
    bool onlyTables = true;                     // every segment is a DQT or a DHT

    // libjpeg's colour for the frame's components.
    JpegColour Colour() const;
    // Baseline sequential: SOF0 of 8-bit samples, 8-bit quantisation
    // tables, Huffman tables in slots 0 and 1 only; what a JPEG Baseline
    // (Process 1) transfer syntax holds.
    bool Baseline() const;
};

// Reads the segments of `stream` up to its first scan.
JpegStreamHeader ReadStreamHeader(std::span<const std::uint8_t> stream);

}  // namespace nvx
