/*
 * jpeg_stream_check.cpp - the walk over a JPEG stream's marker segments
 * (jpeg_stream_walk.h), noting which tables it defines and, at each scan,
 * whether the tables that scan needs are among them, as libjpeg would use
 * them: a component's
 * quantisation table is taken at the first scan that holds the component,
 * and a scan's Huffman tables at the start of that scan.
 */
#include "common/jpeg_stream_check.h"

#include <array>
#include <span>

#include "common/jpeg_markers.h"
#include "common/jpeg_stream_walk.h"

namespace nvx {

namespace {

using namespace jpeg_marker;

constexpr int kTableSlots = 4;

bool IsLossless(std::uint8_t frame) { return (frame & 0x03) == 0x03; }
bool IsProgressive(std::uint8_t frame) { return (frame & 0x03) == 0x02; }
bool IsArithmetic(std::uint8_t frame) { return frame >= 0xC9; }
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

}  // namespace

StreamCompleteness CheckStreamCompleteness(const std::uint8_t* stream, std::size_t length) {
    if (stream == nullptr) return StreamCompleteness::kNoStart;
    Walk walk;
    StreamCompleteness found = StreamCompleteness::kComplete;
    const WalkEnd end = WalkJpegSegments(
        std::span<const std::uint8_t>(stream, length), [&](const JpegSegment& segment) {
            const std::uint8_t code = segment.code;
            const std::uint8_t* body = segment.body.data();
            const std::uint8_t* bodyEnd = body + segment.body.size();
            if (code == kEndOfImage) {
                if (walk.frame == 0) {
                    found = StreamCompleteness::kNoFrame;
                } else if (!walk.scanned) {
                    found = StreamCompleteness::kNoScan;
                }
            } else if (code == kQuantTables) {
                if (!ReadQuantTables(body, bodyEnd, &walk)) found = StreamCompleteness::kMalformed;
            } else if (code == kHuffmanTables) {
                if (!ReadHuffmanTables(body, bodyEnd, &walk))
                    found = StreamCompleteness::kMalformed;
            } else if (IsFrameMarker(code)) {
                if (!ReadFrame(code, body, bodyEnd, &walk)) found = StreamCompleteness::kMalformed;
            } else if (code == kStartOfScan) {
                found = ReadScan(body, bodyEnd, &walk);
            }
            // Every other segment (APPn, COM, DRI, DAC, DNL, ...) is skipped.
            return found == StreamCompleteness::kComplete;
        });
    switch (end) {
        case WalkEnd::kEndOfImage:
        case WalkEnd::kStopped:
            return found;
        case WalkEnd::kNoStart:
            return StreamCompleteness::kNoStart;
        case WalkEnd::kMalformed:
            return StreamCompleteness::kMalformed;
        case WalkEnd::kNoEnd:
            break;
    }
    return StreamCompleteness::kNoEnd;
}

}  // namespace nvx
