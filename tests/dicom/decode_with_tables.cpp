/*
 * decode_with_tables.cpp - libjpeg reading a tables-only stream and then
 * the stream that relies on it, with the same decompressor.
 */
#include "tests/dicom/decode_with_tables.h"

// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

namespace nvx::dicom {

std::vector<std::uint8_t> DecodeWithTables(const std::vector<std::uint8_t>& tables,
                                           const std::vector<std::uint8_t>& stream) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, tables.data(), tables.size());
    jpeg_read_header(&cinfo, FALSE);
    jpeg_mem_src(&cinfo, stream.data(), stream.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(cinfo.output_width) *
                                  cinfo.output_height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row =
            &rgb[static_cast<std::size_t>(cinfo.output_scanline) * cinfo.output_width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return rgb;
}

}  // namespace nvx::dicom
