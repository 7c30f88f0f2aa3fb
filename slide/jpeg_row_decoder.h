/*
 * jpeg_row_decoder.h - decodes one JPEG stream from the slide library into
 * packed 8-bit RGB a row at a time, with libjpeg's scanline interface, so
 * that a picture costs memory in proportion to its width, not its area.
 *
 * The pixels are those of the whole-picture decode (jpeg_decode.h): the same
 * libjpeg defaults (accurate integer DCT, smooth upsampling), and a stream
 * that draws a warning from libjpeg fails here as it does there.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/turbo_jpeg.h"

namespace nvx::slide {

class JpegRowDecoder {
public:
    enum class Failure {
        None,
        Unreadable,   // not a JPEG stream we can decode, or damaged inside
        OutOfMemory,  // libjpeg could not get the memory it needs
    };

    // The stream stays the caller's and must outlive the decoder.
    JpegRowDecoder(const std::uint8_t* stream, std::size_t length);
    ~JpegRowDecoder();
    JpegRowDecoder(const JpegRowDecoder&) = delete;
    JpegRowDecoder& operator=(const JpegRowDecoder&) = delete;

    // Reads the header and prepares the decode. False on failure. Calls out
    // of turn (a second Start, a row before Start or after the last, Finish
    // before the last row) say no and change nothing.
    bool Start();
    // The picture's size, from its header, once Start has succeeded.
    JpegSize size() const;
    // Decodes the next row into `row` (size().width * 3 bytes). False on
    // failure or when every row has been read.
    bool ReadRow(std::uint8_t* row);
    // Reads the rest of the stream after the last row. False on failure.
    bool Finish();
    // Why the decode failed; None while it has not.
    Failure failure() const;

    // libjpeg's state; it lives on the heap so that it survives a jump back
    // from libjpeg's error exit.
    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace nvx::slide
