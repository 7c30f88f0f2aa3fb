/*
 * damaged_file_test.cpp - bad input never crashes the library nor makes it
 * read outside the file: files that are missing, not nvx, truncated, with a
 * damaged header or index, or with a corrupt tile. Open says no where the
 * slide cannot be used; a fetch of a damaged tile gives nothing while the
 * rest of the slide stays readable. Crash inputs kept from fuzzing are
 * replayed here too.
 */
#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nvx_format.h"
#include "test_slides.h"

namespace {

using namespace nvxtest;

bool opens(const std::string& path) {
    OpenSlide s(path);
    return s.ok();
}

std::string damagedCopy(const std::string& name) {
    return copyOf(
        syntheticSlide(),
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" + name);
}

// Edits an nvx file in memory and can re-seal it, i.e. recompute the
// checksums, so that a test reaches the check behind them.
struct NvxEditor {
    std::vector<uint8_t> bytes;
    nvx::Header header;
    std::vector<nvx::LevelRecord> levels;

    explicit NvxEditor(const std::string& path) : bytes(readFile(path)) {
        header = *nvx::decodeHeader(bytes);
        for (uint32_t k = 0; k < header.levelCount; ++k)
            levels.push_back(nvx::decodeLevelRecord(
                &bytes[header.levelTableOffset + size_t(k) * nvx::kLevelRecordSize]));
    }
    uint8_t* entryAt(uint32_t level, size_t i) {
        return &bytes[levels[level].indexOffset + i * nvx::kTileEntrySize];
    }
    nvx::TileEntry entry(uint32_t level, size_t i) {
        return nvx::decodeTileEntry(entryAt(level, i));
    }
    // The level-0 tile with the longest stream: tissue, stored only once.
    size_t uniqueTile() {
        size_t best = 0;
        for (size_t i = 0; i < size_t(levels[0].columns) * levels[0].rows; ++i)
            if (entry(0, i).length > entry(0, best).length) best = i;
        return best;
    }
    void reseal() {
        std::vector<uint8_t> table(levels.size() * nvx::kLevelRecordSize);
        for (size_t k = 0; k < levels.size(); ++k) {
            const size_t n = size_t(levels[k].columns) * levels[k].rows * nvx::kTileEntrySize;
            levels[k].indexCrc = nvx::crc32({&bytes[levels[k].indexOffset], n});
            nvx::encodeLevelRecord(levels[k], &table[k * nvx::kLevelRecordSize]);
        }
        std::copy(table.begin(), table.end(), bytes.begin() + long(header.levelTableOffset));
        header.levelTableCrc = nvx::crc32(table);
        header.fileSize = bytes.size();
        const auto h = nvx::encodeHeader(header);
        std::copy(h.begin(), h.end(), bytes.begin());
    }
};

TEST(DamagedFile, MissingEmptyAndNonNvxFilesDoNotOpen) {
    EXPECT_FALSE(opens(std::string(NVX_TEST_SLIDES) + "/no-such-file.nvx"));
    EXPECT_FALSE(opens(NVX_TEST_SLIDES));  // a folder
    const std::string empty = std::string(NVX_TEST_SLIDES) + "/empty.nvx";
    writeFile(empty, {});
    EXPECT_FALSE(opens(empty));
    EXPECT_FALSE(opens(cmuSource()));  // a real slide, but not nvx
    // A FIFO without a writer: refused at once, not waited on.
    const std::string fifo = std::string(NVX_TEST_SLIDES) + "/fifo-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(opens(fifo));
    std::filesystem::remove(fifo);
}

TEST(DamagedFile, TruncatedFilesDoNotOpen) {
    const std::vector<uint8_t> whole = readFile(syntheticSlide());
    const std::string path = damagedCopy("cut.nvx");
    for (size_t keep : {size_t(100), whole.size() / 2, whole.size() - 1}) {
        writeFile(path, std::vector<uint8_t>(whole.begin(), whole.begin() + long(keep)));
        EXPECT_FALSE(opens(path)) << "kept " << keep;
    }
}

TEST(DamagedFile, FlippedHeaderByteDoesNotOpen) {
    const std::string path = damagedCopy("flip.nvx");
    std::vector<uint8_t> bytes = readFile(path);
    for (size_t at : {size_t(0), size_t(17), size_t(29), size_t(60), size_t(125)}) {
        std::vector<uint8_t> bad = bytes;
        bad[at] ^= 0x01;
        writeFile(path, bad);
        EXPECT_FALSE(opens(path)) << "byte " << at;
    }
}

TEST(DamagedFile, DamagedIndexOrLevelTableDoesNotOpen) {
    const std::string path = damagedCopy("index.nvx");
    NvxEditor e(path);
    std::vector<uint8_t> bad = e.bytes;
    bad[e.levels[2].indexOffset + 5] ^= 0x40;  // index bytes, checksum left stale
    writeFile(path, bad);
    EXPECT_FALSE(opens(path));
    bad = e.bytes;
    bad[e.header.levelTableOffset + 3] ^= 0x02;  // level width
    writeFile(path, bad);
    EXPECT_FALSE(opens(path));
}

TEST(DamagedFile, IndexPointingOutsideTheFileDoesNotOpen) {
    const std::string path = damagedCopy("outside.nvx");
    for (auto [offset, length] :
         {std::pair<uint64_t, uint32_t>{0, 1000}, {~0ull - 10, 100}, {1ull << 40, 100}, {200, 0}}) {
        NvxEditor e(path);
        nvx::TileEntry t = e.entry(1, 3);
        if (offset == 0) offset = e.bytes.size() - 500;  // runs 500 bytes past the end
        t.offset = offset;
        t.length = length;
        nvx::encodeTileEntry(t, e.entryAt(1, 3));
        e.reseal();  // checksums fine: only the bounds check can refuse it
        const std::string bad = path + ".bad";
        writeFile(bad, e.bytes);
        EXPECT_FALSE(opens(bad)) << offset << "+" << length;
    }
    EXPECT_TRUE(opens(path));  // the untouched copy still opens
}

// A crafted header can claim an index of gigabytes that a sparse file holds
// as a hole of zeros, costing nothing on disk. Its first entry is already
// unusable (length 0); open must say so without holding the index in memory.
TEST(DamagedFile, HugeIndexOfZerosIsRefusedWithoutReadingItWhole) {
    NvxEditor e(syntheticSlide());
    nvx::Header& h = e.header;
    h.width = h.height = 11584 * 16;  // 11584^2 tiles of 16: a 2 GiB level 0 index
    h.tileSize = 16;
    const auto shapes = nvx::levelShapes(h.width, h.height, h.tileSize);
    h.levelCount = uint32_t(shapes.size());
    h.levelTableOffset = e.bytes.size();
    std::vector<uint8_t> table(shapes.size() * nvx::kLevelRecordSize);
    uint64_t at = h.levelTableOffset + table.size();
    for (size_t k = 0; k < shapes.size(); ++k) {
        const nvx::LevelShape& s = shapes[k];
        nvx::encodeLevelRecord({s.width, s.height, s.columns, s.rows, at, 0},
                               &table[k * nvx::kLevelRecordSize]);
        at += uint64_t{s.columns} * s.rows * nvx::kTileEntrySize;
    }
    ASSERT_GT(at, uint64_t{2} << 30);
    h.levelTableCrc = nvx::crc32(table);
    h.fileSize = at;
    e.bytes.insert(e.bytes.end(), table.begin(), table.end());
    const auto header = nvx::encodeHeader(h);
    std::copy(header.begin(), header.end(), e.bytes.begin());
    const std::string path = std::string(NVX_TEST_SLIDES) + "/huge-index.nvx";
    writeFile(path, e.bytes);
    ASSERT_EQ(truncate(path.c_str(), off_t(at)), 0);  // the indices: a hole

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(opens(path) ? 1 : 0);
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
    std::filesystem::remove(path);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the file opened";
    EXPECT_LT(usage.ru_maxrss, 1L << 20) << "kB of memory at most while refusing it";
}

TEST(DamagedFile, CorruptTileGivesNothingAndSparesTheRest) {
    const std::string path = damagedCopy("tile.nvx");
    NvxEditor e(path);
    const size_t victim = e.uniqueTile();
    const nvx::TileEntry t = e.entry(0, victim);
    const int32_t x = int32_t(victim % e.levels[0].columns) * 256;
    const int32_t y = int32_t(victim / e.levels[0].columns) * 256;

    // Bytes changed on disk: the tile checksum no longer matches.
    std::vector<uint8_t> bad = e.bytes;
    bad[t.offset + t.length / 2] ^= 0xFF;
    writeFile(path, bad);
    {
        OpenSlide s(path);
        ASSERT_TRUE(s.ok());
        EXPECT_FALSE(fetchTile(s.handle(), 40.0f, x, y).data);
        EXPECT_FALSE(fetchRegion(s.handle(), 40.0f, x + 10, y + 10, 300, 300, 0).data);
        // Level 1 was made from the pixels, not from the damaged stream.
        EXPECT_TRUE(fetchRegion(s.handle(), 20.0f, x / 2, y / 2, 128, 128, 0).data);
        const int32_t other = x == 0 ? 256 : 0;
        EXPECT_TRUE(fetchTile(s.handle(), 40.0f, other, 0).data);
    }

    // A stream written whole but undecodable: its second half zeroed and the
    // checksums made to match, as a writer fault would leave it.
    NvxEditor sealed(path);
    sealed.bytes = e.bytes;
    std::fill(sealed.bytes.begin() + long(t.offset + t.length / 2),
              sealed.bytes.begin() + long(t.offset + t.length), 0);
    nvx::TileEntry fixed = t;
    fixed.crc = nvx::crc32({&sealed.bytes[t.offset], t.length});
    nvx::encodeTileEntry(fixed, sealed.entryAt(0, victim));
    sealed.reseal();
    writeFile(path, sealed.bytes);
    OpenSlide s(path);
    ASSERT_TRUE(s.ok());
    EXPECT_FALSE(fetchRegion(s.handle(), 40.0f, x, y, 256, 256, 0).data);
    EXPECT_FALSE(fetchRegion(s.handle(), 30.0f, x * 3 / 4, y * 3 / 4, 100, 100, 1).data);
    EXPECT_TRUE(fetchRegion(s.handle(), 40.0f, x == 0 ? 512 : 0, 0, 256, 256, 0).data);
}

// Replays fuzzing inputs: the seed slides (which must open and answer) and
// every input kept in fuzz/regressions/ (which may or may not open, but must
// answer fetches with buffers of the promised size when they do).
int replay(const std::filesystem::path& dir, bool mustOpen) {
    int inputs = 0;
    if (!std::filesystem::exists(dir)) return 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++inputs;
        OpenSlide s(entry.path().string());
        EXPECT_TRUE(s.ok() || !mustOpen) << entry.path();
        if (!s.ok()) continue;
        int32_t mag = 0;
        NvxQuerySlide(s.handle(), nullptr, nullptr, &mag, nullptr, nullptr, nullptr, nullptr);
        Fetched t = fetchTile(s.handle(), float(mag), 0, 0);
        EXPECT_TRUE(t.data || !mustOpen) << entry.path();
        Fetched f = fetchRegion(s.handle(), float(mag) / 3, -3, -3, 64, 64, 0);
        if (f.data) {
            EXPECT_EQ(f.length, 64 * 64 * 3);
        }
        Fetched j = fetchRegion(s.handle(), float(mag), 5, 5, 33, 17, 1);
        if (j.data) {
            EXPECT_EQ(decode(j.data.get(), size_t(j.length)).width, 33);
        }
    }
    return inputs;
}

TEST(DamagedFile, FuzzingInputsAreHandled) {
    EXPECT_GT(replay(std::string(NVX_FUZZ_DIR) + "/seeds", true), 0);
    replay(std::string(NVX_FUZZ_DIR) + "/regressions", false);
}

}  // namespace
