/*
 * slide_file.cpp - opening and validating an nvx file. The order of checks
 * follows the order of trust: the header (checksum, then every value against
 * the real file size), then the level table, then each tile index.
 */
#include "nvxlib/slide_file.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <optional>
#include <span>
#include <string_view>

namespace nvx {
namespace {

// Tile index entries read at once while opening.
constexpr uint64_t kIndexChunkEntries = 65536;

bool Fail(std::string* why, const char* text) {
    if (why) *why = text;
    return false;
}

// [offset, offset + length) lies inside the file and after the header.
bool InFile(uint64_t offset, uint64_t length, uint64_t fileSize) {
    return offset >= kHeaderSize && offset <= fileSize && length <= fileSize - offset;
}

bool PictureValid(const PictureRef& p, uint64_t fileSize) {
    if (p.length == 0) return p.offset == 0 && p.width == 0 && p.height == 0;
    return p.length <= kMaxStreamLength && InFile(p.offset, p.length, fileSize) && p.width >= 1 &&
           p.height >= 1 && p.width <= kMaxPictureSide && p.height <= kMaxPictureSide;
}

bool HeaderValid(const Header& h, uint64_t fileSize, std::string* why) {
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Truncation shows here first; every offset is also checked against the
    // real size below, so fuzzing builds may skip this to get further.
    if (h.fileSize != fileSize) return Fail(why, "file size differs from header (truncated?)");
#endif
    if (h.width == 0 || h.height == 0 || h.width > 0x7fffffffu || h.height > 0x7fffffffu)
        return Fail(why, "bad slide size");
    if (!IsSupportedTileSize(h.tileSize)) return Fail(why, "bad tile size");
    if (h.scanMagnification == 0 || h.scanMagnification > kMaxMagnification)
        return Fail(why, "bad scan magnification");
    if (!std::isfinite(h.micronsPerPixel) || h.micronsPerPixel < 0)
        return Fail(why, "bad microns per pixel");
    if (h.levelCount != LevelShapes(h.width, h.height, h.tileSize).size())
        return Fail(why, "level count does not match the slide size");
    if (!InFile(h.levelTableOffset, uint64_t{h.levelCount} * kLevelRecordSize, fileSize))
        return Fail(why, "level table outside the file");
    if (!PictureValid(h.label, fileSize)) return Fail(why, "bad label reference");
    if (!PictureValid(h.preview, fileSize)) return Fail(why, "bad preview reference");
    return true;
}

// Opens the file and reads its header, checked against the file's real size
// (`fileSize`). `header` is set only when every check passes.
bool OpenHeader(ReadOnlyFile& file, const char* path, Header* header, uint64_t* fileSize,
                std::string* why) {
    // A FIFO given as the path does not hang the open; it is refused below
    // as not a regular file.
    std::string reason;
    if (!file.Open(path, &reason)) return Fail(why, ("cannot open the file: " + reason).c_str());
    if (!file.RegularFileSize(fileSize)) return Fail(why, "not a regular file");

    std::array<uint8_t, kHeaderSize> raw{};
    if (*fileSize < kHeaderSize || !file.ReadAt(raw.data(), raw.size(), 0))
        return Fail(why, "file too short for an nvx header");
    const auto decoded = DecodeHeader(raw);
    if (!decoded) return Fail(why, "not an nvx file, or its header is damaged");
    if (!HeaderValid(*decoded, *fileSize, why)) return false;
    *header = *decoded;
    return true;
}

// Checks one level's record against the level's shape (`level->shape`) and
// reads its tile index into `level->tiles`. The index is read and checked in
// pieces: an index the header only claims (a hole of zeros in a sparse file,
// say) is refused at its first bad entry, before memory for all of it is taken.
bool ReadLevelIndex(const ReadOnlyFile& file, const LevelRecord& rec, uint64_t fileSize,
                    StoredLevel* level, std::string* why) {
    const LevelShape& want = level->shape;
    if (rec.width != want.width || rec.height != want.height || rec.columns != want.columns ||
        rec.rows != want.rows)
        return Fail(why, "level geometry does not match the slide size");
    const uint64_t count = uint64_t{rec.columns} * rec.rows;
    const uint64_t bytes = count * kTileEntrySize;
    if (!InFile(rec.indexOffset, bytes, fileSize)) return Fail(why, "tile index outside the file");
    std::vector<uint8_t> chunk(std::min<uint64_t>(bytes, kIndexChunkEntries * kTileEntrySize));
    uint32_t crc = 0;
    for (uint64_t first = 0; first < count; first += kIndexChunkEntries) {
        const uint64_t n = std::min<uint64_t>(kIndexChunkEntries, count - first);
        const std::span<uint8_t> piece(chunk.data(), n * kTileEntrySize);
        if (!file.ReadAt(piece.data(), piece.size(), rec.indexOffset + first * kTileEntrySize))
            return Fail(why, "tile index damaged");
        crc = Crc32(piece, crc);
        for (uint64_t i = 0; i < n; ++i) {
            const TileEntry e = DecodeTileEntry(&piece[i * kTileEntrySize]);
            if (e.length == 0 || e.length > kMaxStreamLength ||
                !InFile(e.offset, e.length, fileSize))
                return Fail(why, "tile entry points outside the file");
            level->tiles.push_back(e);
        }
    }
    if (!ChecksumMatches(rec.indexCrc, crc)) return Fail(why, "tile index damaged");
    return true;
}

}  // namespace

std::unique_ptr<SlideFile> SlideFile::Open(const char* path, std::string* why) {
    if (path == nullptr) {
        Fail(why, "no path");
        return nullptr;
    }
    auto slide = std::make_unique<SlideFile>();
    uint64_t fileSize = 0;
    if (!OpenHeader(slide->file_, path, &slide->header_, &fileSize, why)) return nullptr;
    const Header& header = slide->header_;

    const auto shapes = LevelShapes(header.width, header.height, header.tileSize);
    std::vector<uint8_t> table(size_t{header.levelCount} * kLevelRecordSize);
    if (!slide->file_.ReadAt(table.data(), table.size(), header.levelTableOffset) ||
        !ChecksumMatches(header.levelTableCrc, Crc32(table))) {
        Fail(why, "level table damaged");
        return nullptr;
    }
    for (uint32_t k = 0; k < header.levelCount; ++k) {
        StoredLevel level{shapes[k], {}};
        const LevelRecord record = DecodeLevelRecord(&table[size_t{k} * kLevelRecordSize]);
        if (!ReadLevelIndex(slide->file_, record, fileSize, &level, why)) return nullptr;
        slide->levels_.push_back(std::move(level));
    }
    return slide;
}

JpegSize SlideFile::TilePixels(uint32_t level, uint32_t column, uint32_t row) const {
    const LevelShape& s = levels_[level].shape;
    const uint32_t t = header_.tileSize;
    return JpegSize{static_cast<int>(std::min(t, s.width - column * t)),
                    static_cast<int>(std::min(t, s.height - row * t))};
}

MallocBuffer SlideFile::ReadChecked(uint64_t offset, uint32_t length, uint32_t crc) const {
    MallocBuffer b = AllocateBuffer(length);
    if (!b) throw std::bad_alloc();
    if (!file_.ReadAt(b.data.get(), length, offset) ||
        !ChecksumMatches(crc, Crc32({b.data.get(), b.size})))
        return {};
    return b;
}

MallocBuffer SlideFile::ReadTile(uint32_t level, uint32_t column, uint32_t row) const {
    if (level >= levels_.size()) return {};
    const StoredLevel& l = levels_[level];
    if (column >= l.shape.columns || row >= l.shape.rows) return {};
    const TileEntry& e = l.tiles[size_t{row} * l.shape.columns + column];
    return ReadChecked(e.offset, e.length, e.crc);
}

MallocBuffer SlideFile::ReadPicture(const PictureRef& p) const {
    if (p.length == 0) return {};
    return ReadChecked(p.offset, p.length, p.crc);
}

// Every value goes in as fixed-width little-endian bytes after a name of
// the layout, and every stored stream's bytes after its length, so that no
// two different slides can give the same input; a change of what goes in
// changes the name. The streams are read here, in the order the index
// gives them: the label, the preview, then each level's tiles row by row.
std::optional<Sha256::Digest> SlideFile::ContentDigest() const {
    Sha256 hash;
    hash.Update(std::string_view("nvx slide content 2"));
    std::array<uint8_t, 8> word{};
    const auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) word[size_t(i)] = static_cast<uint8_t>(v >> (8 * i));
        hash.Update(std::span<const uint8_t>(word.data(), 4));
    };
    const auto put64 = [&](uint64_t v) {
        for (int i = 0; i < 8; ++i) word[size_t(i)] = static_cast<uint8_t>(v >> (8 * i));
        hash.Update(std::span<const uint8_t>(word.data(), 8));
    };
    std::vector<uint8_t> stream;
    const auto putStream = [&](uint64_t offset, uint32_t length) {
        put32(length);
        stream.resize(length);
        if (!file_.ReadAt(stream.data(), length, offset)) return false;
        hash.Update(stream);
        return true;
    };
    const Header& h = header_;
    for (uint32_t v :
         {h.width, h.height, h.scanMagnification, h.tileSize,
          std::bit_cast<uint32_t>(h.micronsPerPixel), std::bit_cast<uint32_t>(h.auxFloat)})
        put32(v);
    put64(std::bit_cast<uint64_t>(h.auxDouble));
    for (const PictureRef* p : {&h.label, &h.preview}) {
        for (uint32_t v : {p->width, p->height}) put32(v);
        if (!putStream(p->offset, p->length)) return std::nullopt;
    }
    put32(static_cast<uint32_t>(levels_.size()));
    for (const StoredLevel& level : levels_) {
        for (uint32_t v :
             {level.shape.width, level.shape.height, level.shape.columns, level.shape.rows})
            put32(v);
        for (const TileEntry& tile : level.tiles)
            if (!putStream(tile.offset, tile.length)) return std::nullopt;
    }
    return hash.Finish();
}

}  // namespace nvx
