/*
 * picture_stream.cpp - a picture's rows from libjpeg's scanline decoder to
 * its output's sink, one row buffer for the whole picture.
 */
#include "pyramid/picture_stream.h"

#include <new>
#include <vector>

#include "slide/jpeg_row_decoder.h"

namespace nvx::pyramid {

namespace {

PictureResult DecodeFailed(const slide::JpegRowDecoder& decoder, AssociatedPicture picture,
                           RunRecord* record) {
    if (decoder.failure() != slide::JpegRowDecoder::Failure::OutOfMemory)
        return PictureResult::Lost;
    record->Fail(Step::OfPicture(Stage::DecodingPicture, picture), Cause::OutOfMemory);
    return PictureResult::OutOfMemory;
}

}  // namespace

PictureResult StreamPicture(AssociatedPicture picture, const std::uint8_t* stream,
                            std::int32_t length, const std::function<bool(const JpegSize&)>& fits,
                            PictureSink* sink, RunRecord* record) {
    if (stream == nullptr || length <= 0) return PictureResult::Lost;
    Stage doing = Stage::DecodingPicture;
    try {
        slide::JpegRowDecoder decoder(stream, static_cast<std::size_t>(length));
        if (!decoder.Start()) return DecodeFailed(decoder, picture, record);
        const JpegSize size = decoder.size();
        if (!fits(size)) return PictureResult::Lost;
        doing = Stage::WritingPicture;
        std::vector<std::uint8_t> row(static_cast<std::size_t>(size.width) * 3);
        PictureResult result = sink->Begin(size);
        for (std::int32_t y = 0; result == PictureResult::Written && y < size.height; ++y) {
            if (!decoder.ReadRow(row.data())) return DecodeFailed(decoder, picture, record);
            result = sink->Row(row.data());
        }
        if (result != PictureResult::Written) return result;
        if (!decoder.Finish()) return DecodeFailed(decoder, picture, record);
        return sink->End();
    } catch (const std::bad_alloc&) {
        record->Fail(Step::OfPicture(doing, picture), Cause::OutOfMemory);
        return PictureResult::OutOfMemory;
    }
}

}  // namespace nvx::pyramid
