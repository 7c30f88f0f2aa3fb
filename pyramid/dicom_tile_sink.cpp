/*
 * dicom_tile_sink.cpp - a level's frames appended to its instance, the
 * data set written at the first and the compression ratio at the end.
 */
#include "pyramid/dicom_tile_sink.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "dicom/data_set.h"
#include "dicom/jpeg_frame.h"
#include "pyramid/tile_worker.h"

namespace nvx::pyramid {

namespace {

// What is gathered before it is written.
constexpr std::size_t kGatheredBytes = std::size_t{1} << 20;

// The most a frame of `pixels` pixels takes: libjpeg-turbo's bound for a
// baseline stream (6 bytes a pixel, for 4:4:4), with room for the tables
// and markers a frame carries.
std::uint64_t LargestFrame(std::uint64_t pixels) { return pixels * 6 + (std::uint64_t{1} << 16); }

}  // namespace

bool GatheringSink::Write(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (gathered_.size() + length > kGatheredBytes && !Flush()) return false;
    if (length >= kGatheredBytes) return file_.Write(data, length);
    if (gathered_.capacity() < kGatheredBytes) gathered_.reserve(kGatheredBytes);
    gathered_.insert(gathered_.end(), bytes, bytes + length);
    return true;
}

bool GatheringSink::WriteAt(const void* data, std::size_t length, std::uint64_t offset) {
    return Flush() && file_.WriteAt(data, length, offset);
}

bool GatheringSink::Flush() {
    if (gathered_.empty()) return true;
    const bool written = file_.Write(gathered_.data(), gathered_.size());
    gathered_.clear();
    return written;
}

DicomTileSink::DicomTileSink(WritableFile* file, const dicom::WsmSlide& slide,
                             const dicom::WsmImage& image, const dicom::FileMeta& meta,
                             std::vector<std::uint8_t> tables, RunRecord* record,
                             std::int32_t level)
    : file_(file),
      bytes_(file),
      writer_(bytes_),
      slide_(slide),
      image_(image),
      meta_(meta),
      tables_(std::move(tables)),
      record_(record),
      level_(level) {}

TilePut DicomTileSink::Refuse(int code, std::int64_t index) {
    const TilePlace at = PlaceOfTile(
        index,
        static_cast<std::int64_t>((image_.columns + image_.tileColumns - 1) / image_.tileColumns),
        static_cast<std::int32_t>(image_.tileColumns));
    record_->Fail(Step::OfTile(Stage::WritingTile, level_, at.index, at.column, at.row),
                  code != 0 ? Cause::System : Cause::None, code);
    return TilePut::Refused;
}

bool DicomTileSink::Begin(std::span<const std::uint8_t> firstFrame) {
    if (!dicom::PhotometricOf(firstFrame, &image_.photometric)) return false;
    std::string why;
    const dicom::DataSet dataSet = HeadDataSet(slide_, image_, &why);
    if (dataSet.Empty()) return false;
    const std::uint32_t frames = dicom::FrameCount(image_);
    const dicom::OffsetTable table = dicom::OffsetTableFor(
        frames, LargestFrame(std::uint64_t{image_.tileColumns} * image_.tileRows));
    begun_ = writer_.Begin(meta_, dataSet, frames, table);
    return begun_;
}

bool DicomTileSink::Prepare(std::vector<std::uint8_t>* tile) const {
    if (dicom::CarriesTables(*tile)) return true;
    std::vector<std::uint8_t> frame;
    if (!dicom::SpliceTables(*tile, tables_, &frame)) return false;
    *tile = std::move(frame);
    return true;
}

TilePut DicomTileSink::Put(std::int64_t index, std::int64_t tileCount,
                           std::span<const std::uint8_t> tile) {
    if (tileCount != dicom::FrameCount(image_)) return Refuse(EINVAL, index);
    // Tiles come prepared from the level writer; a caller that did not
    // prepare them has them spliced here.
    std::span<const std::uint8_t> frame = tile;
    if (!dicom::CarriesTables(tile)) {
        if (!dicom::SpliceTables(tile, tables_, &frame_)) return Refuse(EINVAL, index);
        frame = frame_;
    }
    if (!begun_ && !Begin(frame)) return Refuse(writer_.Error(), index);
    // Every frame is baseline, of the instance's colour and sampling.
    dicom::FramePhotometric photometric;
    if (!dicom::PhotometricOf(frame, &photometric) || photometric != image_.photometric) {
        return Refuse(EINVAL, index);
    }
    if (!writer_.AppendFrame(frame)) return Refuse(writer_.Error(), index);
    frameBytes_ += frame.size();
    return TilePut::Written;
}

bool DicomTileSink::Finish() {
    if (!begun_ || !writer_.Finish() || !bytes_.Flush()) {
        const int code = writer_.Error();
        record_->Fail(Step::OfLevel(Stage::WritingLevelDirectory, level_),
                      code != 0 ? Cause::System : Cause::None, code);
        return false;
    }
    const double raw = double(dicom::FrameCount(image_)) * image_.tileColumns * image_.tileRows * 3;
    image_.compressionRatio = frameBytes_ > 0 ? raw / double(frameBytes_) : 1.0;
    return true;
}

WrittenInstance DicomTileSink::Written(const std::string& name) const {
    WrittenInstance written;
    written.file = file_;
    written.name = name;
    written.image = image_;
    written.headLength = writer_.HeadLength();
    written.step = Step::OfLevel(Stage::WritingLevelDirectory, level_);
    return written;
}

}  // namespace nvx::pyramid
