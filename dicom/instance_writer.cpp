/*
 * instance_writer.cpp - the Part 10 layout, written front to back.
 */
#include "dicom/instance_writer.h"

#include <cerrno>
#include <limits>

namespace nvx::dicom {

namespace {

constexpr std::size_t kPreamble = 128;
constexpr std::uint32_t kLastMetaTag = Tag(0x0002, 0xFFFF);
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

}  // namespace

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
    if (sink_.Write(data, length)) return true;
    const int code = sink_.Error();
    return Fail(code != 0 ? code : EIO);
}

bool InstanceWriter::Begin(const FileMeta& meta, const DataSet& dataSet, std::uint32_t frameCount,
                           std::span<const std::size_t> frameSizes) {
    if (state_ != State::Start) return Fail(EINVAL);
    const auto& elements = dataSet.Elements();
    if (!elements.empty() &&
        (elements.begin()->first <= kLastMetaTag || elements.rbegin()->first >= kPixelData)) {
        return Fail(EINVAL);
    }
    if (!frameSizes.empty() && frameSizes.size() != frameCount) return Fail(EINVAL);
    if (std::uint64_t{frameCount} * 4 > kLargestItem) return Fail(EOVERFLOW);

    std::vector<std::uint8_t> head(kPreamble, 0);
    head.insert(head.end(), {'D', 'I', 'C', 'M'});
    const std::vector<std::uint8_t> fileMeta = EncodeFileMeta(meta);
    head.insert(head.end(), fileMeta.begin(), fileMeta.end());
    dataSet.Encode(&head);

    // The pixel data element, undefined length, and its offset table: the
    // offset of each frame's item from the first frame's item.
    AppendUint16(&head, static_cast<std::uint16_t>(kPixelData >> 16));
    AppendUint16(&head, static_cast<std::uint16_t>(kPixelData & 0xFFFF));
    head.insert(head.end(), {'O', 'B', 0, 0});
    AppendUint32(&head, kUndefinedLength);
    AppendItemHeader(&head, kItem, static_cast<std::uint32_t>(frameSizes.size() * 4));
    std::uint64_t offset = 0;
    for (const std::size_t size : frameSizes) {
        if (offset > std::numeric_limits<std::uint32_t>::max() || Padded(size) > kLargestItem) {
            return Fail(EOVERFLOW);
        }
        AppendUint32(&head, static_cast<std::uint32_t>(offset));
        offset += 8 + Padded(size);
    }
    frameSizes_.assign(frameSizes.begin(), frameSizes.end());
    frameCount_ = frameCount;
    if (!Put(head.data(), head.size())) return false;
    state_ = State::Frames;
    return true;
}

bool InstanceWriter::AppendFrame(std::span<const std::uint8_t> frame) {
    if (state_ != State::Frames || framesWritten_ == frameCount_) return Fail(EINVAL);
    if (!frameSizes_.empty() && frameSizes_[framesWritten_] != frame.size()) return Fail(EINVAL);
    if (Padded(frame.size()) > kLargestItem) return Fail(EOVERFLOW);
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
    state_ = State::Done;
    return true;
}

}  // namespace nvx::dicom
