/*
 * nvx_file_writer.cpp - the writing side of the nvx format. Streams are
 * appended with write(); a hash of each stream finds earlier equal streams,
 * which are compared byte for byte (read back from the file) before being
 * shared, so a hash collision can never alias two different tiles.
 */
#include "tools/nvx_file_writer.h"

#include "common/interrupt_handling.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include <unistd.h>

namespace nvxmake {
namespace {

void WriteAll(nvx::WritableFile& file, const void* data, size_t length, uint64_t offset,
              const std::string& what) {
    if (!file.WriteAt(data, length, offset))
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

// What nvxmake says when a signal ends it, from inside the handler.
void AnnounceInterruption(int, bool published) {
    nvx::WriteToStandardError(
        published ? "nvxmake: stopped by a signal; the new slide was already in place\n"
                  : "nvxmake: stopped by a signal; the slide was not written\n");
}

// The converter's handling: the temporary file, which the publishing file
// registers, is removed on every signal that ends a run (Ctrl-C, kill, a
// closed pipe, SIGQUIT, a CPU limit), when no destructor would run.
void CatchInterruptions() {
    static const bool installed = (nvx::InstallInterruptHandling(AnnounceInterruption), true);
    (void)installed;
}

uint64_t HashOf(std::span<const uint8_t> bytes) {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

NvxFileWriter::NvxFileWriter(std::string target) : target_(std::move(target)) {
    CatchInterruptions();
    std::string reason;
    file_ = nvx::PublishingFile::Create(nvx::ResolveOutputTarget(target_), &reason);
    if (!file_) throw std::runtime_error("cannot create " + target_ + ": " + reason);
    const std::array<uint8_t, nvx::kHeaderSize> blank{};
    WriteAll(file_->file(), blank.data(), blank.size(), 0,
             "cannot write " + file_->temporaryPath());
}

NvxFileWriter::~NvxFileWriter() = default;

uint64_t NvxFileWriter::Append(std::span<const uint8_t> bytes) {
    const uint64_t at = end_;
    WriteAll(file_->file(), bytes.data(), bytes.size(), at,
             "cannot write " + file_->temporaryPath());
    end_ += bytes.size();
    return at;
}

bool NvxFileWriter::StoredEquals(const nvx::TileEntry& e, std::span<const uint8_t> bytes) const {
    if (e.length != bytes.size()) return false;
    std::vector<uint8_t> back(e.length);
    return file_->file().ReadAt(back.data(), back.size(), e.offset) &&
           std::memcmp(back.data(), bytes.data(), bytes.size()) == 0;
}

nvx::TileEntry NvxFileWriter::AddStream(std::span<const uint8_t> stream) {
    if (stream.empty() || stream.size() > nvx::kMaxStreamLength)
        throw std::runtime_error("tile stream of unusable size");
    const uint64_t hash = HashOf(stream);
    auto [first, last] = byHash_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        if (StoredEquals(it->second, stream)) return it->second;
    }
    nvx::TileEntry e{Append(stream), static_cast<uint32_t>(stream.size()), nvx::Crc32(stream)};
    byHash_.emplace(hash, e);
    return e;
}

nvx::PictureRef NvxFileWriter::AddPicture(std::span<const uint8_t> jpeg, uint32_t width,
                                          uint32_t height) {
    if (jpeg.empty() || jpeg.size() > nvx::kMaxStreamLength)
        throw std::runtime_error("picture of unusable size");
    return nvx::PictureRef{Append(jpeg), static_cast<uint32_t>(jpeg.size()), width, height,
                           nvx::Crc32(jpeg)};
}

void NvxFileWriter::Commit(nvx::Header header,
                           const std::vector<std::vector<nvx::TileEntry>>& levels) {
    const auto shapes = nvx::LevelShapes(header.width, header.height, header.tileSize);
    if (shapes.size() != levels.size()) throw std::runtime_error("level count mismatch");

    std::vector<uint8_t> table(levels.size() * nvx::kLevelRecordSize);
    for (size_t k = 0; k < levels.size(); ++k) {
        const nvx::LevelShape& s = shapes[k];
        if (levels[k].size() != size_t{s.columns} * s.rows)
            throw std::runtime_error("tile index incomplete");
        std::vector<uint8_t> index(levels[k].size() * nvx::kTileEntrySize);
        for (size_t i = 0; i < levels[k].size(); ++i)
            nvx::EncodeTileEntry(levels[k][i], &index[i * nvx::kTileEntrySize]);
        const nvx::LevelRecord rec{s.width, s.height,      s.columns,
                                   s.rows,  Append(index), nvx::Crc32(index)};
        nvx::EncodeLevelRecord(rec, &table[k * nvx::kLevelRecordSize]);
    }
    header.levelCount = static_cast<uint32_t>(levels.size());
    header.levelTableCrc = nvx::Crc32(table);
    header.levelTableOffset = Append(table);
    header.fileSize = end_;
    const auto bytes = nvx::EncodeHeader(header);
    WriteAll(file_->file(), bytes.data(), bytes.size(), 0,
             "cannot write " + file_->temporaryPath());
    // Only a file the disk holds whole may take the target's name.
    std::string reason;
    if (!file_->Publish(&reason)) throw std::runtime_error(reason);
}

}  // namespace nvxmake
