/*
 * jpeg_stream_check.cpp - a walk over a JPEG stream's marker segments that
 * notes which tables it defines and, at each scan, whether the tables that
 * scan needs are among them, as libjpeg would use them: a component's
 * quantisation table is taken at the first scan that holds the component,
 * and a scan's Huffman tables at the start of that scan.
 */
#include "common/jpeg_stream_check.h"

#include <array>
#include <cstring>

#include "common/jpeg_markers.h"

namespace nvx {

namespace {

using namespace jpeg_marker;

constexpr int kTableSlots = 4;

// SOF0 to SOF15 but for DHT (C4), JPG (C8) and DAC (CC).
bool IsFrame(std::uint8_t code) {
    return code >= 0xC0 && code <= 0xCF && code != kHuffmanTables && code != 0xC8 && code != 0xCC;
}
bool IsLossless(std::uint8_t frame) { return (frame & 0x03) == 0x03; }
bool IsProgressive(std::uint8_t frame) { return (frame & 0x03) == 0x02; }
bool IsArithmetic(std::uint8_t frame) { return frame >= 0xC9; }
// Markers without a length: RST0 to RST7 and TEM.
bool StandsAlone(std::uint8_t code) { return code == 0x01 || (code >= 0xD0 && code <= 0xD7); }

std::size_t Word(const std::uint8_t* at) { return (std::size_t{at[0]} << 8) | at[1]; }

struct Component {
    std::uint8_t id = 0;
    std::uint8_t quantTable = 0;
    bool scanned = false;  // its quantisation table has been taken
};

struct Walk {
    std::array<bool, kTableSlots> quant{};
    std::array<bool, kTableSlots> dc{};
    std::array<bool, kTableSlots> ac{};
    std::uint8_t frame = 0;  // the SOF marker's code; 0 before it
    std::array<Component, 255> components{};
    std::size_t componentCount = 0;
    bool scanned = false;
};

bool ReadQuantTables(const std::uint8_t* p, const std::uint8_t* end, Walk* walk) {
    while (p < end) {
        const int precision = *p >> 4, slot = *p & 0x0F;
        if (precision > 1 || slot >= kTableSlots) return false;
        const std::ptrdiff_t bytes = 1 + 64 * (precision + 1);
        if (end - p < bytes) return false;
        walk->quant[static_cast<std::size_t>(slot)] = true;
        p += bytes;
    }
    return true;
}

bool ReadHuffmanTables(const std::uint8_t* p, const std::uint8_t* end, Walk* walk) {
    while (p < end) {
        if (end - p < 17) return false;
        const int kind = *p >> 4, slot = *p & 0x0F;
        if (kind > 1 || slot >= kTableSlots) return false;
        std::ptrdiff_t symbols = 0;
        for (int i = 1; i <= 16; ++i) symbols += p[i];
        if (symbols > 256 || end - p < 17 + symbols) return false;
        (kind == 0 ? walk->dc : walk->ac)[static_cast<std::size_t>(slot)] = true;
        p += 17 + symbols;
    }
    return true;
}

bool ReadFrame(std::uint8_t code, const std::uint8_t* p, const std::uint8_t* end, Walk* walk) {
    if (walk->frame != 0 || end - p < 6) return false;
    const std::size_t count = p[5];
    if (count == 0 || static_cast<std::size_t>(end - p) != 6 + 3 * count) return false;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* c = p + 6 + 3 * i;
        if (c[2] >= kTableSlots) return false;
        walk->components[i] = Component{c[0], c[2], false};
    }
    walk->componentCount = count;
    walk->frame = code;
    return true;
}

StreamCompleteness ReadScan(const std::uint8_t* p, const std::uint8_t* end, Walk* walk) {
    if (walk->frame == 0) return StreamCompleteness::kNoFrame;
    if (end - p < 1) return StreamCompleteness::kMalformed;
    const std::size_t count = p[0];
    if (count == 0 || count > 4 || static_cast<std::size_t>(end - p) != 4 + 2 * count)
        return StreamCompleteness::kMalformed;
    const std::uint8_t spectralStart = p[1 + 2 * count];
    const int approximationHigh = p[3 + 2 * count] >> 4;
    const std::uint8_t frame = walk->frame;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t id = p[1 + 2 * i];
        const std::size_t dcSlot = p[2 + 2 * i] >> 4, acSlot = p[2 + 2 * i] & 0x0F;
        if (dcSlot >= kTableSlots || acSlot >= kTableSlots) return StreamCompleteness::kMalformed;
        Component* component = nullptr;
        for (std::size_t k = 0; k < walk->componentCount && component == nullptr; ++k) {
            if (walk->components[k].id == id) component = &walk->components[k];
        }
        if (component == nullptr) return StreamCompleteness::kMalformed;
        if (!IsLossless(frame) && !component->scanned) {
            if (!walk->quant[component->quantTable]) return StreamCompleteness::kQuantTableMissing;
            component->scanned = true;
        }
        if (IsArithmetic(frame)) continue;
        bool needDc = true, needAc = !IsLossless(frame);
        if (IsProgressive(frame)) {
            // A DC scan's refinement reads raw bits; an AC scan only AC codes.
            needDc = spectralStart == 0 && approximationHigh == 0;
            needAc = spectralStart != 0;
        }
        if ((needDc && !walk->dc[dcSlot]) || (needAc && !walk->ac[acSlot]))
            return StreamCompleteness::kHuffmanTableMissing;
    }
    walk->scanned = true;
    return StreamCompleteness::kComplete;
}

// Where the marker after the entropy-coded data from `at` begins (its 0xFF),
// or `length` when there is none. Stuffed zeros and restart markers belong
// to the data.
std::size_t SkipEntropyCoded(const std::uint8_t* stream, std::size_t length, std::size_t at) {
    while (at < length) {
        const void* found = std::memchr(stream + at, 0xFF, length - at);
        if (found == nullptr) return length;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - stream);
        if (at + 1 >= length) return length;
        const std::uint8_t next = stream[at + 1];
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
            at += 2;
        } else if (next == 0xFF) {
            at += 1;  // fill before a marker
        } else {
            return at;
        }
    }
    return length;
}

}  // namespace

StreamCompleteness CheckStreamCompleteness(const std::uint8_t* stream, std::size_t length) {
    if (stream == nullptr || length < 2 || stream[0] != 0xFF || stream[1] != kStartOfImage)
        return StreamCompleteness::kNoStart;
    Walk walk;
    std::size_t at = 2;
    for (;;) {
        if (at >= length) return StreamCompleteness::kNoEnd;
        if (stream[at] != 0xFF) return StreamCompleteness::kMalformed;
        while (at < length && stream[at] == 0xFF) ++at;  // fill bytes
        if (at >= length) return StreamCompleteness::kNoEnd;
        const std::uint8_t code = stream[at++];
        if (code == kEndOfImage) {
            if (walk.frame == 0) return StreamCompleteness::kNoFrame;
            return walk.scanned ? StreamCompleteness::kComplete : StreamCompleteness::kNoScan;
        }
        if (code == 0x00 || code == kStartOfImage) return StreamCompleteness::kMalformed;
        if (StandsAlone(code)) continue;
        if (length - at < 2) return StreamCompleteness::kNoEnd;
        const std::size_t segment = Word(stream + at);
        if (segment < 2) return StreamCompleteness::kMalformed;
        if (length - at < segment) return StreamCompleteness::kNoEnd;
        const std::uint8_t* body = stream + at + 2;
        const std::uint8_t* end = stream + at + segment;
        at += segment;
        if (code == kQuantTables) {
            if (!ReadQuantTables(body, end, &walk)) return StreamCompleteness::kMalformed;
        } else if (code == kHuffmanTables) {
            if (!ReadHuffmanTables(body, end, &walk)) return StreamCompleteness::kMalformed;
        } else if (IsFrame(code)) {
            if (!ReadFrame(code, body, end, &walk)) return StreamCompleteness::kMalformed;
        } else if (code == kStartOfScan) {
            const StreamCompleteness scan = ReadScan(body, end, &walk);
            if (scan != StreamCompleteness::kComplete) return scan;
            at = SkipEntropyCoded(stream, length, at);
        }
        // Every other segment (APPn, COM, DRI, DAC, DNL, ...) is skipped.
    }
}

}  // namespace nvx
