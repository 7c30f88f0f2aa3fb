/*
 * output_layout.cpp - tag sets and descriptions of the output directories.
 * libtiff starts every directory from its defaults, so each kind of
 * directory sets its whole tag set afresh.
 */
#include "pyramid/output_layout.h"

#include <cstdio>

namespace nvx::pyramid {

namespace {

// The tags every kind of directory shares after its size.
void SetRgbJpegTags(TIFF* tiff, int jpegQuality) {
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
    TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, jpegQuality);
}

void SetSizeAndSamples(TIFF* tiff, std::int32_t width, std::int32_t height) {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
}

void SetResolution(TIFF* tiff) {
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, static_cast<double>(kAssociatedResolution));
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, static_cast<double>(kAssociatedResolution));
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
}

std::string Format(const char* format, auto... values) {
    const int length = std::snprintf(nullptr, 0, format, values...);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, values...);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

}  // namespace

std::string LevelDescription(std::int32_t width, std::int32_t height, std::int32_t tileSize,
                             std::int32_t scanMagnification, float micronsPerPixel) {
    return Format(
        "Aperio Image Format\r\n%dx%d [0,0 %dx%d] (%dx%d) JPEG/RGB Q=%d|AppMag = %d|MPP = %f",
        width, height, width, height, tileSize, tileSize, kFullQuality, scanMagnification,
        static_cast<double>(micronsPerPixel));
}

std::string LabelDescription(std::int32_t width, std::int32_t height) {
    return Format("Aperio Image Format\nlabel %dx%d", width, height);
}

std::string MacroDescription(std::int32_t width, std::int32_t height) {
    return Format("|macro = macro|\nmacro %dx%d", width, height);
}

void SetFirstLevelSubfileType(TIFF* tiff) {
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(2));
}

void SetLevelTags(TIFF* tiff, const LevelPlan& level, const SharedLevelTags& shared) {
    const std::string description =
        LevelDescription(level.width, level.height, shared.tileSize, shared.scanMagnification,
                         shared.micronsPerPixel);
    TIFFSetField(tiff, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(level.directoryIndex),
                 static_cast<std::uint16_t>(shared.pageCount));
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(level.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(level.height));
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, static_cast<std::uint32_t>(shared.tileSize));
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, static_cast<std::uint32_t>(shared.tileSize));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    TIFFSetField(tiff, TIFFTAG_SOFTWARE, kSoftware);
    SetRgbJpegTags(tiff, level.jpegQuality);
}

void SetJpegTables(TIFF* tiff, const std::vector<std::uint8_t>& tables) {
    TIFFSetField(tiff, TIFFTAG_JPEGTABLES, static_cast<std::uint32_t>(tables.size()),
                 tables.data());
}

void SetThumbnailTags(TIFF* tiff, std::int32_t pageCount, std::int32_t width, std::int32_t height) {
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(0));
    TIFFSetField(tiff, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(2),
                 static_cast<std::uint16_t>(pageCount));
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    SetSizeAndSamples(tiff, width, height);
    SetRgbJpegTags(tiff, kReducedQuality);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(height));
    SetResolution(tiff);
}

void SetLabelTags(TIFF* tiff, std::int32_t page, std::int32_t pageCount, std::int32_t width,
                  std::int32_t height) {
    const std::string description = LabelDescription(width, height);
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(1));
    TIFFSetField(tiff, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(page),
                 static_cast<std::uint16_t>(pageCount));
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    SetSizeAndSamples(tiff, width, height);
    TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    SetRgbJpegTags(tiff, kFullQuality);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(height));
    SetResolution(tiff);
}

void SetMacroTags(TIFF* tiff, std::int32_t width, std::int32_t height) {
    const std::string description = MacroDescription(width, height);
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(9));
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    SetSizeAndSamples(tiff, width, height);
    TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    SetRgbJpegTags(tiff, kFullQuality);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(height));
}

}  // namespace nvx::pyramid
