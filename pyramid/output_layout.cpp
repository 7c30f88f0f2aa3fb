/*
 * output_layout.cpp - tag sets and descriptions of the output directories.
 * libtiff starts every directory from its defaults, so each kind of
 * directory sets its whole tag set afresh.
 */
#include "pyramid/output_layout.h"

#include <cstdio>

namespace nvx::pyramid {

namespace {

// Sets the tags of one directory, each call as given, and remembers
// whether libtiff took them all: a tag it refused leaves the file without
// what the directory must say.
class Tags {
public:
    explicit Tags(TIFF* tiff) : tiff_(tiff) {}
    template <typename... Values>
    Tags& Set(ttag_t tag, Values... values) {
        taken_ = TIFFSetField(tiff_, tag, values...) != 0 && taken_;
        return *this;
    }
    bool Taken() const { return taken_; }

private:
    TIFF* tiff_;
    bool taken_ = true;
};

// The tags every kind of directory shares after its size.
void SetRgbJpegTags(Tags& tags, int jpegQuality) {
    tags.Set(TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB)
        .Set(TIFFTAG_FILLORDER, FILLORDER_MSB2LSB)
        .Set(TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG)
        .Set(TIFFTAG_COMPRESSION, COMPRESSION_JPEG)
        .Set(TIFFTAG_JPEGQUALITY, jpegQuality);
}

void SetSizeAndSamples(Tags& tags, std::int32_t width, std::int32_t height) {
    tags.Set(TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width))
        .Set(TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height))
        .Set(TIFFTAG_BITSPERSAMPLE, 8)
        .Set(TIFFTAG_SAMPLESPERPIXEL, 3);
}

void SetResolution(Tags& tags) {
    tags.Set(TIFFTAG_XRESOLUTION, static_cast<double>(kAssociatedResolution))
        .Set(TIFFTAG_YRESOLUTION, static_cast<double>(kAssociatedResolution))
        .Set(TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
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
                             std::int32_t scanMagnification, float micronsPerPixel, int quality) {
    return Format(
        "Aperio Image Format\r\n%dx%d [0,0 %dx%d] (%dx%d) JPEG/RGB Q=%d|AppMag = %d|MPP = %f",
        width, height, width, height, tileSize, tileSize, quality, scanMagnification,
        static_cast<double>(micronsPerPixel));
}

std::string LabelDescription(std::int32_t width, std::int32_t height) {
    return Format("Aperio Image Format\nlabel %dx%d", width, height);
}

std::string MacroDescription(std::int32_t width, std::int32_t height) {
    return Format("|macro = macro|\nmacro %dx%d", width, height);
}

bool SetFirstLevelSubfileType(TIFF* tiff) {
    return Tags(tiff).Set(TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(2)).Taken();
}

bool SetLevelTags(TIFF* tiff, const LevelPlan& level, const SharedLevelTags& shared) {
    const std::string description = LevelDescription(
        level.width, level.height, shared.tileSize, shared.scanMagnification,
        shared.micronsPerPixel, level.storedTiles ? level.jpegQuality : shared.describedQuality);
    Tags tags(tiff);
    tags.Set(TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(level.directoryIndex),
             static_cast<std::uint16_t>(shared.pageCount))
        .Set(TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT)
        .Set(TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(level.width))
        .Set(TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(level.height))
        .Set(TIFFTAG_TILEWIDTH, static_cast<std::uint32_t>(shared.tileSize))
        .Set(TIFFTAG_TILELENGTH, static_cast<std::uint32_t>(shared.tileSize))
        .Set(TIFFTAG_BITSPERSAMPLE, 8)
        .Set(TIFFTAG_SAMPLESPERPIXEL, 3)
        .Set(TIFFTAG_IMAGEDESCRIPTION, description.c_str())
        .Set(TIFFTAG_SOFTWARE, kSoftware);
    SetRgbJpegTags(tags, level.jpegQuality);
    if (level.storedTiles) {
        tags.Set(TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR)
            .Set(TIFFTAG_YCBCRSUBSAMPLING, static_cast<std::uint16_t>(1),
                 static_cast<std::uint16_t>(1));
    } else if (level.chroma420) {
        // Readers that decode through libtiff take the stream's sampling
        // from this tag; readers that convert to RGB themselves take the
        // full-range YCbCr that JPEG streams hold from the reference.
        static const float kFullRange[6] = {0.0f, 255.0f, 128.0f, 255.0f, 128.0f, 255.0f};
        tags.Set(TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR)
            .Set(TIFFTAG_YCBCRSUBSAMPLING, static_cast<std::uint16_t>(2),
                 static_cast<std::uint16_t>(2))
            .Set(TIFFTAG_REFERENCEBLACKWHITE, kFullRange);
    }
    return tags.Taken();
}

bool SetJpegTables(TIFF* tiff, const std::vector<std::uint8_t>& tables) {
    // libtiff refuses empty tables without a word; tiles without their
    // tables decode to nothing.
    if (tables.empty()) return false;
    return Tags(tiff)
        .Set(TIFFTAG_JPEGTABLES, static_cast<std::uint32_t>(tables.size()), tables.data())
        .Taken();
}

bool SetThumbnailTags(TIFF* tiff, std::int32_t pageCount, std::int32_t width, std::int32_t height,
                      int quality) {
    Tags tags(tiff);
    tags.Set(TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(0))
        .Set(TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(2),
             static_cast<std::uint16_t>(pageCount))
        .Set(TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    SetSizeAndSamples(tags, width, height);
    SetRgbJpegTags(tags, quality);
    tags.Set(TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(height));
    SetResolution(tags);
    return tags.Taken();
}

bool SetLabelTags(TIFF* tiff, std::int32_t page, std::int32_t pageCount, std::int32_t width,
                  std::int32_t height, int quality) {
    const std::string description = LabelDescription(width, height);
    Tags tags(tiff);
    tags.Set(TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(1))
        .Set(TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(page),
             static_cast<std::uint16_t>(pageCount))
        .Set(TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    SetSizeAndSamples(tags, width, height);
    tags.Set(TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    SetRgbJpegTags(tags, quality);
    tags.Set(TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(height));
    SetResolution(tags);
    return tags.Taken();
}

bool SetMacroTags(TIFF* tiff, std::int32_t width, std::int32_t height, int quality) {
    const std::string description = MacroDescription(width, height);
    Tags tags(tiff);
    tags.Set(TIFFTAG_SUBFILETYPE, static_cast<std::uint32_t>(9))
        .Set(TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    SetSizeAndSamples(tags, width, height);
    tags.Set(TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    SetRgbJpegTags(tags, quality);
    tags.Set(TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(height));
    return tags.Taken();
}

}  // namespace nvx::pyramid
