/*
 * make_slide.cpp - ties a source, the pyramid builder and the file writer
 * together. Pictures given on the command line are stored as given (after a
 * check that they decode); pictures taken from a source or generated (for
 * synthetic slides only) are encoded at the stored quality.
 */
#include "tools/make_slide.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>

#include "common/native_file.h"
#include "nvxlib/jpeg_codec.h"
#include "tools/default_pictures.h"
#include "tools/jpeg_picture_source.h"
#include "tools/nvx_file_writer.h"
#include "tools/openslide_source.h"
#include "tools/pyramid_builder.h"
#include "tools/synthetic_tissue.h"

namespace nvxmake {
namespace {

std::unique_ptr<TileSource> OpenSource(const MakeOptions& o) {
    if (o.mode == Mode::Synthetic)
        return std::make_unique<SyntheticTissue>(o.width, o.height, o.seed);
    if (LooksLikeJpeg(o.source)) return std::make_unique<JpegPictureSource>(o.source);
    return std::make_unique<OpenSlideSource>(o.source);
}

nvx::PictureRef StoreFile(NvxFileWriter& writer, const std::string& path) {
    const std::vector<uint8_t> jpeg = ReadWholeFile(path);
    // Decoded whole, not only its header: cut or corrupt data must stop here.
    nvx::JpegSize size;
    if (!nvx::DecodesWhole(jpeg, size) || size.width > int(nvx::kMaxPictureSide) ||
        size.height > int(nvx::kMaxPictureSide))
        throw std::runtime_error("not a usable JPEG picture: " + path);
    return writer.AddPicture(jpeg, uint32_t(size.width), uint32_t(size.height));
}

nvx::PictureRef StoreImage(NvxFileWriter& writer, const RgbImage& img, int quality) {
    nvx::MallocBuffer jpeg =
        nvx::EncodeJpeg(img.rgb.data(), int(img.width), int(img.height), quality);
    if (!jpeg) throw std::runtime_error("JPEG encoding of a picture failed");
    return writer.AddPicture({jpeg.data.get(), jpeg.size}, img.width, img.height);
}

}  // namespace

void MakeSlide(const MakeOptions& o) {
    // Never the file we read from, by any name: it would be replaced.
    for (const std::string* input : {&o.source, &o.labelFile, &o.previewFile}) {
        if (!input->empty() && nvx::NamesSameFile(*input, o.output))
            throw std::runtime_error("the output " + o.output + " is the input " + *input +
                                     "; refusing to overwrite it");
    }
    const std::unique_ptr<TileSource> source = OpenSource(o);
    const unsigned threads =
        o.threads != 0 ? o.threads : std::max(1u, std::thread::hardware_concurrency());

    nvx::Header header;
    header.width = source->width();
    header.height = source->height();
    header.tileSize = o.tileSize;
    const double power = source->ObjectivePower().value_or(40.0);
    header.scanMagnification = o.magnification.value_or(
        static_cast<uint32_t>(std::clamp(std::lround(power), 1L, long(nvx::kMaxMagnification))));
    // A source value no float holds would be stored as infinity, which no
    // reader accepts: such a value counts as unknown.
    const double sourceMpp = source->MicronsPerPixel().value_or(0);
    header.micronsPerPixel = o.mpp.value_or(
        sourceMpp <= std::numeric_limits<float>::max() ? static_cast<float>(sourceMpp) : 0.0f);

    NvxFileWriter writer(o.output);
    PyramidResult pyramid = BuildPyramid(*source, o.tileSize, o.quality, threads, writer);

    // Pictures: a file given on the command line, else the source's own;
    // only a synthetic slide has them made up. A real scan without a label
    // stays without one, since a made-up label would be taken for the real.
    const bool madeUp = o.mode == Mode::Synthetic;
    std::optional<RgbImage> label = source->Label();
    if (!label && madeUp) label = MakeLabel(o.seed);
    if (!o.labelFile.empty())
        header.label = StoreFile(writer, o.labelFile);
    else if (label)
        header.label = StoreImage(writer, *label, o.quality);

    if (!o.previewFile.empty()) {
        header.preview = StoreFile(writer, o.previewFile);
    } else if (const auto macro = source->Macro()) {
        header.preview = StoreImage(writer, *macro, o.quality);
    } else if (madeUp) {
        header.preview = StoreImage(writer, MakePreview(*label, pyramid.smallest), o.quality);
    }
    writer.Commit(header, pyramid.levels);
}

}  // namespace nvxmake
