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

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{p[i]} << (8 * i);
    return v;
}
uint64_t Get64(const uint8_t* p) {
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

void PutPicture(uint8_t* p, const PictureRef& r) {
    Put64(p, r.offset);
    Put32(p + 8, r.length);
    Put32(p + 12, r.width);
    Put32(p + 16, r.height);
    Put32(p + 20, r.crc);
}
PictureRef GetPicture(const uint8_t* p) {
    return PictureRef{Get64(p), Get32(p + 8), Get32(p + 12), Get32(p + 16), Get32(p + 20)};
}

}  // namespace

std::vector<LevelShape> LevelShapes(uint32_t width, uint32_t height, uint32_t tileSize) {
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

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t previous) {
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

std::array<uint8_t, kHeaderSize> EncodeHeader(const Header& h) {
    std::array<uint8_t, kHeaderSize> b{};
    std::memcpy(b.data(), kMagic.data(), kMagic.size());
    Put32(&b[kOffVersion], kFormatVersion);
    Put32(&b[kOffHeaderSize], kHeaderSize);
    Put32(&b[kOffWidth], h.width);
    Put32(&b[kOffHeight], h.height);
    Put32(&b[kOffMagnification], h.scanMagnification);
    Put32(&b[kOffTileSize], h.tileSize);
    Put32(&b[kOffMpp], std::bit_cast<uint32_t>(h.micronsPerPixel));
    Put32(&b[kOffAuxFloat], std::bit_cast<uint32_t>(h.auxFloat));
    Put64(&b[kOffAuxDouble], std::bit_cast<uint64_t>(h.auxDouble));
    Put32(&b[kOffLevelCount], h.levelCount);
    Put32(&b[kOffLevelTableCrc], h.levelTableCrc);
    Put64(&b[kOffLevelTable], h.levelTableOffset);
    Put64(&b[kOffFileSize], h.fileSize);
    PutPicture(&b[kOffLabel], h.label);
    PutPicture(&b[kOffPreview], h.preview);
    Put32(&b[kOffHeaderCrc], Crc32({b.data(), kOffHeaderCrc}));
    return b;
}

std::optional<Header> DecodeHeader(std::span<const uint8_t> b) {
    if (b.size() < kHeaderSize) return std::nullopt;
    if (std::memcmp(b.data(), kMagic.data(), kMagic.size()) != 0) return std::nullopt;
    if (Get32(&b[kOffVersion]) != kFormatVersion) return std::nullopt;
    if (Get32(&b[kOffHeaderSize]) != kHeaderSize) return std::nullopt;
    if (!ChecksumMatches(Get32(&b[kOffHeaderCrc]), Crc32(b.first(kOffHeaderCrc))))
        return std::nullopt;
    Header h;
    h.width = Get32(&b[kOffWidth]);
    h.height = Get32(&b[kOffHeight]);
    h.scanMagnification = Get32(&b[kOffMagnification]);
    h.tileSize = Get32(&b[kOffTileSize]);
    h.micronsPerPixel = std::bit_cast<float>(Get32(&b[kOffMpp]));
    h.auxFloat = std::bit_cast<float>(Get32(&b[kOffAuxFloat]));
    h.auxDouble = std::bit_cast<double>(Get64(&b[kOffAuxDouble]));
    h.levelCount = Get32(&b[kOffLevelCount]);
    h.levelTableCrc = Get32(&b[kOffLevelTableCrc]);
    h.levelTableOffset = Get64(&b[kOffLevelTable]);
    h.fileSize = Get64(&b[kOffFileSize]);
    h.label = GetPicture(&b[kOffLabel]);
    h.preview = GetPicture(&b[kOffPreview]);
    return h;
}

void EncodeLevelRecord(const LevelRecord& l, uint8_t* out) {
    std::memset(out, 0, kLevelRecordSize);
    Put32(out, l.width);
    Put32(out + 4, l.height);
    Put32(out + 8, l.columns);
    Put32(out + 12, l.rows);
    Put64(out + 16, l.indexOffset);
    Put32(out + 24, l.indexCrc);
}

LevelRecord DecodeLevelRecord(const uint8_t* in) {
    return LevelRecord{Get32(in),      Get32(in + 4),  Get32(in + 8),
                       Get32(in + 12), Get64(in + 16), Get32(in + 24)};
}

void EncodeTileEntry(const TileEntry& e, uint8_t* out) {
    Put64(out, e.offset);
    Put32(out + 8, e.length);
    Put32(out + 12, e.crc);
}

TileEntry DecodeTileEntry(const uint8_t* in) {
    return TileEntry{Get64(in), Get32(in + 8), Get32(in + 12)};
}

}  // namespace nvx
