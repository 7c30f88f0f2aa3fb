/*
 * instance_writer.h - writes one DICOM file (a Part 10 instance) front to
 * back: the 128-byte preamble, "DICM", the file meta group, the data set in
 * explicit VR little endian, then the pixel data encapsulated: an offset
 * table item, one item per frame as the frames come, and the sequence
 * delimiter. Frames go straight to the file; none is kept.
 *
 * Where each frame's item starts is told by an offset table, so that a
 * reader goes straight to frame k: the Basic Offset Table (32-bit offsets,
 * the first item of the pixel data) for an instance whose frames surely
 * lie within 4 GiB, the Extended Offset Table with its lengths (64-bit,
 * two elements just before the pixel data) for one that may pass it. A
 * data set may carry only one of them: with the Extended table, the Basic
 * one stays empty. The table's room is reserved when the data set is
 * written, and the table is filled by Finish, the only write that goes
 * back; a table the caller knows before the first frame (every frame's
 * size) is written at once instead. Each frame is padded to an even
 * length with a zero byte after its EOI, as JPEG decoders ignore it.
 *
 * Every write is checked: the first that fails stops the instance, and
 * its system error code stays in Error(). A call out of order or a frame
 * that breaks what Begin was told fails with EINVAL, an offset table or
 * frame too large for its 32-bit fields with EOVERFLOW.
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

// Where the instance's bytes go. Write writes everything at the end of
// what was written, WriteAt over bytes already written at `offset` from the
// instance's start; each fails with the system's error code kept in Error().
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool Write(const void* data, std::size_t length) = 0;
    virtual bool WriteAt(const void* data, std::size_t length, std::uint64_t offset) = 0;
    virtual int Error() const = 0;
};

// A sink over a file this program made, written at its own position.
class FileSink : public ByteSink {
public:
    explicit FileSink(WritableFile& file) : file_(file) {}
    bool Write(const void* data, std::size_t length) override { return file_.Write(data, length); }
    bool WriteAt(const void* data, std::size_t length, std::uint64_t offset) override {
        return file_.WriteAt(data, length, offset);
    }
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

// The table that tells where the frames are.
enum class OffsetTable {
    Basic,     // 32-bit offsets in the pixel data's first item
    Extended,  // 64-bit offsets and lengths before the pixel data
};

// The table for `frameCount` frames of at most `largestFrame` bytes each:
// Basic when every frame's offset surely fits 32 bits, Extended otherwise.
OffsetTable OffsetTableFor(std::uint32_t frameCount, std::uint64_t largestFrame);

// The start of an instance as Begin writes it: the preamble, the file meta
// group and `dataSet`, which ends before the offset tables and the pixel
// data. 0, or EINVAL as Begin would fail on `dataSet`.
int EncodeHead(const FileMeta& meta, const DataSet& dataSet, std::vector<std::uint8_t>* head);

class InstanceWriter {
public:
    explicit InstanceWriter(ByteSink& sink) : sink_(sink) {}
    InstanceWriter(const InstanceWriter&) = delete;
    InstanceWriter& operator=(const InstanceWriter&) = delete;

    // Writes the preamble, the file meta group, `dataSet` (which holds
    // neither file meta elements nor any from the offset tables on) and
    // the start of the pixel data with room for a `table` of `frameCount`
    // frames, which Finish fills.
    bool Begin(const FileMeta& meta, const DataSet& dataSet, std::uint32_t frameCount,
               OffsetTable table);
    // The same with the Basic table filled at once from `frameSizes`, the
    // sizes of all the frames as AppendFrame will be given them.
    bool Begin(const FileMeta& meta, const DataSet& dataSet,
               std::span<const std::size_t> frameSizes);
    // Writes the next frame as an item.
    bool AppendFrame(std::span<const std::uint8_t> frame);
    // Ends the pixel data once every frame was appended, and fills the
    // offset table's room.
    bool Finish();

    // The system's error code of the write that failed, or EINVAL or
    // EOVERFLOW; 0 while nothing has failed.
    int Error() const { return error_; }
    // The bytes of the head EncodeHead makes, the first Begin wrote: one
    // encoded again with values of the same lengths may be written over
    // them, and never reaches the offset tables or the frames.
    std::size_t HeadLength() const { return headLength_; }

private:
    bool Start(const FileMeta& meta, const DataSet& dataSet, std::uint32_t frameCount,
               OffsetTable table, std::span<const std::size_t> frameSizes);
    bool Fail(int code);
    bool Put(const void* data, std::size_t length);

    ByteSink& sink_;
    enum class State { Start, Frames, Done, Failed } state_ = State::Start;
    std::uint32_t frameCount_ = 0;
    std::uint32_t framesWritten_ = 0;
    OffsetTable table_ = OffsetTable::Basic;
    std::vector<std::size_t> frameSizes_;  // given to Begin; empty when not
    std::uint64_t written_ = 0;            // the bytes written so far
    std::uint64_t tableAt_ = 0;            // where the table's room starts
    std::uint64_t firstItemAt_ = 0;        // where the first frame's item starts
    std::vector<std::uint64_t> offsets_;   // of each frame's item from the first's
    std::vector<std::uint64_t> lengths_;   // of each frame's item value
    std::size_t headLength_ = 0;           // the preamble's, file meta's and data set's
    int error_ = 0;
};

}  // namespace nvx::dicom
