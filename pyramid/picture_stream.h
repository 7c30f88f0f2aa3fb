/*
 * picture_stream.h - the one way a picture (the thumbnail, the label, the
 * macro) goes from the slide library's JPEG stream to an output: decoded a
 * row at a time and handed row by row to the output's picture sink, which
 * encodes it as it comes (libtiff's JPEG codec for a TIFF directory, a
 * streaming libjpeg encoder for a DICOM instance's frame). A picture costs
 * memory in proportion to its width, not its area.
 *
 * A stream that is absent, does not decode or does not fit is lost data;
 * memory that runs out while decoding fails the run in its record, naming
 * the picture. The sink records its own failures in its own words.
 */
#pragma once

#include <cstdint>
#include <functional>

#include "common/run_record.h"
#include "common/turbo_jpeg.h"

namespace nvx::pyramid {

enum class PictureResult {
    Written,
    Missing,      // left out: the slide has no such picture
    Lost,         // left out: the slide's picture could not be read
    WriteFailed,  // the output refused the picture (in the record)
    OutOfMemory,  // left out: memory ran out (in the record)
};

// Where a picture's rows go. Each call returns Written to go on, or the
// failure it has put in the record (WriteFailed or OutOfMemory).
class PictureSink {
public:
    virtual ~PictureSink() = default;
    // Before the first row, with the picture's size from its stream.
    virtual PictureResult Begin(const JpegSize& size) = 0;
    // The next row: size.width packed R, G, B bytes.
    virtual PictureResult Row(const std::uint8_t* rgb) = 0;
    // After the last row was decoded and the stream read to its end.
    virtual PictureResult End() = 0;
};

// Decodes `stream` (`length` bytes, the caller's) into `sink`. `fits` may
// refuse the stream's size (the thumbnail must not be larger than asked
// for); the picture is then lost.
PictureResult StreamPicture(AssociatedPicture picture, const std::uint8_t* stream,
                            std::int32_t length, const std::function<bool(const JpegSize&)>& fits,
                            PictureSink* sink, RunRecord* record);

}  // namespace nvx::pyramid
