/*
 * instance_writer.cpp - the Part 10 layout, written front to back, and the
 * offset table filled in its room at the end.
 */
#include "dicom/instance_writer.h"

#include <cerrno>
#include <limits>
#include <utility>

namespace nvx::dicom {

namespace {

constexpr std::size_t kPreamble = 128;
constexpr std::uint32_t kLastMetaTag = Tag(0x0002, 0xFFFF);
constexpr std::uint32_t kExtendedOffsetTable = Tag(0x7FE0, 0x0001);
constexpr std::uint32_t kExtendedOffsetTableLengths = Tag(0x7FE0, 0x0002);
constexpr std::uint32_t kPixelData = Tag(0x7FE0, 0x0010);
constexpr std::uint16_t kDelimiterGroup = 0xFFFE;
constexpr std::uint16_t kItem = 0xE000;
constexpr std::uint16_t kSequenceDelimiter = 0xE0DD;
constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFF;
// An item's length is 32 bits and even, and 0xFFFFFFFF means undefined.
constexpr std::uint64_t kLargestItem = 0xFFFFFFFE;

std::uint64_t Padded(std::size_t size) { return std::uint64_t{size} + (size % 2); }

void AppendItemHeader(std::vector<std::uint8_t>* out, std::uint16_t element, std::uint32_t length) {
    AppendUint16(out, kDelimiterGroup);
    AppendUint16(out, element);
    AppendUint32(out, length);
}

// The header of an element whose VR takes a 4-byte length.
void AppendLongHeader(std::vector<std::uint8_t>* out, std::uint32_t tag, Vr vr,
                      std::uint32_t length) {
    AppendUint16(out, static_cast<std::uint16_t>(tag >> 16));
    AppendUint16(out, static_cast<std::uint16_t>(tag & 0xFFFF));
    out->insert(out->end(), {static_cast<std::uint8_t>(vr.letters[0]),
                             static_cast<std::uint8_t>(vr.letters[1]), 0, 0});
    AppendUint32(out, length);
}

void AppendUint64(std::vector<std::uint8_t>* out, std::uint64_t value) {
    AppendUint32(out, static_cast<std::uint32_t>(value & 0xFFFFFFFF));
    AppendUint32(out, static_cast<std::uint32_t>(value >> 32));
}

// The Extended Offset Table and its lengths, two OV elements of 8 bytes a
// frame; zeros until the frames are known.
void AppendExtendedTable(std::vector<std::uint8_t>* out, std::span<const std::uint64_t> offsets,
                         std::span<const std::uint64_t> lengths, std::uint32_t frameCount) {
    const std::pair<std::uint32_t, std::span<const std::uint64_t>> elements[] = {
        {kExtendedOffsetTable, offsets}, {kExtendedOffsetTableLengths, lengths}};
    for (const auto& [tag, values] : elements) {
        AppendLongHeader(out, tag, vr::kOV, frameCount * 8);
        for (std::uint32_t i = 0; i < frameCount; ++i)
            AppendUint64(out, i < values.size() ? values[i] : 0);
    }
}

}  // namespace

OffsetTable OffsetTableFor(std::uint32_t frameCount, std::uint64_t largestFrame) {
    constexpr std::uint64_t kLargestOffset = std::numeric_limits<std::uint32_t>::max();
    if (frameCount <= 1) return OffsetTable::Basic;
    if (largestFrame >= kLargestOffset) return OffsetTable::Extended;
    // The last frame's item lies past every other frame's item, each its
    // 8-byte header and its value padded to an even length.
    const std::uint64_t perFrame = 8 + largestFrame + 1;
    return std::uint64_t{frameCount - 1} <= kLargestOffset / perFrame ? OffsetTable::Basic
                                                                      : OffsetTable::Extended;
}

std::vector<std::uint8_t> EncodeFileMeta(const FileMeta& meta) {
    DataSet group;
    static constexpr std::uint8_t kVersion[] = {0x00, 0x01};
    group.SetBytes(Tag(0x0002, 0x0001), vr::kOB, kVersion);
    group.SetString(Tag(0x0002, 0x0002), vr::kUI, meta.sopClassUid);
    group.SetString(Tag(0x0002, 0x0003), vr::kUI, meta.sopInstanceUid);
    group.SetString(Tag(0x0002, 0x0010), vr::kUI, meta.transferSyntaxUid);
    group.SetString(Tag(0x0002, 0x0012), vr::kUI, meta.implementationClassUid);
    if (!meta.implementationVersionName.empty()) {
        group.SetString(Tag(0x0002, 0x0013), vr::kSH, meta.implementationVersionName);
    }
    std::vector<std::uint8_t> rest;
    group.Encode(&rest);
    DataSet length;
    length.SetUint32(Tag(0x0002, 0x0000), static_cast<std::uint32_t>(rest.size()));
    std::vector<std::uint8_t> encoded;
    length.Encode(&encoded);
    encoded.insert(encoded.end(), rest.begin(), rest.end());
    return encoded;
}

bool InstanceWriter::Fail(int code) {
    state_ = State::Failed;
    if (error_ == 0) error_ = code;
    return false;
}

bool InstanceWriter::Put(const void* data, std::size_t length) {
    if (sink_.Write(data, length)) {
        written_ += length;
        return true;
    }
    const int code = sink_.Error();
    return Fail(code != 0 ? code : EIO);
}

int EncodeHead(const FileMeta& meta, const DataSet& dataSet, std::vector<std::uint8_t>* head) {
    const auto& elements = dataSet.Elements();
    if (!elements.empty() && (elements.begin()->first <= kLastMetaTag ||
                              elements.rbegin()->first >= kExtendedOffsetTable)) {
        return EINVAL;
    }
    head->assign(kPreamble, 0);
    head->insert(head->end(), {'D', 'I', 'C', 'M'});
    const std::vector<std::uint8_t> fileMeta = EncodeFileMeta(meta);
    head->insert(head->end(), fileMeta.begin(), fileMeta.end());
    dataSet.Encode(head);
    return 0;
}

bool InstanceWriter::Begin(const FileMeta& meta, const DataSet& dataSet, std::uint32_t frameCount,
                           OffsetTable table) {
    return Start(meta, dataSet, frameCount, table, {});
}

bool InstanceWriter::Begin(const FileMeta& meta, const DataSet& dataSet,
                           std::span<const std::size_t> frameSizes) {
    if (frameSizes.size() > std::numeric_limits<std::uint32_t>::max()) return Fail(EOVERFLOW);
    return Start(meta, dataSet, static_cast<std::uint32_t>(frameSizes.size()), OffsetTable::Basic,
                 frameSizes);
}

bool InstanceWriter::Start(const FileMeta& meta, const DataSet& dataSet, std::uint32_t frameCount,
                           OffsetTable table, std::span<const std::size_t> frameSizes) {
    if (state_ != State::Start) return Fail(EINVAL);
    const std::uint64_t entry = table == OffsetTable::Basic ? 4 : 8;
    if (std::uint64_t{frameCount} * entry > kLargestItem) return Fail(EOVERFLOW);

    std::vector<std::uint8_t> head;
    if (const int error = EncodeHead(meta, dataSet, &head); error != 0) return Fail(error);
    const std::size_t headLength = head.size();
    if (table == OffsetTable::Extended) {
        tableAt_ = head.size();
        AppendExtendedTable(&head, {}, {}, frameCount);
    }

    // The pixel data element, undefined length, and its Basic Offset Table:
    // the offset of each frame's item from the first frame's item, or
    // nothing beside the Extended table.
    AppendLongHeader(&head, kPixelData, vr::kOB, kUndefinedLength);
    const std::uint32_t basicLength = table == OffsetTable::Basic ? frameCount * 4 : 0;
    AppendItemHeader(&head, kItem, basicLength);
    if (table == OffsetTable::Basic) tableAt_ = head.size();
    std::uint64_t offset = 0;
    for (const std::size_t size : frameSizes) {
        if (offset > std::numeric_limits<std::uint32_t>::max() || Padded(size) > kLargestItem) {
            return Fail(EOVERFLOW);
        }
        AppendUint32(&head, static_cast<std::uint32_t>(offset));
        offset += 8 + Padded(size);
    }
    if (frameSizes.empty()) head.resize(head.size() + basicLength, 0);
    firstItemAt_ = head.size();
    frameSizes_.assign(frameSizes.begin(), frameSizes.end());
    frameCount_ = frameCount;
    table_ = table;
    offsets_.reserve(frameCount);
    lengths_.reserve(frameCount);
    if (!Put(head.data(), head.size())) return false;
    headLength_ = headLength;
    state_ = State::Frames;
    return true;
}

bool InstanceWriter::AppendFrame(std::span<const std::uint8_t> frame) {
    if (state_ != State::Frames || framesWritten_ == frameCount_) return Fail(EINVAL);
    if (!frameSizes_.empty() && frameSizes_[framesWritten_] != frame.size()) return Fail(EINVAL);
    if (Padded(frame.size()) > kLargestItem) return Fail(EOVERFLOW);
    const std::uint64_t offset = written_ - firstItemAt_;
    if (table_ == OffsetTable::Basic && offset > std::numeric_limits<std::uint32_t>::max()) {
        return Fail(EOVERFLOW);
    }
    offsets_.push_back(offset);
    lengths_.push_back(Padded(frame.size()));
    std::vector<std::uint8_t> header;
    AppendItemHeader(&header, kItem, static_cast<std::uint32_t>(Padded(frame.size())));
    if (!Put(header.data(), header.size()) || !Put(frame.data(), frame.size())) return false;
    if (frame.size() % 2 != 0) {
        static constexpr std::uint8_t kPad = 0;
        if (!Put(&kPad, 1)) return false;
    }
    ++framesWritten_;
    return true;
}

bool InstanceWriter::Finish() {
    if (state_ != State::Frames || framesWritten_ != frameCount_) return Fail(EINVAL);
    std::vector<std::uint8_t> delimiter;
    AppendItemHeader(&delimiter, kSequenceDelimiter, 0);
    if (!Put(delimiter.data(), delimiter.size())) return false;
    // The table's room, filled now that every frame's place is known (the
    // Basic table from the sizes given ahead is in place already).
    std::vector<std::uint8_t> filled;
    if (table_ == OffsetTable::Extended) {
        AppendExtendedTable(&filled, offsets_, lengths_, frameCount_);
    } else if (frameSizes_.empty()) {
        for (const std::uint64_t offset : offsets_)
            AppendUint32(&filled, static_cast<std::uint32_t>(offset));
    }
    if (!filled.empty() && !sink_.WriteAt(filled.data(), filled.size(), tableAt_)) {
        const int code = sink_.Error();
        return Fail(code != 0 ? code : EIO);
    }
    state_ = State::Done;
    return true;
}

}  // namespace nvx::dicom
