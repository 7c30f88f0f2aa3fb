/*
 * picture_frame.h - the one frame of a label, overview or thumbnail
 * instance, encoded from the picture's RGB pixels a row at a time.
 *
 * The frame is a complete baseline JPEG stream of R, G and B without a
 * colour transform (component ids 'R' 'G' 'B', an Adobe marker with
 * transform 0), every component at full resolution: the instance says RGB.
 * The pictures stay RGB as they do in the TIFF: a label's coloured print
 * and barcodes would blur at half-resolution chroma, and RGB frames
 * decode exactly in every reader that honours the Adobe marker.
 *
 * The stream's Huffman tables are the standard ones: tables fitted to the
 * picture would need libjpeg to keep the coefficients of the whole
 * picture, six bytes a pixel, where the rows cost only their width. So a
 * picture costs the memory of its compressed frame, whatever its area.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace nvx::dicom {

class PictureFrameEncoder {
public:
    enum class Failure {
        None,
        Refused,      // a size no frame can have, a quality out of range, a call out of turn
        OutOfMemory,  // libjpeg could not get the memory it needs
    };

    PictureFrameEncoder();
    ~PictureFrameEncoder();
    PictureFrameEncoder(const PictureFrameEncoder&) = delete;
    PictureFrameEncoder& operator=(const PictureFrameEncoder&) = delete;

    // Starts a frame of width x height pixels at `quality` (1 to 100).
    // False for 0 or more than 65535 on a side.
    bool Start(std::uint32_t width, std::uint32_t height, int quality);
    // Encodes the next row: width packed R, G, B bytes, rows top down.
    bool WriteRow(const std::uint8_t* row);
    // Ends the stream once every row was written and moves it into `frame`.
    bool Finish(std::vector<std::uint8_t>* frame);
    // Why the encoder stopped; None while it has not.
    Failure failure() const;

    // libjpeg's state; it lives on the heap so that it survives a jump back
    // from libjpeg's error exit.
    struct State;

private:
    std::unique_ptr<State> state_;
};

// Encodes the whole of `rgb` (width * height pixels) at `quality` into
// `frame`. False, with `frame` untouched, when the size does not match the
// pixels or cannot be a frame. Throws std::bad_alloc when memory runs out.
bool EncodePictureFrame(std::span<const std::uint8_t> rgb, std::uint32_t width,
                        std::uint32_t height, int quality, std::vector<std::uint8_t>* frame);

}  // namespace nvx::dicom
