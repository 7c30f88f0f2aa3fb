// Gives the complete frames dicom::SpliceTables makes of a TIFF level's
// tiles and its JPEGTables, for the end-to-end test to hold the DICOM
// instances' frames against:
//   splice_frames TABLES < TILES > FRAMES
// TILES and FRAMES are streams of length-prefixed records (a 4-byte
// little-endian length, then the bytes); an empty record comes out for a
// tile that cannot be spliced.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "dicom/jpeg_frame.h"

namespace {

bool ReadRecord(std::FILE* in, std::vector<std::uint8_t>* bytes) {
    std::uint8_t size[4];
    if (std::fread(size, 1, 4, in) != 4) return false;
    bytes->resize(size[0] | (std::size_t{size[1]} << 8) | (std::size_t{size[2]} << 16) |
                  (std::size_t{size[3]} << 24));
    return std::fread(bytes->data(), 1, bytes->size(), in) == bytes->size();
}

void WriteRecord(std::FILE* out, const std::vector<std::uint8_t>& bytes) {
    const std::uint32_t n = static_cast<std::uint32_t>(bytes.size());
    const std::uint8_t size[4] = {std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16),
                                  std::uint8_t(n >> 24)};
    std::fwrite(size, 1, 4, stdout);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: splice_frames TABLES < TILES > FRAMES\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> tables((std::istreambuf_iterator<char>(file)),
                                           std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> tile, frame;
    while (ReadRecord(stdin, &tile)) {
        frame.clear();
        if (!nvx::dicom::SpliceTables(tile, tables, &frame)) frame.clear();
        WriteRecord(stdout, frame);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
