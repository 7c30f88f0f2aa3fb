/*
 * instance_writer.h - writes one DICOM file (a Part 10 instance) front to
 * back, never seeking: the 128-byte preamble, "DICM", the file meta group,
 * the data set in explicit VR little endian, then the pixel data
 * encapsulated: an offset table item, one item per frame as the frames
 * come, and the sequence delimiter. Frames go straight to the file; none
 * is kept.
 *
 * The offset table is filled when the caller knows every frame's size
 * before the first is written, and left empty otherwise (a reader then
 * finds the frames by walking their items). Each frame is padded to an
 * even length with a zero byte after its EOI, as JPEG decoders ignore it.
 *
 * Every write is checked: the first that fails stops the instance, and
 * its system error code stays in Error(). A call out of order or a frame
 * that breaks what Begin was told fails with EINVAL, an offset table or
 * frame too large for the 32-bit lengths with EOVERFLOW.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/native_file.h"
#include "dicom/data_set.h"

namespace nvx::dicom {

// Where the instance's bytes go. Write writes everything or fails with the
// system's error code kept in Error().
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool Write(const void* data, std::size_t length) = 0;
    virtual int Error() const = 0;
};

// A sink over a file this program made, written at its own position.
class FileSink : public ByteSink {
public:
    explicit FileSink(WritableFile& file) : file_(file) {}
    bool Write(const void* data, std::size_t length) override { return file_.Write(data, length); }
    int Error() const override { return file_.Error(); }

private:
    WritableFile& file_;
};

inline constexpr const char* kJpegBaselineTransferSyntax = "1.2.840.10008.1.2.4.50";

struct FileMeta {
    std::string sopClassUid;
    std::string sopInstanceUid;
    std::string transferSyntaxUid = kJpegBaselineTransferSyntax;
    std::string implementationClassUid;
    std::string implementationVersionName;  // left out when empty
};

// The file meta group's encoding, its group length first.
std::vector<std::uint8_t> EncodeFileMeta(const FileMeta& meta);

class InstanceWriter {
public:
    explicit InstanceWriter(ByteSink& sink) : sink_(sink) {}
    InstanceWriter(const InstanceWriter&) = delete;
    InstanceWriter& operator=(const InstanceWriter&) = delete;

    // Writes the preamble, the file meta group, `dataSet` (which holds
    // neither file meta elements nor any at or after the pixel data) and
    // the start of the pixel data with its offset table, for `frameCount`
    // frames. `frameSizes`, when not empty, are the sizes of all the
    // frames as AppendFrame will be given them, and fill the table.
    bool Begin(const FileMeta& meta, const DataSet& dataSet, std::uint32_t frameCount,
               std::span<const std::size_t> frameSizes = {});
    // Writes the next frame as an item.
    bool AppendFrame(std::span<const std::uint8_t> frame);
    // Ends the pixel data once every frame was appended.
    bool Finish();

    // The system's error code of the write that failed, or EINVAL or
    // EOVERFLOW; 0 while nothing has failed.
    int Error() const { return error_; }

private:
    bool Fail(int code);
    bool Put(const void* data, std::size_t length);

    ByteSink& sink_;
    enum class State { Start, Frames, Done, Failed } state_ = State::Start;
    std::uint32_t frameCount_ = 0;
    std::uint32_t framesWritten_ = 0;
    std::vector<std::size_t> frameSizes_;  // empty when the table is
    int error_ = 0;
};

}  // namespace nvx::dicom
