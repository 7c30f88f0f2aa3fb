/*
 * damaged_file_test.cpp - bad input never crashes the library nor makes it
 * read outside the file: files that are missing, not nvx, truncated, with a
 * damaged header or index, or with a corrupt tile. Open says no where the
 * slide cannot be used, for the reason of the one check each damage is
 * made to reach (one table: an edit, whether the checksums are made to
 * match afterwards, the reason); a fetch of a damaged tile or of a stream
 * of another frame size gives nothing while the rest of the slide stays
 * readable. Crash inputs kept from fuzzing are replayed here too.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nvxlib/nvx_format.h"
#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;

bool Opens(const std::string& path) {
    OpenSlide s(path);
    return s.ok();
}

std::string DamagedCopy(const std::string& name) {
    return CopyOf(
        SyntheticSlide(),
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" + name);
}

// Whether a file opens: "" when it does, else the library's reason.
std::string Refusal(const std::string& path) {
    OpenSlide s(path);
    if (s.ok()) return "";
    char text[256] = {};
    NvxOpenFailureReason(text, int32_t(sizeof text));
    return text;
}

TEST(DamagedFile, MissingEmptyAndNonNvxFilesDoNotOpen) {
    std::filesystem::create_directories(NVX_TEST_SLIDES);
    EXPECT_EQ(Refusal(std::string(NVX_TEST_SLIDES) + "/no-such-file.nvx"),
              "cannot open the file: No such file or directory");
    EXPECT_EQ(Refusal(NVX_TEST_SLIDES), "not a regular file");  // a folder
    const std::string empty = std::string(NVX_TEST_SLIDES) + "/empty.nvx";
    WriteFile(empty, {});
    EXPECT_EQ(Refusal(empty), "file too short for an nvx header");
    // A real slide, but not nvx.
    EXPECT_EQ(Refusal(CmuSource()), "not an nvx file, or its header is damaged");
    // A FIFO without a writer: refused at once, not waited on.
    const std::string fifo = std::string(NVX_TEST_SLIDES) + "/fifo-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Refusal(fifo), "not a regular file");
    std::filesystem::remove(fifo);
}

// One edit of a good file. With `reseal` the checksums and the recorded file
// size are made to match afterwards, so that the check behind them, and
// only that one, has to refuse the file.
struct Damage {
    const char* what;
    std::function<void(NvxEditor&)> edit;
    bool reseal;
    const char* reason;
};

void FlipByte(NvxEditor& e, uint64_t at, uint8_t bits) { e.bytes[at] ^= bits; }

// Cuts the file to its first `count` bytes (erase, not resize: a resize
// that could grow draws a false overflow warning from GCC under sanitizers).
void KeepBytes(NvxEditor& e, size_t count) {
    e.bytes.erase(e.bytes.begin() + long(std::min(count, e.bytes.size())), e.bytes.end());
}

void PointTileAt(NvxEditor& e, uint32_t level, size_t tile, uint64_t offset, uint32_t length) {
    nvx::TileEntry t = e.Entry(level, tile);
    t.offset = offset;
    t.length = length;
    nvx::EncodeTileEntry(t, e.EntryAt(level, tile));
}

TEST(DamagedFile, EachDamageIsRefusedForItsOwnReason) {
    const char* kDamagedHeader = "not an nvx file, or its header is damaged";
    const char* kSizeDiffers = "file size differs from header (truncated?)";
    const char* kOutside = "tile entry points outside the file";
    const std::vector<Damage> damages = {
        // Truncation, and bytes changed behind the checksums' back.
        {"cut to 100 bytes", [](NvxEditor& e) { KeepBytes(e, 100); }, false,
         "file too short for an nvx header"},
        {"cut in half", [](NvxEditor& e) { KeepBytes(e, e.bytes.size() / 2); }, false,
         kSizeDiffers},
        {"last byte cut", [](NvxEditor& e) { KeepBytes(e, e.bytes.size() - 1); }, false,
         kSizeDiffers},
        {"magic", [](NvxEditor& e) { FlipByte(e, 0, 0x01); }, false, kDamagedHeader},
        {"width byte", [](NvxEditor& e) { FlipByte(e, 17, 0x01); }, false, kDamagedHeader},
        {"tile size byte", [](NvxEditor& e) { FlipByte(e, 29, 0x01); }, false, kDamagedHeader},
        {"level table offset byte", [](NvxEditor& e) { FlipByte(e, 60, 0x01); }, false,
         kDamagedHeader},
        {"header checksum byte", [](NvxEditor& e) { FlipByte(e, 125, 0x01); }, false,
         kDamagedHeader},
        {"level table byte", [](NvxEditor& e) { FlipByte(e, e.header.levelTableOffset + 3, 0x02); },
         false, "level table damaged"},
        {"tile index checksum byte",
         [](NvxEditor& e) { FlipByte(e, e.levels[2].indexOffset + 13, 0x40); }, false,
         "tile index damaged"},
        // Entries are checked as they are read, before the index checksum.
        {"tile index offset byte",
         [](NvxEditor& e) { FlipByte(e, e.levels[2].indexOffset + 5, 0x40); }, false, kOutside},
        // Past the checksums: every value checked against the file and the level rule.
        {"last byte cut, size recorded", [](NvxEditor& e) { KeepBytes(e, e.bytes.size() - 1); },
         true, "level table outside the file"},
        {"width 0", [](NvxEditor& e) { e.header.width = 0; }, true, "bad slide size"},
        {"tile size 200", [](NvxEditor& e) { e.header.tileSize = 200; }, true, "bad tile size"},
        {"tile size 8", [](NvxEditor& e) { e.header.tileSize = 8; }, true, "bad tile size"},
        {"magnification 0", [](NvxEditor& e) { e.header.scanMagnification = 0; }, true,
         "bad scan magnification"},
        {"microns per pixel NaN", [](NvxEditor& e) { e.header.micronsPerPixel = std::nanf(""); },
         true, "bad microns per pixel"},
        {"one level too many", [](NvxEditor& e) { ++e.header.levelCount; }, true,
         "level count does not match the slide size"},
        {"level table past the end",
         [](NvxEditor& e) { e.header.levelTableOffset = e.bytes.size() - 8; }, true,
         "level table outside the file"},
        {"slide one column wider", [](NvxEditor& e) { ++e.header.width; }, true,
         "level geometry does not match the slide size"},
        {"level 2 one row taller", [](NvxEditor& e) { ++e.levels[2].height; }, true,
         "level geometry does not match the slide size"},
        {"level 1 one column more", [](NvxEditor& e) { ++e.levels[1].columns; }, true,
         "level geometry does not match the slide size"},
        {"label past the end", [](NvxEditor& e) { e.header.label.offset = e.bytes.size() - 10; },
         true, "bad label reference"},
        {"label 0 wide", [](NvxEditor& e) { e.header.label.width = 0; }, true,
         "bad label reference"},
        {"label in the header", [](NvxEditor& e) { e.header.label.offset = 64; }, true,
         "bad label reference"},
        {"preview 70000 high", [](NvxEditor& e) { e.header.preview.height = 70000; }, true,
         "bad preview reference"},
        {"no preview, but an offset",
         [](NvxEditor& e) {
             e.header.preview.length = 0;
             e.header.preview.width = e.header.preview.height = 0;
         },
         true, "bad preview reference"},
        {"tile index past the end",
         [](NvxEditor& e) { e.levels[1].indexOffset = e.bytes.size() - 16; }, true,
         "tile index outside the file"},
        {"tile runs 500 bytes past the end",
         [](NvxEditor& e) { PointTileAt(e, 1, 3, e.bytes.size() - 500, 1000); }, true, kOutside},
        {"tile offset near 2^64", [](NvxEditor& e) { PointTileAt(e, 1, 3, ~0ull - 10, 100); }, true,
         kOutside},
        {"tile offset 2^40", [](NvxEditor& e) { PointTileAt(e, 1, 3, 1ull << 40, 100); }, true,
         kOutside},
        {"tile of length 0", [](NvxEditor& e) { PointTileAt(e, 1, 3, 200, 0); }, true, kOutside},
        {"tile in the header", [](NvxEditor& e) { PointTileAt(e, 0, 0, 16, 100); }, true, kOutside},
    };
    const std::string good = DamagedCopy("good.nvx");
    ASSERT_EQ(Refusal(good), "") << "the untouched copy opens";
    const NvxEditor original(good);
    const std::string path = good + ".damaged";
    for (const Damage& d : damages) {
        NvxEditor e = original;
        d.edit(e);
        if (d.reseal) e.Reseal();
        WriteFile(path, e.bytes);
        EXPECT_EQ(Refusal(path), d.reason) << d.what;
    }
}

// Picture fetches, with the size and the answer the library gives.
struct Picture {
    LibBuffer stream;
    int32_t width = 0;
    uint8_t status = NVX_PICTURE_NONE;
};

Picture FetchPicture(NvxSlideHandle h, bool label) {
    uint8_t* buffer = nullptr;
    int32_t length = 0, width = 0, height = 0;
    const uint8_t status = label ? NvxFetchLabel(h, &buffer, &length, &width, &height)
                                 : NvxFetchPreview(h, &buffer, &length, &width, &height);
    return {LibBuffer(buffer), width, status};
}

// A stream handed out is exactly the size callers are told: a tile's frame
// is the tile's pixel size, a picture's frame its recorded size. Each edit
// keeps every checksum right, so only the frame check can refuse the stream;
// the rest of the slide stays usable.
TEST(DamagedFile, StreamsOfAnotherFrameSizeAreNotHandedOut) {
    const std::string good = DamagedCopy("good.nvx");
    const std::string path = good + ".frames";
    NvxEditor base(good);
    const uint32_t last = base.levels[0].columns - 1;  // a narrower tile: 6000 = 23 * 256 + 112
    const int32_t lastX = int32_t(last) * 256;
    const nvx::TileEntry full = base.Entry(0, 1), narrow = base.Entry(0, last);
    const auto edited = [&](const std::function<void(NvxEditor&)>& edit) {
        NvxEditor e = base;
        edit(e);
        e.Reseal();
        WriteFile(path, e.bytes);
        return path;
    };
    {
        SCOPED_TRACE("a full tile's entry holding the narrow tile's stream");
        OpenSlide s(edited([&](NvxEditor& e) { nvx::EncodeTileEntry(narrow, e.EntryAt(0, 1)); }));
        ASSERT_TRUE(s.ok());
        EXPECT_FALSE(FetchTile(s.handle(), 40.0f, 256, 0).data);
        EXPECT_TRUE(FetchTile(s.handle(), 40.0f, lastX, 0).data);
    }
    {
        SCOPED_TRACE("the narrow tile's entry holding a full tile's stream");
        OpenSlide s(edited([&](NvxEditor& e) { nvx::EncodeTileEntry(full, e.EntryAt(0, last)); }));
        ASSERT_TRUE(s.ok());
        EXPECT_FALSE(FetchTile(s.handle(), 40.0f, lastX, 0).data);
        EXPECT_TRUE(FetchTile(s.handle(), 40.0f, 256, 0).data);
    }
    struct Resize {
        const char* what;
        bool label;
        uint32_t width, height;
    };
    for (const Resize r : {Resize{"preview recorded wider than its frame", false, 1756, 500},
                           Resize{"label recorded narrower than its frame", true, 500, 600},
                           Resize{"label recorded one row taller", true, 600, 601}}) {
        SCOPED_TRACE(r.what);
        OpenSlide s(edited([&](NvxEditor& e) {
            nvx::PictureRef& p = r.label ? e.header.label : e.header.preview;
            ASSERT_EQ(p.width, r.label ? 600u : 1500u) << "the synthetic slide's pictures";
            p.width = r.width;
            p.height = r.height;
        }));
        ASSERT_TRUE(s.ok());
        const Picture damaged = FetchPicture(s.handle(), r.label);
        EXPECT_FALSE(damaged.stream);
        EXPECT_EQ(damaged.status, NVX_PICTURE_UNREADABLE);
        const Picture other = FetchPicture(s.handle(), !r.label);
        EXPECT_TRUE(other.stream);
        EXPECT_EQ(other.status, NVX_PICTURE_DELIVERED);
        EXPECT_EQ(other.width, r.label ? 1500 : 600);
    }
}

// A picture whose stream fails its checksum is one the slide has but cannot
// give: UNREADABLE, never NONE, which would say the slide has no label.
TEST(DamagedFile, APictureThatFailsItsChecksumIsUnreadableNotMissing) {
    const std::string good = DamagedCopy("good.nvx");
    for (const bool label : {true, false}) {
        SCOPED_TRACE(label ? "label" : "preview");
        NvxEditor e(good);
        const nvx::PictureRef& ref = label ? e.header.label : e.header.preview;
        ASSERT_GT(ref.length, 100u);
        e.bytes[ref.offset + ref.length / 2] ^= 0xFF;
        const std::string path = good + (label ? ".label" : ".preview");
        WriteFile(path, e.bytes);
        OpenSlide s(path);
        ASSERT_TRUE(s.ok());
        const Picture damaged = FetchPicture(s.handle(), label);
        EXPECT_FALSE(damaged.stream);
        EXPECT_EQ(damaged.status, NVX_PICTURE_UNREADABLE);
        EXPECT_EQ(damaged.width, 0);
        EXPECT_EQ(FetchPicture(s.handle(), !label).status, NVX_PICTURE_DELIVERED);
        EXPECT_TRUE(FetchTile(s.handle(), 40.0f, 0, 0).data);
    }
}

// A crafted header can claim an index of gigabytes that a sparse file holds
// as a hole of zeros, costing nothing on disk. Its first entry is already
// unusable (length 0); open must say so without holding the index in memory.
TEST(DamagedFile, HugeIndexOfZerosIsRefusedWithoutReadingItWhole) {
    NvxEditor e(SyntheticSlide());
    nvx::Header& h = e.header;
    h.width = h.height = 11584 * 16;  // 11584^2 tiles of 16: a 2 GiB level 0 index
    h.tileSize = 16;
    const auto shapes = nvx::LevelShapes(h.width, h.height, h.tileSize);
    h.levelCount = uint32_t(shapes.size());
    h.levelTableOffset = e.bytes.size();
    std::vector<uint8_t> table(shapes.size() * nvx::kLevelRecordSize);
    uint64_t at = h.levelTableOffset + table.size();
    for (size_t k = 0; k < shapes.size(); ++k) {
        const nvx::LevelShape& s = shapes[k];
        nvx::EncodeLevelRecord({s.width, s.height, s.columns, s.rows, at, 0},
                               &table[k * nvx::kLevelRecordSize]);
        at += uint64_t{s.columns} * s.rows * nvx::kTileEntrySize;
    }
    ASSERT_GT(at, uint64_t{2} << 30);
    h.levelTableCrc = nvx::Crc32(table);
    h.fileSize = at;
    e.bytes.insert(e.bytes.end(), table.begin(), table.end());
    const auto header = nvx::EncodeHeader(h);
    std::copy(header.begin(), header.end(), e.bytes.begin());
    const std::string path = std::string(NVX_TEST_SLIDES) + "/huge-index.nvx";
    WriteFile(path, e.bytes);
    ASSERT_EQ(truncate(path.c_str(), off_t(at)), 0);  // the indices: a hole

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(Opens(path) ? 1 : 0);
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
    std::filesystem::remove(path);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the file opened";
    EXPECT_LT(usage.ru_maxrss, 1L << 20) << "kB of memory at most while refusing it";
}

TEST(DamagedFile, CorruptTileGivesNothingAndSparesTheRest) {
    const std::string path = DamagedCopy("tile.nvx");
    NvxEditor e(path);
    const size_t victim = e.UniqueTile();
    const nvx::TileEntry t = e.Entry(0, victim);
    const int32_t x = int32_t(victim % e.levels[0].columns) * 256;
    const int32_t y = int32_t(victim / e.levels[0].columns) * 256;

    // Bytes changed on disk: the tile checksum no longer matches.
    std::vector<uint8_t> bad = e.bytes;
    bad[t.offset + t.length / 2] ^= 0xFF;
    WriteFile(path, bad);
    {
        OpenSlide s(path);
        ASSERT_TRUE(s.ok());
        EXPECT_FALSE(FetchTile(s.handle(), 40.0f, x, y).data);
        EXPECT_FALSE(FetchRegion(s.handle(), 40.0f, x + 10, y + 10, 300, 300, 0).data);
        // Level 1 was made from the pixels, not from the damaged stream.
        EXPECT_TRUE(FetchRegion(s.handle(), 20.0f, x / 2, y / 2, 128, 128, 0).data);
        const int32_t other = x == 0 ? 256 : 0;
        EXPECT_TRUE(FetchTile(s.handle(), 40.0f, other, 0).data);
    }

    // A stream written whole but undecodable: its second half zeroed and the
    // checksums made to match, as a writer fault would leave it.
    NvxEditor sealed(path);
    sealed.bytes = e.bytes;
    std::fill(sealed.bytes.begin() + long(t.offset + t.length / 2),
              sealed.bytes.begin() + long(t.offset + t.length), 0);
    nvx::TileEntry fixed = t;
    fixed.crc = nvx::Crc32({&sealed.bytes[t.offset], t.length});
    nvx::EncodeTileEntry(fixed, sealed.EntryAt(0, victim));
    sealed.Reseal();
    WriteFile(path, sealed.bytes);
    OpenSlide s(path);
    ASSERT_TRUE(s.ok());
    EXPECT_FALSE(FetchRegion(s.handle(), 40.0f, x, y, 256, 256, 0).data);
    EXPECT_FALSE(FetchRegion(s.handle(), 30.0f, x * 3 / 4, y * 3 / 4, 100, 100, 1).data);
    EXPECT_TRUE(FetchRegion(s.handle(), 40.0f, x == 0 ? 512 : 0, 0, 256, 256, 0).data);
}

// The header segments of marker `code` in the stream at `offset` turned into
// comments: the same length, without those tables.
void Uncarried(std::vector<uint8_t>& bytes, uint64_t offset, uint8_t code) {
    for (uint64_t at = offset + 2; bytes[at] == 0xFF && bytes[at + 1] != 0xDA;) {
        if (bytes[at + 1] == code) bytes[at + 1] = 0xFE;
        at += 2 + ((uint64_t{bytes[at + 2]} << 8) | bytes[at + 3]);
    }
}

// A decoder keeps the tables of the streams it read, so a stored stream
// without its own would decode with those of the tile read before it (or
// with the standard's example Huffman tables). Such a tile is unreadable
// however it is asked for, every time, and the rest of the slide is not.
TEST(DamagedFile, TileStreamsWithoutTheirOwnTablesGiveNothing) {
    const std::string good = DamagedCopy("good.nvx");
    for (const auto& [what, code] :
         {std::pair{"no DQT", uint8_t{0xDB}}, std::pair{"no DHT", uint8_t{0xC4}}}) {
        SCOPED_TRACE(what);
        NvxEditor e(good);
        const size_t victim = e.UniqueTile();
        const int32_t x = int32_t(victim % e.levels[0].columns) * 256;
        const int32_t y = int32_t(victim / e.levels[0].columns) * 256;
        nvx::TileEntry t = e.Entry(0, victim);
        Uncarried(e.bytes, t.offset, code);
        t.crc = nvx::Crc32({&e.bytes[t.offset], t.length});
        nvx::EncodeTileEntry(t, e.EntryAt(0, victim));
        e.Reseal();
        const std::string path = good + ".tables";
        WriteFile(path, e.bytes);
        OpenSlide s(path);
        ASSERT_TRUE(s.ok());
        const int32_t neighbour = x == 0 ? 256 : x - 256;
        for (int round = 0; round < 3; ++round) {
            // A complete tile first: its tables are the ones a kept decoder would lend.
            EXPECT_TRUE(FetchRegion(s.handle(), 40.0f, neighbour, y, 256, 256, 0).data);
            EXPECT_EQ(NvxLastFetchFailure(), NVX_FETCH_DELIVERED);
            EXPECT_FALSE(FetchTile(s.handle(), 40.0f, x, y).data);
            EXPECT_EQ(NvxLastFetchFailure(), NVX_FETCH_UNREADABLE);
            EXPECT_FALSE(FetchRegion(s.handle(), 40.0f, x, y, 256, 256, 0).data);
            EXPECT_EQ(NvxLastFetchFailure(), NVX_FETCH_UNREADABLE);
            EXPECT_FALSE(FetchRegion(s.handle(), 30.0f, x * 3 / 4, y * 3 / 4, 64, 64, 1).data);
            EXPECT_EQ(NvxLastFetchFailure(), NVX_FETCH_UNREADABLE);
        }
        EXPECT_TRUE(FetchTile(s.handle(), 40.0f, neighbour, y).data);
        EXPECT_TRUE(FetchRegion(s.handle(), 20.0f, x / 2, y / 2, 128, 128, 0).data);
    }
}

// Replays fuzzing inputs: the seed slides (which must open and answer) and
// every input kept in fuzz/regressions/ (which may or may not open, but must
// answer fetches with buffers of the promised size when they do).
int Replay(const std::filesystem::path& dir, bool mustOpen) {
    int inputs = 0;
    if (!std::filesystem::exists(dir)) return 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++inputs;
        OpenSlide s(entry.path().string());
        EXPECT_TRUE(s.ok() || !mustOpen) << entry.path();
        if (!s.ok()) continue;
        int32_t mag = 0;
        NvxQuerySlide(s.handle(), nullptr, nullptr, &mag, nullptr, nullptr, nullptr, nullptr);
        Fetched t = FetchTile(s.handle(), float(mag), 0, 0);
        EXPECT_TRUE(t.data || !mustOpen) << entry.path();
        Fetched f = FetchRegion(s.handle(), float(mag) / 3, -3, -3, 64, 64, 0);
        if (f.data) {
            EXPECT_EQ(f.length, 64 * 64 * 3);
        }
        Fetched j = FetchRegion(s.handle(), float(mag), 5, 5, 33, 17, 1);
        if (j.data) {
            EXPECT_EQ(Decode(j.data.get(), size_t(j.length)).width, 33);
        }
    }
    return inputs;
}

TEST(DamagedFile, FuzzingInputsAreHandled) {
    EXPECT_GT(Replay(std::string(NVX_FUZZ_DIR) + "/seeds", true), 0);
    Replay(std::string(NVX_FUZZ_DIR) + "/regressions", false);
}

}  // namespace
