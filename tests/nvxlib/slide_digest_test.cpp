/*
 * slide_digest_test.cpp - NvxSlideDigest tells slides apart by content:
 * the same content gives the same digest wherever its streams lie in the
 * file, a change of any stored tile, picture or header value gives another,
 * and a slide whose index is damaged gives none.
 */
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "nvxlib/nvx_format.h"
#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;
using Digest = std::array<uint8_t, NVX_DIGEST_BYTES>;

// The digest of the slide at `path`, or the refusal: the open's reason, or
// the digest's status when the open succeeded.
struct Answer {
    Digest digest{};
    std::string refusal;
};

Answer DigestOf(const std::string& path) {
    Answer answer;
    OpenSlide slide(path);
    if (!slide.ok()) {
        char text[256] = {};
        NvxOpenFailureReason(text, int32_t(sizeof text));
        answer.refusal = text;
        return answer;
    }
    const int32_t status = NvxSlideDigest(slide.handle(), answer.digest.data(), NVX_DIGEST_BYTES);
    if (status != NVX_DIGEST_DELIVERED) answer.refusal = "status " + std::to_string(status);
    return answer;
}

// Appends `bytes` to the file and returns where they start.
uint64_t Append(NvxEditor& e, std::span<const uint8_t> bytes) {
    const uint64_t at = e.bytes.size();
    e.bytes.insert(e.bytes.end(), bytes.begin(), bytes.end());
    return at;
}

// Flips a byte in the middle of the stored stream at [offset, offset + length)
// and returns the stream's new CRC-32: another stream, and an index that says so.
uint32_t ChangeStream(NvxEditor& e, uint64_t offset, uint32_t length) {
    e.bytes[offset + length / 2] ^= 0x10;
    return nvx::Crc32({&e.bytes[offset], length});
}

// Changes the stored stream at [offset, offset + length) and keeps its
// CRC-32: one byte flipped, and the four after the next eight set so that
// the CRC comes out as before. CRC-32 is affine over GF(2): flipping a
// set of bits changes it by the XOR of what each bit's flip does alone, so
// the 32 bits to set are the solution of 32 linear equations.
void ForgeStream(NvxEditor& e, uint64_t offset, uint32_t length) {
    uint8_t* const stream = &e.bytes[offset];
    const auto crc = [&] { return nvx::Crc32({stream, length}); };
    const uint32_t original = crc();
    const size_t flip = length / 2, free = flip + 8;
    ASSERT_LT(free + 4, length);
    stream[flip] ^= 0x01;
    const uint32_t target = crc() ^ original;
    // A basis of what the 32 free bits do to the CRC, by leading bit, each
    // with the bits that make it.
    std::array<uint32_t, 32> basis{}, makers{};
    for (int i = 0; i < 32; ++i) {
        stream[free + size_t(i / 8)] ^= uint8_t(1u << (i % 8));
        uint32_t effect = crc() ^ original ^ target, made = 1u << i;
        stream[free + size_t(i / 8)] ^= uint8_t(1u << (i % 8));
        for (int bit = 31; bit >= 0 && effect != 0; --bit) {
            if (((effect >> bit) & 1u) == 0) continue;
            if (basis[size_t(bit)] == 0) {
                basis[size_t(bit)] = effect;
                makers[size_t(bit)] = made;
                break;
            }
            effect ^= basis[size_t(bit)];
            made ^= makers[size_t(bit)];
        }
    }
    uint32_t want = target, chosen = 0;
    for (int bit = 31; bit >= 0; --bit) {
        if (((want >> bit) & 1u) == 0 || basis[size_t(bit)] == 0) continue;
        want ^= basis[size_t(bit)];
        chosen ^= makers[size_t(bit)];
    }
    for (int i = 0; i < 32; ++i)
        if ((chosen >> i) & 1u) stream[free + size_t(i / 8)] ^= uint8_t(1u << (i % 8));
    ASSERT_EQ(crc(), original) << "the CRC-32 was not kept";
}

enum class Expect { Same, Different, Refused };

struct Edit {
    const char* what;
    std::function<void(NvxEditor&)> edit;
    bool reseal;
    Expect expect;
};

TEST(SlideDigest, TellsSlidesApartByContentAlone) {
    const std::string original = SyntheticSlide();
    const Answer base = DigestOf(original);
    ASSERT_EQ(base.refusal, "");
    ASSERT_NE(base.digest, Digest{});
    ASSERT_GT(NvxEditor(original).header.label.length, 0u) << "the rows below change the label";

    const Edit edits[] = {
        {"a plain copy", [](NvxEditor&) {}, false, Expect::Same},
        {"a tile's stream moved to the end of the file",
         [](NvxEditor& e) {
             const size_t tile = e.UniqueTile();
             nvx::TileEntry entry = e.Entry(0, tile);
             const std::vector<uint8_t> stream(e.bytes.begin() + long(entry.offset),
                                               e.bytes.begin() + long(entry.offset + entry.length));
             entry.offset = Append(e, stream);
             nvx::EncodeTileEntry(entry, e.EntryAt(0, tile));
         },
         true, Expect::Same},
        {"the level table moved to the end of the file",
         [](NvxEditor& e) {
             const size_t size = e.levels.size() * nvx::kLevelRecordSize;
             const std::vector<uint8_t> table(
                 e.bytes.begin() + long(e.header.levelTableOffset),
                 e.bytes.begin() + long(e.header.levelTableOffset + size));
             e.header.levelTableOffset = Append(e, table);
         },
         true, Expect::Same},
        {"one tile's bytes and CRC changed",
         [](NvxEditor& e) {
             const size_t tile = e.UniqueTile();
             nvx::TileEntry entry = e.Entry(0, tile);
             entry.crc = ChangeStream(e, entry.offset, entry.length);
             nvx::EncodeTileEntry(entry, e.EntryAt(0, tile));
         },
         true, Expect::Different},
        {"a tile of the smallest level changed",
         [](NvxEditor& e) {
             const uint32_t last = uint32_t(e.levels.size() - 1);
             nvx::TileEntry entry = e.Entry(last, 0);
             entry.crc = ChangeStream(e, entry.offset, entry.length);
             nvx::EncodeTileEntry(entry, e.EntryAt(last, 0));
         },
         true, Expect::Different},
        {"the label's bytes and CRC changed",
         [](NvxEditor& e) {
             e.header.label.crc = ChangeStream(e, e.header.label.offset, e.header.label.length);
         },
         true, Expect::Different},
        {"one tile's bytes changed and its CRC-32 forged to stay",
         [](NvxEditor& e) {
             const nvx::TileEntry entry = e.Entry(0, e.UniqueTile());
             ForgeStream(e, entry.offset, entry.length);
         },
         false, Expect::Different},
        {"the label's bytes changed and its CRC-32 forged to stay",
         [](NvxEditor& e) { ForgeStream(e, e.header.label.offset, e.header.label.length); }, false,
         Expect::Different},
        {"another pixel size", [](NvxEditor& e) { e.header.micronsPerPixel = 0.5f; }, true,
         Expect::Different},
        {"an index byte damaged",
         [](NvxEditor& e) { e.bytes[e.levels[1].indexOffset + 13] ^= 0x40; }, false,
         Expect::Refused},
    };
    for (const Edit& row : edits) {
        SCOPED_TRACE(row.what);
        NvxEditor editor(original);
        row.edit(editor);
        if (row.reseal) editor.Reseal();
        const std::string path =
            std::string(NVX_TEST_SLIDES) + "/digest-" + std::to_string(&row - edits) + ".nvx";
        WriteFile(path, editor.bytes);
        const Answer answer = DigestOf(path);
        switch (row.expect) {
            case Expect::Same:
                EXPECT_EQ(answer.refusal, "");
                EXPECT_EQ(answer.digest, base.digest);
                break;
            case Expect::Different:
                EXPECT_EQ(answer.refusal, "");
                EXPECT_NE(answer.digest, base.digest);
                EXPECT_NE(answer.digest, Digest{});
                break;
            case Expect::Refused:
                EXPECT_EQ(answer.refusal, "tile index damaged");
                break;
        }
    }
}

TEST(SlideDigest, AsksForAnOpenSlideAndRoomForTheDigest) {
    OpenSlide slide(SyntheticSlide());
    ASSERT_TRUE(slide.ok());
    std::array<uint8_t, NVX_DIGEST_BYTES + 1> out{};
    EXPECT_EQ(NvxSlideDigest(slide.handle(), nullptr, NVX_DIGEST_BYTES), NVX_DIGEST_BAD_ARGUMENT);
    EXPECT_EQ(NvxSlideDigest(slide.handle(), out.data(), NVX_DIGEST_BYTES - 1),
              NVX_DIGEST_BAD_ARGUMENT);
    EXPECT_EQ(out, decltype(out){}) << "nothing is written into a buffer too short";
    EXPECT_EQ(NvxSlideDigest(slide.handle() + 1000, out.data(), NVX_DIGEST_BYTES),
              NVX_DIGEST_NO_SLIDE);
    EXPECT_EQ(NvxSlideDigest(slide.handle(), out.data(), int32_t(out.size())),
              NVX_DIGEST_DELIVERED);
    EXPECT_EQ(out.back(), 0) << "only NVX_DIGEST_BYTES are written";
    // A slide made afresh from the same source gives the same digest.
    const std::string again =
        Slide("synthetic-6000x4000-again.nvx", "--synthetic 6000x4000 --mpp 0.25");
    Digest copy{};
    OpenSlide other(again);
    ASSERT_TRUE(other.ok());
    ASSERT_EQ(NvxSlideDigest(other.handle(), copy.data(), NVX_DIGEST_BYTES), NVX_DIGEST_DELIVERED);
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), out.begin()));
}

}  // namespace
