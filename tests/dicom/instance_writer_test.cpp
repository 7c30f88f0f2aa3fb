// The instance writer's bytes as a reader walks them, and its failures.
#include "dicom/instance_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace nvx::dicom {
namespace {

// Keeps what is written; fails with `code` once `failAt` writes have gone.
class MemorySink : public ByteSink {
public:
    bool Write(const void* data, std::size_t length) override {
        if (writes_++ == failAt) return error_ = code, false;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        bytes_.insert(bytes_.end(), bytes, bytes + length);
        return true;
    }
    bool WriteAt(const void* data, std::size_t length, std::uint64_t offset) override {
        if (writes_++ == failAt) return error_ = code, false;
        if (offset + length > bytes_.size()) return error_ = EINVAL, false;
        std::memcpy(bytes_.data() + offset, data, length);
        return true;
    }
    int Error() const override { return error_; }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

    std::size_t failAt = SIZE_MAX;
    int code = ENOSPC;

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t writes_ = 0;
    int error_ = 0;
};

std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return U16(b, at) | (std::uint32_t{U16(b, at + 2)} << 16);
}

std::uint64_t U64(const std::vector<std::uint8_t>& b, std::size_t at) {
    return U32(b, at) | (std::uint64_t{U32(b, at + 4)} << 32);
}

struct Walked {
    std::vector<std::uint32_t> tags;  // top-level data set tags, in file order
    std::vector<std::uint32_t> offsets;
    // The Extended Offset Table and its lengths, when present.
    std::vector<std::uint64_t> extendedOffsets, extendedLengths;
    std::vector<std::vector<std::uint8_t>> frames;
    std::size_t end = 0;  // just after the sequence delimiter
};

// Walks the file as a reader would: the meta group by its length, the data
// set element by element, the encapsulated items to the delimiter.
Walked Walk(const std::vector<std::uint8_t>& b) {
    Walked walked;
    EXPECT_EQ(std::string(b.begin() + 128, b.begin() + 132), "DICM");
    for (std::size_t i = 0; i < 128; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(U32(b, 132), Tag(0x0000, 0x0002)) << "group length first";
    std::size_t at = 132 + 12 + U32(b, 140);
    for (;;) {
        const std::uint32_t tag = (std::uint32_t{U16(b, at)} << 16) | U16(b, at + 2);
        walked.tags.push_back(tag);
        const Vr vr{{static_cast<char>(b.at(at + 4)), static_cast<char>(b.at(at + 5))}};
        if (tag == Tag(0x7FE0, 0x0010)) {
            EXPECT_EQ(U32(b, at + 8), 0xFFFFFFFFu);
            at += 12;
            break;
        }
        if (tag == Tag(0x7FE0, 0x0001) || tag == Tag(0x7FE0, 0x0002)) {
            EXPECT_TRUE(vr == vr::kOV);
            auto& values =
                tag == Tag(0x7FE0, 0x0001) ? walked.extendedOffsets : walked.extendedLengths;
            for (std::size_t i = 0; i < U32(b, at + 8) / 8; ++i)
                values.push_back(U64(b, at + 12 + 8 * i));
        }
        if (HasLongLength(vr)) {
            at += 12 + U32(b, at + 8);
        } else {
            at += 8 + U16(b, at + 6);
        }
    }
    EXPECT_EQ(U32(b, at), 0xE000FFFEu) << "offset table item";
    const std::uint32_t tableLength = U32(b, at + 4);
    for (std::size_t i = 0; i < tableLength / 4; ++i)
        walked.offsets.push_back(U32(b, at + 8 + 4 * i));
    at += 8 + tableLength;
    while (U32(b, at) == 0xE000FFFEu) {
        const std::uint32_t length = U32(b, at + 4);
        EXPECT_EQ(length % 2, 0u);
        walked.frames.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(at + 8),
                                   b.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        at += 8 + length;
    }
    EXPECT_EQ(U32(b, at), 0xE0DDFFFEu) << "sequence delimiter";
    EXPECT_EQ(U32(b, at + 4), 0u);
    walked.end = at + 8;
    return walked;
}

FileMeta Meta() {
    return {"1.2.840.10008.5.1.4.1.1.77.1.6", "2.25.77", kJpegBaselineTransferSyntax, "2.25.9",
            "NVX"};
}

TEST(FileMetaTest, GroupLengthCountsTheRestAndTheValuesArePadded) {
    const std::vector<std::uint8_t> meta = EncodeFileMeta(Meta());
    ASSERT_GE(meta.size(), 12u);
    EXPECT_EQ(U32(meta, 8), meta.size() - 12);
    // A UID of odd length takes a NUL, a short string a space.
    const std::string text(meta.begin(), meta.end());
    EXPECT_NE(text.find(std::string("UI\x08\0"
                                    "2.25.77\0",
                                    12)),
              std::string::npos);
    EXPECT_NE(text.find(std::string("SH\x04\0NVX ", 8)), std::string::npos);
    EXPECT_NE(text.find(std::string("UI\x16\0"
                                    "1.2.840.10008.1.2.4.50",
                                    26)),
              std::string::npos);
    EXPECT_EQ(meta.size() % 2, 0u);
}

TEST(InstanceWriterTest, FramesAsItemsWithTheirTableAndPadding) {
    const std::vector<std::vector<std::uint8_t>> frames = {
        {0xFF, 0xD8, 1, 0xFF, 0xD9}, {0xFF, 0xD8, 1, 2, 0xFF, 0xD9}, {0xFF, 0xD8, 0xFF}};
    enum class Given { SizesAhead, Basic, Extended };
    struct Row {
        const char* name;
        Given given;
        std::vector<std::uint32_t> offsets;
        std::vector<std::uint64_t> extendedOffsets, extendedLengths;
    };
    const Row rows[] = {
        {"basic table from the sizes ahead", Given::SizesAhead, {0, 14, 28}, {}, {}},
        {"basic table filled at the end", Given::Basic, {0, 14, 28}, {}, {}},
        {"extended table filled at the end, the basic one empty",
         Given::Extended,
         {},
         {0, 14, 28},
         {6, 6, 4}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DataSet dataSet;
        // Given out of order, written in order.
        dataSet.SetString(Tag(0x0028, 0x0008), vr::kIS, "3");
        dataSet.SetString(Tag(0x0008, 0x0016), vr::kUI, Meta().sopClassUid);
        dataSet.AddItem(Tag(0x0040, 0x0560)).SetString(Tag(0x0040, 0x0512), vr::kLO, "S1");
        dataSet.SetUint16(Tag(0x0028, 0x0010), 3);
        MemorySink sink;
        InstanceWriter writer(sink);
        std::vector<std::size_t> sizes;
        for (const auto& frame : frames) sizes.push_back(frame.size());
        ASSERT_TRUE(row.given == Given::SizesAhead
                        ? writer.Begin(Meta(), dataSet, sizes)
                        : writer.Begin(Meta(), dataSet, 3,
                                       row.given == Given::Basic ? OffsetTable::Basic
                                                                 : OffsetTable::Extended));
        for (const auto& frame : frames) ASSERT_TRUE(writer.AppendFrame(frame));
        ASSERT_TRUE(writer.Finish());
        EXPECT_EQ(writer.Error(), 0);

        const Walked walked = Walk(sink.Bytes());
        std::vector<std::uint32_t> tags = {Tag(0x0008, 0x0016), Tag(0x0028, 0x0008),
                                           Tag(0x0028, 0x0010), Tag(0x0040, 0x0560)};
        if (row.given == Given::Extended) {
            tags.insert(tags.end(), {Tag(0x7FE0, 0x0001), Tag(0x7FE0, 0x0002)});
        }
        tags.push_back(Tag(0x7FE0, 0x0010));
        EXPECT_EQ(walked.tags, tags);
        EXPECT_EQ(walked.offsets, row.offsets);
        EXPECT_EQ(walked.extendedOffsets, row.extendedOffsets);
        EXPECT_EQ(walked.extendedLengths, row.extendedLengths);
        ASSERT_EQ(walked.frames.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            std::vector<std::uint8_t> expected = frames[i];
            if (expected.size() % 2) expected.push_back(0);
            EXPECT_EQ(walked.frames[i], expected) << i;
        }
        EXPECT_EQ(walked.end, sink.Bytes().size());
    }
}

TEST(InstanceWriterTest, TheExtendedTableOnlyWhereFramesMayPass4GiB) {
    struct Row {
        std::uint32_t frames;
        std::uint64_t largestFrame;
        OffsetTable table;
    };
    // The last frame's item starts at (frames - 1) * (8 + largest, padded).
    const Row rows[] = {
        {0, 0xFFFFFFFE, OffsetTable::Basic},
        {1, 0xFFFFFFFE, OffsetTable::Basic},  // one frame: its offset is 0
        {2, 0xFFFFFFF6, OffsetTable::Basic},  // the second item at 0xFFFFFFFF at most
        {2, 0xFFFFFFF7, OffsetTable::Extended},
        {9363, 458752, OffsetTable::Basic},  // 256 x 256 tiles, up to 6 bytes a pixel
        {9364, 458752, OffsetTable::Extended},
        {3, std::uint64_t{1} << 40, OffsetTable::Extended},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.frames) + " x " + std::to_string(row.largestFrame));
        EXPECT_EQ(OffsetTableFor(row.frames, row.largestFrame), row.table);
    }
}

// Counts what is written and keeps only what goes back over it.
class CountingSink : public ByteSink {
public:
    bool Write(const void*, std::size_t length) override {
        written += length;
        return true;
    }
    bool WriteAt(const void* data, std::size_t length, std::uint64_t offset) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        backAt = offset;
        back.assign(bytes, bytes + length);
        return true;
    }
    int Error() const override { return 0; }

    std::uint64_t written = 0, backAt = 0;
    std::vector<std::uint8_t> back;
};

TEST(InstanceWriterTest, OffsetsPast4GiBTakeTheExtendedTable) {
    // 65600 frames of 64 KiB: the frame whose item would start past 4 GiB
    // is refused behind a Basic table, and told by an Extended one.
    constexpr std::uint32_t kFrames = 65600;
    const std::vector<std::uint8_t> frame(65536, 0);
    CountingSink basicSink;
    InstanceWriter basic(basicSink);
    ASSERT_TRUE(basic.Begin(Meta(), DataSet(), kFrames, OffsetTable::Basic));
    std::uint32_t taken = 0;
    while (taken < kFrames && basic.AppendFrame(frame)) ++taken;
    EXPECT_EQ(taken, 65529u);  // 65529 * (8 + 65536) passes 0xFFFFFFFF
    EXPECT_EQ(basic.Error(), EOVERFLOW);

    CountingSink extendedSink;
    InstanceWriter extended(extendedSink);
    ASSERT_TRUE(extended.Begin(Meta(), DataSet(), kFrames, OffsetTable::Extended));
    for (std::uint32_t k = 0; k < kFrames; ++k) ASSERT_TRUE(extended.AppendFrame(frame)) << k;
    ASSERT_TRUE(extended.Finish());
    // Both elements, each 12 bytes of header and 8 bytes a frame.
    const std::vector<std::uint8_t>& table = extendedSink.back;
    ASSERT_EQ(table.size(), 2 * (12 + 8u * kFrames));
    EXPECT_EQ(U64(table, 12 + 8 * (kFrames - 1)), std::uint64_t{kFrames - 1} * (8 + 65536));
    EXPECT_EQ(U64(table, 2 * 12 + 8 * (2 * kFrames - 1)), 65536u);
}

TEST(InstanceWriterTest, RefusesWhatBreaksTheLayout) {
    const std::vector<std::uint8_t> frame = {0xFF, 0xD8, 0xFF, 0xD9};
    const std::size_t sizes[] = {4, 4};
    struct Row {
        const char* name;
        std::uint32_t tag;  // put in the data set
        bool sizesAhead;
        int framesGiven;
        std::size_t secondFrameSize;
        int error;
    };
    const Row rows[] = {
        {"file meta element in the data set", Tag(0x0002, 0x0010), false, 2, 4, EINVAL},
        {"pixel data in the data set", Tag(0x7FE0, 0x0010), false, 2, 4, EINVAL},
        {"an offset table in the data set", Tag(0x7FE0, 0x0001), false, 2, 4, EINVAL},
        {"a frame of another size than told", Tag(0x0008, 0x0016), true, 2, 6, EINVAL},
        {"a frame too many", Tag(0x0008, 0x0016), false, 3, 4, EINVAL},
        {"a frame missing", Tag(0x0008, 0x0016), false, 1, 4, EINVAL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DataSet dataSet;
        dataSet.SetString(row.tag, vr::kUI, "1.2");
        MemorySink sink;
        InstanceWriter writer(sink);
        bool ok = row.sizesAhead ? writer.Begin(Meta(), dataSet, sizes)
                                 : writer.Begin(Meta(), dataSet, 2, OffsetTable::Basic);
        for (int i = 0; ok && i < row.framesGiven; ++i) {
            const std::vector<std::uint8_t> given(i == 1 ? row.secondFrameSize : 4, 0);
            ok = writer.AppendFrame(given);
        }
        if (ok) ok = writer.Finish();
        EXPECT_FALSE(ok);
        EXPECT_EQ(writer.Error(), row.error);
        EXPECT_FALSE(writer.Finish()) << "nothing goes on after a failure";
    }
}

TEST(InstanceWriterTest, AFailedWriteStopsTheInstanceWithItsCode) {
    const std::vector<std::uint8_t> odd = {0xFF, 0xD8, 0xFF};
    // Writes: the head, then per frame its header, its bytes and a pad
    // byte, then the delimiter and the table.
    for (std::size_t failAt = 0; failAt < 6; ++failAt) {
        SCOPED_TRACE(failAt);
        MemorySink sink;
        sink.failAt = failAt;
        sink.code = failAt % 2 ? EIO : ENOSPC;
        InstanceWriter writer(sink);
        bool ok = writer.Begin(Meta(), DataSet(), 1, OffsetTable::Extended) &&
                  writer.AppendFrame(odd) && writer.Finish();
        EXPECT_FALSE(ok);
        EXPECT_EQ(writer.Error(), sink.code);
        EXPECT_FALSE(writer.AppendFrame(odd));
        EXPECT_EQ(writer.Error(), sink.code) << "the first failure's code stays";
    }
}

}  // namespace
}  // namespace nvx::dicom
