/*
 * jpeg_stream_walk.cpp - the entropy-coded data skipped, and the header's
 * segments read: the frame, the JFIF and Adobe markers and the tables, as
 * libjpeg reads them before the first scan (jdmarker.c), and the colour
 * libjpeg takes from them (jdapimin.c).
 */
#include "common/jpeg_stream_walk.h"

#include <algorithm>
#include <cstring>

#include "common/jpeg_markers.h"

namespace nvx {

namespace {

using namespace jpeg_marker;

// libjpeg's least lengths of the JFIF and Adobe markers it reads (APP0_DATA_LEN, APP14_DATA_LEN).
constexpr std::size_t kJfifLength = 14;
constexpr std::size_t kAdobeLength = 12;

bool Starts(std::span<const std::uint8_t> body, const char* text, std::size_t length) {
    return body.size() >= length && std::memcmp(body.data(), text, length) == 0;
}

void ReadFrame(std::uint8_t code, std::span<const std::uint8_t> body, JpegStreamHeader* header) {
    header->frame = code;
    if (body.size() < 6) return;
    header->precision = body[0];
    header->height = (body[1] << 8) | body[2];
    header->width = (body[3] << 8) | body[4];
    header->componentCount = body[5];
    const std::size_t listed = std::min<std::size_t>({body[5], 4, (body.size() - 6) / 3});
    for (std::size_t i = 0; i < listed; ++i) {
        header->components[i] = JpegComponent{body[6 + 3 * i], body[7 + 3 * i], body[8 + 3 * i]};
    }
}

void ReadQuantTables(std::span<const std::uint8_t> body, JpegStreamHeader* header) {
    header->quantTables = true;
    for (std::size_t at = 0; at < body.size();) {
        const bool wide = (body[at] >> 4) != 0;
        header->wideQuantTables = header->wideQuantTables || wide;
        at += 1 + 64 * (wide ? 2 : 1);
    }
}

void ReadHuffmanTables(std::span<const std::uint8_t> body, JpegStreamHeader* header) {
    for (std::size_t at = 0; at < body.size();) {
        if ((body[at] & 0x0F) > 1) header->extraHuffmanSlots = true;
        std::size_t symbols = 0;
        for (std::size_t i = 1; i <= 16 && at + i < body.size(); ++i) symbols += body[at + i];
        at += 17 + symbols;
    }
}

}  // namespace

bool IsFrameMarker(std::uint8_t code) {
    return code >= 0xC0 && code <= 0xCF && code != kHuffmanTables && code != 0xC8 && code != 0xCC;
}

std::size_t SkipEntropyCoded(std::span<const std::uint8_t> stream, std::size_t at) {
    const std::size_t length = stream.size();
    while (at < length) {
        const void* found = std::memchr(stream.data() + at, 0xFF, length - at);
        if (found == nullptr) return length;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - stream.data());
        if (at + 1 >= length) return length;
        const std::uint8_t next = stream[at + 1];
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
            at += 2;
        } else {
            return at;  // a marker, or fill bytes before one
        }
    }
    return length;
}

JpegStreamHeader ReadStreamHeader(std::span<const std::uint8_t> stream) {
    JpegStreamHeader header;
    header.end = WalkJpegSegments(stream, [&header](const JpegSegment& segment) {
        const std::uint8_t code = segment.code;
        if (code == kStartOfScan) {
            header.firstScan = segment.at;
            return false;
        }
        if (code != kQuantTables && code != kHuffmanTables && code != kEndOfImage) {
            header.onlyTables = false;
        }
        if (code == 0xE0 && Starts(segment.body, "JFIF", 5) && segment.body.size() >= kJfifLength) {
            header.jfif = true;
        } else if (code == kAdobe && Starts(segment.body, "Adobe", 5) &&
                   segment.body.size() >= kAdobeLength) {
            header.adobeTransform = segment.body[11];
        } else if (code == kQuantTables) {
            ReadQuantTables(segment.body, &header);
        } else if (code == kHuffmanTables) {
            ReadHuffmanTables(segment.body, &header);
        } else if (IsFrameMarker(code) && header.frame == 0) {
            ReadFrame(code, segment.body, &header);
        }
        return true;
    });
    return header;
}

JpegColour JpegStreamHeader::Colour() const {
    if (componentCount != 3) return JpegColour::kOther;
    if (jfif) return JpegColour::kYCbCr;
    if (adobeTransform >= 0) return adobeTransform == 0 ? JpegColour::kRgb : JpegColour::kYCbCr;
    const bool rgbIds =
        components[0].id == 'R' && components[1].id == 'G' && components[2].id == 'B';
    return rgbIds ? JpegColour::kRgb : JpegColour::kYCbCr;
}

bool JpegStreamHeader::Baseline() const {
    return frame == kBaselineFrame && precision == 8 && !wideQuantTables && !extraHuffmanSlots;
}

}  // namespace nvx
