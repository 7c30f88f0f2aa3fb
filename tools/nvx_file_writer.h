/*
 * nvx_file_writer.h - writes one nvx file: tile streams as they come (equal
 * streams stored once), then the tile indices, the level table, the pictures
 * and finally the header.
 *
 * The file is written as the converter writes its output: through a
 * publishing file (common/publishing_file.h) beside the target, renamed
 * only by Commit(), so a failed run never leaves a half-written slide; the
 * temporary file is removed when the writer is destroyed uncommitted.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/publishing_file.h"
#include "nvxlib/nvx_format.h"

namespace nvxmake {

class NvxFileWriter {
public:
    explicit NvxFileWriter(std::string target);  // throws std::runtime_error
    ~NvxFileWriter();
    NvxFileWriter(const NvxFileWriter&) = delete;
    NvxFileWriter& operator=(const NvxFileWriter&) = delete;

    // Stores a tile's JPEG stream (or finds an equal one stored before).
    nvx::TileEntry AddStream(std::span<const uint8_t> stream);
    nvx::PictureRef AddPicture(std::span<const uint8_t> jpeg, uint32_t width, uint32_t height);

    // Writes the indices, level table and header, then renames into place.
    // `levels` holds each level's entries, row-major.
    void Commit(nvx::Header header, const std::vector<std::vector<nvx::TileEntry>>& levels);

private:
    uint64_t Append(std::span<const uint8_t> bytes);
    bool StoredEquals(const nvx::TileEntry& e, std::span<const uint8_t> bytes) const;

    std::string target_;
    std::unique_ptr<nvx::PublishingFile> file_;
    uint64_t end_ = nvx::kHeaderSize;
    std::unordered_multimap<uint64_t, nvx::TileEntry> byHash_;
};

}  // namespace nvxmake
