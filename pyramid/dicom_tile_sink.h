/*
 * dicom_tile_sink.h - a level's DICOM instance as the level writer's tile
 * sink: each tile the level writer hands over, made a complete JPEG
 * stream, is appended as the instance's next frame, and its bytes are
 * gathered into large writes.
 */
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/native_file.h"
#include "common/run_record.h"
#include "dicom/instance_writer.h"
#include "dicom/wsm_instance.h"
#include "pyramid/dicom_instance_heads.h"
#include "pyramid/tile_sink.h"

namespace nvx::pyramid {

// The instance's bytes gathered into large writes: a frame is three
// small writes (its item header, its stream, its pad byte) otherwise.
class GatheringSink : public dicom::ByteSink {
public:
    explicit GatheringSink(WritableFile* file) : file_(*file) {}
    bool Write(const void* data, std::size_t length) override;
    // Writes out what is gathered first: the bytes at `offset` may be
    // among them.
    bool WriteAt(const void* data, std::size_t length, std::uint64_t offset) override;
    int Error() const override { return file_.Error(); }
    // Writes out what is gathered.
    bool Flush();

private:
    WritableFile& file_;
    std::vector<std::uint8_t> gathered_;
};

// A level's instance, its frames appended as the level writer hands them
// over. The data set is written at the first frame, when the frames'
// photometric interpretation is known, with placeholder UIDs and ratio;
// the offset table, known only after the last frame, is filled in its
// room by the writer, and the data set is made final at the end of the
// run (dicom_instance_heads.h), from what Written gives. The table is the
// Basic one when the level's frames cannot pass 4 GiB whatever they hold,
// the Extended one otherwise.
class DicomTileSink : public TileSink {
public:
    // `tables`: the level's JPEGTables, for its abbreviated tiles; empty
    // for a level whose tiles are all complete.
    DicomTileSink(WritableFile* file, const dicom::WsmSlide& slide, const dicom::WsmImage& image,
                  const dicom::FileMeta& meta, std::vector<std::uint8_t> tables, RunRecord* record,
                  std::int32_t level);
    // Splices the level's tables into an abbreviated tile.
    bool Prepare(std::vector<std::uint8_t>* tile) const override;
    TilePut Put(std::int64_t index, std::int64_t tileCount,
                std::span<const std::uint8_t> tile) override;
    RunRecord* Record() const override { return record_; }
    // Ends the pixel data. False (in the record) when that fails or not
    // every frame came.
    bool Finish();
    // The instance as written (its file named `name`), its compression
    // ratio known once Finish has passed.
    WrittenInstance Written(const std::string& name) const;

private:
    bool Begin(std::span<const std::uint8_t> firstFrame);
    TilePut Refuse(int code, std::int64_t index);

    WritableFile* const file_;
    GatheringSink bytes_;
    dicom::InstanceWriter writer_;
    const dicom::WsmSlide& slide_;
    dicom::WsmImage image_;
    const dicom::FileMeta meta_;
    const std::vector<std::uint8_t> tables_;
    RunRecord* const record_;
    const std::int32_t level_;
    std::vector<std::uint8_t> frame_;  // the spliced frame, reused
    std::uint64_t frameBytes_ = 0;
    bool begun_ = false;
};

}  // namespace nvx::pyramid
