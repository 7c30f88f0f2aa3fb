/*
 * nvx_format.cpp - byte-exact encoding of the nvx header, level records and
 * tile index entries (all little-endian), plus the level geometry rule.
 */
#include "nvxlib/nvx_format.h"

#include <bit>
#include <cstring>

#include <zlib.h>

namespace nvx {
namespace {

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{p[i]} << (8 * i);
    return v;
}
uint64_t get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
    return v;
}

// Header field positions. The checksum covers every byte before it.
enum : size_t {
    kOffVersion = 8,
    kOffHeaderSize = 12,
    kOffWidth = 16,
    kOffHeight = 20,
    kOffMagnification = 24,
    kOffTileSize = 28,
    kOffMpp = 32,
    kOffAuxFloat = 36,
    kOffAuxDouble = 40,
    kOffLevelCount = 48,
    kOffLevelTableCrc = 52,
    kOffLevelTable = 56,
    kOffFileSize = 64,
    kOffLabel = 72,    // offset u64, length, width, height, crc (u32 each)
    kOffPreview = 96,  // same layout
    kOffHeaderCrc = 124,
};

void putPicture(uint8_t* p, const PictureRef& r) {
    put64(p, r.offset);
    put32(p + 8, r.length);
    put32(p + 12, r.width);
    put32(p + 16, r.height);
    put32(p + 20, r.crc);
}
PictureRef getPicture(const uint8_t* p) {
    return PictureRef{get64(p), get32(p + 8), get32(p + 12), get32(p + 16), get32(p + 20)};
}

}  // namespace

std::vector<LevelShape> levelShapes(uint32_t width, uint32_t height, uint32_t tileSize) {
    std::vector<LevelShape> shapes;
    if (width == 0 || height == 0 || tileSize == 0) return shapes;
    for (uint32_t k = 0; k < kMaxLevels; ++k) {
        const uint32_t w = width >> k;
        const uint32_t h = height >> k;
        shapes.push_back({w, h, (w + tileSize - 1) / tileSize, (h + tileSize - 1) / tileSize});
        if ((w <= tileSize && h <= tileSize) || w < 2 || h < 2) break;
    }
    return shapes;
}

uint32_t crc32(std::span<const uint8_t> bytes, uint32_t previous) {
    uLong crc = previous;  // zlib continues from a finished CRC
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {  // zlib takes a 32-bit length
        const uInt chunk = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
        crc = ::crc32(crc, p, chunk);
        p += chunk;
        left -= chunk;
    }
    return static_cast<uint32_t>(crc);
}

std::array<uint8_t, kHeaderSize> encodeHeader(const Header& h) {
    std::array<uint8_t, kHeaderSize> b{};
    std::memcpy(b.data(), kMagic.data(), kMagic.size());
    put32(&b[kOffVersion], kFormatVersion);
    put32(&b[kOffHeaderSize], kHeaderSize);
    put32(&b[kOffWidth], h.width);
    put32(&b[kOffHeight], h.height);
    put32(&b[kOffMagnification], h.scanMagnification);
    put32(&b[kOffTileSize], h.tileSize);
    put32(&b[kOffMpp], std::bit_cast<uint32_t>(h.micronsPerPixel));
    put32(&b[kOffAuxFloat], std::bit_cast<uint32_t>(h.auxFloat));
    put64(&b[kOffAuxDouble], std::bit_cast<uint64_t>(h.auxDouble));
    put32(&b[kOffLevelCount], h.levelCount);
    put32(&b[kOffLevelTableCrc], h.levelTableCrc);
    put64(&b[kOffLevelTable], h.levelTableOffset);
    put64(&b[kOffFileSize], h.fileSize);
    putPicture(&b[kOffLabel], h.label);
    putPicture(&b[kOffPreview], h.preview);
    put32(&b[kOffHeaderCrc], crc32({b.data(), kOffHeaderCrc}));
    return b;
}

std::optional<Header> decodeHeader(std::span<const uint8_t> b) {
    if (b.size() < kHeaderSize) return std::nullopt;
    if (std::memcmp(b.data(), kMagic.data(), kMagic.size()) != 0) return std::nullopt;
    if (get32(&b[kOffVersion]) != kFormatVersion) return std::nullopt;
    if (get32(&b[kOffHeaderSize]) != kHeaderSize) return std::nullopt;
    if (!checksumMatches(get32(&b[kOffHeaderCrc]), crc32(b.first(kOffHeaderCrc))))
        return std::nullopt;
    Header h;
    h.width = get32(&b[kOffWidth]);
    h.height = get32(&b[kOffHeight]);
    h.scanMagnification = get32(&b[kOffMagnification]);
    h.tileSize = get32(&b[kOffTileSize]);
    h.micronsPerPixel = std::bit_cast<float>(get32(&b[kOffMpp]));
    h.auxFloat = std::bit_cast<float>(get32(&b[kOffAuxFloat]));
    h.auxDouble = std::bit_cast<double>(get64(&b[kOffAuxDouble]));
    h.levelCount = get32(&b[kOffLevelCount]);
    h.levelTableCrc = get32(&b[kOffLevelTableCrc]);
    h.levelTableOffset = get64(&b[kOffLevelTable]);
    h.fileSize = get64(&b[kOffFileSize]);
    h.label = getPicture(&b[kOffLabel]);
    h.preview = getPicture(&b[kOffPreview]);
    return h;
}

void encodeLevelRecord(const LevelRecord& l, uint8_t* out) {
    std::memset(out, 0, kLevelRecordSize);
    put32(out, l.width);
    put32(out + 4, l.height);
    put32(out + 8, l.columns);
    put32(out + 12, l.rows);
    put64(out + 16, l.indexOffset);
    put32(out + 24, l.indexCrc);
}

LevelRecord decodeLevelRecord(const uint8_t* in) {
    return LevelRecord{get32(in),      get32(in + 4),  get32(in + 8),
                       get32(in + 12), get64(in + 16), get32(in + 24)};
}

void encodeTileEntry(const TileEntry& e, uint8_t* out) {
    put64(out, e.offset);
    put32(out + 8, e.length);
    put32(out + 12, e.crc);
}

TileEntry decodeTileEntry(const uint8_t* in) {
    return TileEntry{get64(in), get32(in + 8), get32(in + 12)};
}

}  // namespace nvx
