// Writes whole-slide instances from synthetic pictures into a folder, for
// the readers, the validator and a PACS, with the pixels each frame must
// show beside each (NAME.dcm, NAME.rgb: every frame's pixels in order) and
// a list of them (instances.txt: name, frames, tile width and height,
// photometric interpretation, and "exact" when the frames decode to those
// pixels exactly, "near" when they are the source pixels the frame was
// encoded from).
//   write_test_instances FOLDER [METADATA.json]
//       one instance of each kind, from patterns that differ tile by tile;
//       the patient, study and specimen from METADATA.json when given
//   write_test_instances --slide FOLDER
//       one slide as the converter lays it out: three levels of a
//       tissue-like picture, its label, overview and thumbnail
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "common/native_file.h"
#include "common/sha256.h"
#include "dicom/instance_writer.h"
#include "dicom/jpeg_frame.h"
#include "dicom/picture_frame.h"
#include "dicom/slide_metadata.h"
#include "dicom/uid.h"
#include "dicom/wsm_instance.h"
#include "pyramid/tile_encoder.h"
#include "tests/dicom/decode_with_tables.h"

namespace {

using nvx::dicom::DecodeWithTables;
using nvx::dicom::FramePhotometric;
using nvx::dicom::WsmImageKind;
using Bytes = std::vector<std::uint8_t>;

enum class Encoding { AbbreviatedRgb, CompleteYcbcr, Subsampled420, Picture };
enum class Source { Pattern, Tissue };

struct Kind {
    const char* name;
    WsmImageKind kind;
    Encoding encoding;
    int width, height, tileWidth, tileHeight;
    // The offset table: the Basic one from the sizes given ahead, or
    // either one filled at the end.
    enum class Table { Ahead, Basic, Extended } table;
    Source source = Source::Pattern;
};

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "write_test_instances: %s\n", what.c_str());
    std::exit(1);
}

// A picture that differs from tile to tile and within each.
Bytes Pixels(int width, int height, int seed) {
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>((x * 3 + seed * 40) & 0xFF);
            p[1] = static_cast<std::uint8_t>((y * 5 + ((x / 16 + y / 16) % 2) * 90) & 0xFF);
            p[2] = static_cast<std::uint8_t>(((x ^ y) + seed * 17) & 0xFF);
        }
    }
    return rgb;
}

// Something like stained tissue on glass: pale ground, pink blobs with
// purple nuclei, smooth enough for JPEG to keep close. `step`: source
// pixels per pixel, so that the levels of one slide show the same tissue.
Bytes Tissue(int width, int height, int step) {
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double sx = double(x) * step, sy = double(y) * step;
            const double blob =
                std::sin(sx / 230.0) * std::cos(sy / 170.0) + 0.5 * std::sin((sx + sy) / 90.0);
            const double nucleus = std::sin(sx / 23.0) * std::sin(sy / 19.0);
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            if (blob < 0.2) {
                p[0] = 242, p[1] = 238, p[2] = 240;  // glass
            } else if (nucleus > 0.6) {
                p[0] = 110, p[1] = 70, p[2] = 150;  // nucleus
            } else {
                const int shade = static_cast<int>(40 * blob);
                p[0] = static_cast<std::uint8_t>(225 - shade / 2);
                p[1] = static_cast<std::uint8_t>(150 - shade);
                p[2] = static_cast<std::uint8_t>(190 - shade / 2);
            }
        }
    }
    return rgb;
}

// The tile at column `tx`, row `ty`, whole even at the picture's edges
// (what lies past them repeats the edge pixels).
Bytes TilePixels(const Bytes& rgb, int width, int height, int tw, int th, int tx, int ty) {
    Bytes out(static_cast<std::size_t>(tw) * th * 3);
    for (int y = 0; y < th; ++y) {
        for (int x = 0; x < tw; ++x) {
            const int sx = std::min(tx * tw + x, width - 1), sy = std::min(ty * th + y, height - 1);
            std::memcpy(&out[(static_cast<std::size_t>(y) * tw + x) * 3],
                        &rgb[(static_cast<std::size_t>(sy) * width + sx) * 3], 3);
        }
    }
    return out;
}

Bytes Decode(const Bytes& stream) {
    tjhandle tj = tjInitDecompress();
    int width = 0, height = 0, sub = 0, space = 0;
    if (tjDecompressHeader3(tj, stream.data(), stream.size(), &width, &height, &sub, &space) != 0) {
        Die("cannot read a tile's header");
    }
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    if (tjDecompress2(tj, stream.data(), stream.size(), rgb.data(), width, 0, height, TJPF_RGB,
                      0) != 0) {
        Die("cannot decode a tile");
    }
    tjDestroy(tj);
    return rgb;
}

Bytes Encode420(const Bytes& rgb, int width, int height) {
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, 80, 0) !=
        0) {
        Die("cannot encode a 4:2:0 tile");
    }
    Bytes stream(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    return stream;
}

void WriteInstance(const std::string& folder, const Kind& kind, int number,
                   const nvx::dicom::WsmSlide& slide, const nvx::Sha256::Digest& digest,
                   std::ofstream& list) {
    const Bytes rgb = kind.source == Source::Tissue
                          ? Tissue(kind.width, kind.height, int(slide.columns) / kind.width)
                          : Pixels(kind.width, kind.height, number);
    const int tw = kind.tileWidth, th = kind.tileHeight;
    const int across = (kind.width + tw - 1) / tw, down = (kind.height + th - 1) / th;
    const int quality = 80;
    nvx::pyramid::TileEncoder encoder(quality);
    const Bytes tables = nvx::pyramid::TablesFor(quality);
    std::vector<Bytes> frames;
    Bytes decoded;
    for (int ty = 0; ty < down; ++ty) {
        for (int tx = 0; tx < across; ++tx) {
            const Bytes tile = TilePixels(rgb, kind.width, kind.height, tw, th, tx, ty);
            Bytes stream, frame, pixels;
            switch (kind.encoding) {
                case Encoding::AbbreviatedRgb:
                    if (!encoder.Encode(tile.data(), tw, th, &stream)) Die("encode");
                    if (!nvx::dicom::SpliceTables(stream, tables, &frame)) Die("splice");
                    pixels = DecodeWithTables(tables, stream);
                    break;
                case Encoding::CompleteYcbcr:
                    if (!nvx::pyramid::EncodeCompleteYCbCr(tile.data(), tw, th, quality, &frame)) {
                        Die("encode");
                    }
                    pixels = Decode(frame);
                    break;
                case Encoding::Subsampled420:
                    frame = Encode420(tile, tw, th);
                    pixels = Decode(frame);
                    break;
                case Encoding::Picture:
                    if (!nvx::dicom::EncodePictureFrame(tile, static_cast<std::uint32_t>(tw),
                                                        static_cast<std::uint32_t>(th), quality,
                                                        &frame)) {
                        Die("encode a picture");
                    }
                    pixels = tile;
                    break;
            }
            frames.push_back(std::move(frame));
            decoded.insert(decoded.end(), pixels.begin(), pixels.end());
        }
    }

    nvx::dicom::WsmImage image;
    image.kind = kind.kind;
    if (!nvx::dicom::PhotometricOf(frames.front(), &image.photometric)) Die("photometric");
    image.instanceUid = nvx::dicom::InstanceUid(digest, static_cast<std::uint32_t>(number));
    image.instanceNumber = static_cast<std::uint32_t>(number);
    image.columns = static_cast<std::uint32_t>(kind.width);
    image.rows = static_cast<std::uint32_t>(kind.height);
    image.tileColumns = static_cast<std::uint32_t>(tw);
    image.tileRows = static_cast<std::uint32_t>(th);
    std::size_t compressed = 0;
    std::vector<std::size_t> sizes;
    for (const Bytes& frame : frames) compressed += frame.size(), sizes.push_back(frame.size());
    image.compressionRatio = static_cast<double>(decoded.size()) / static_cast<double>(compressed);
    std::string why;
    const nvx::dicom::DataSet dataSet = nvx::dicom::WsmInstanceDataSet(slide, image, &why);
    if (dataSet.Empty()) Die(why);

    const std::string path = folder + "/" + kind.name + ".dcm";
    nvx::WritableFile file;
    bool exists = false;
    if (!file.CreateNew(path, &why, &exists)) Die(path + ": " + why);
    nvx::dicom::FileSink sink(file);
    nvx::dicom::InstanceWriter writer(sink);
    nvx::dicom::FileMeta meta{nvx::dicom::kWsmSopClass, image.instanceUid,
                              nvx::dicom::kJpegBaselineTransferSyntax,
                              nvx::dicom::UidsFor(digest).implementationClass, "NVX2SVS"};
    bool ok =
        kind.table == Kind::Table::Ahead
            ? writer.Begin(meta, dataSet, sizes)
            : writer.Begin(meta, dataSet, static_cast<std::uint32_t>(frames.size()),
                           kind.table == Kind::Table::Basic ? nvx::dicom::OffsetTable::Basic
                                                            : nvx::dicom::OffsetTable::Extended);
    for (const Bytes& frame : frames) ok = ok && writer.AppendFrame(frame);
    ok = ok && writer.Finish();
    if (!ok) Die(path + ": " + nvx::SystemErrorText(static_cast<unsigned long>(writer.Error())));
    if (!file.Close(&why)) Die(path + ": " + why);
    std::ofstream(folder + "/" + kind.name + ".rgb", std::ios::binary)
        .write(reinterpret_cast<const char*>(decoded.data()),
               static_cast<std::streamsize>(decoded.size()));
    list << kind.name << ' ' << frames.size() << ' ' << tw << ' ' << th << ' '
         << nvx::dicom::PhotometricName(image.photometric) << ' '
         << (kind.encoding == Encoding::Picture ? "near" : "exact") << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    const bool wholeSlide = argc == 3 && std::string(argv[1]) == "--slide";
    if (argc != 2 && argc != 3) Die("usage: write_test_instances [--slide] FOLDER [METADATA.json]");
    const std::string folder = argv[wholeSlide ? 2 : 1];
    nvx::dicom::WsmSlide slide;
    slide.metadata = {"P-0001", "Doe^Jane", "A123", "SLIDE-42", "Skin, punch biopsy"};
    std::string why;
    if (argc == 3 && !wholeSlide &&
        !nvx::dicom::ReadSlideMetadata(argv[2], &slide.metadata, &why)) {
        Die(why);
    }
    nvx::Sha256 hash;
    hash.Update(wholeSlide ? "a synthetic slide of tissue" : "a synthetic slide");
    const nvx::Sha256::Digest digest = hash.Finish();
    const nvx::dicom::SlideUids uids = nvx::dicom::UidsFor(digest);
    slide.studyUid = uids.study;
    slide.seriesUid = uids.series;
    slide.pictureSeriesUid = nvx::dicom::DerivedUid(digest, "picture series");
    slide.frameOfReferenceUid = uids.frameOfReference;
    slide.dimensionOrganizationUid = uids.dimensionOrganization;
    slide.specimenUid = uids.specimen;
    slide.contentDate = "20260101";
    slide.contentTime = "120000";
    slide.columns = wholeSlide ? 2048 : 600;
    slide.rows = wholeSlide ? 1536 : 400;
    slide.micronsPerPixelX = slide.micronsPerPixelY = 0.25;
    slide.sectionMicrons = 4;
    const Kind kinds[] = {
        // The pixel route's tiles, abbreviated RGB streams given their tables.
        {"volume", WsmImageKind::Volume, Encoding::AbbreviatedRgb, 600, 400, 256, 256,
         Kind::Table::Ahead},
        // Tiles at 4:2:0, told by the Extended Offset Table.
        {"resampled", WsmImageKind::Resampled, Encoding::Subsampled420, 300, 200, 128, 128,
         Kind::Table::Extended},
        // The pictures, one frame each, as the converter encodes them.
        {"label", WsmImageKind::Label, Encoding::Picture, 200, 104, 200, 104, Kind::Table::Basic,
         Source::Tissue},
        {"overview", WsmImageKind::Overview, Encoding::Picture, 300, 120, 300, 120,
         Kind::Table::Ahead, Source::Tissue},
        {"thumbnail", WsmImageKind::Thumbnail, Encoding::Picture, 150, 100, 150, 100,
         Kind::Table::Ahead, Source::Tissue},
        // Complete YCbCr streams without subsampling, as copied stored tiles are.
        {"volume444", WsmImageKind::Volume, Encoding::CompleteYcbcr, 512, 256, 256, 256,
         Kind::Table::Basic},
    };
    const Kind slideKinds[] = {
        {"level0", WsmImageKind::Volume, Encoding::AbbreviatedRgb, 2048, 1536, 256, 256,
         Kind::Table::Ahead, Source::Tissue},
        {"level1", WsmImageKind::Resampled, Encoding::AbbreviatedRgb, 1024, 768, 256, 256,
         Kind::Table::Ahead, Source::Tissue},
        {"level2", WsmImageKind::Resampled, Encoding::AbbreviatedRgb, 512, 384, 256, 256,
         Kind::Table::Ahead, Source::Tissue},
        {"label", WsmImageKind::Label, Encoding::Picture, 400, 200, 400, 200, Kind::Table::Basic,
         Source::Tissue},
        {"overview", WsmImageKind::Overview, Encoding::Picture, 1024, 384, 1024, 384,
         Kind::Table::Basic, Source::Tissue},
        {"thumbnail", WsmImageKind::Thumbnail, Encoding::Picture, 256, 192, 256, 192,
         Kind::Table::Basic, Source::Tissue},
    };
    std::ofstream list(folder + "/instances.txt");
    int number = 1;
    for (const Kind& kind :
         wholeSlide ? std::span<const Kind>(slideKinds) : std::span<const Kind>(kinds))
        WriteInstance(folder, kind, number++, slide, digest, list);
    return list.good() ? 0 : 1;
}
