/*
 * libjpeg_setup.h - how the pyramid writer sets up libjpeg: fatal errors
 * turned into a jump back instead of an exit of the process, warnings
 * counted instead of printed, compressed streams written into a
 * std::vector, and the settings of every output tile (those of libtiff's
 * own JPEG codec for an RGB image). The tile encoder and the DCT
 * transcoder share it, so their tiles and the directory's JPEGTables
 * agree.
 *
 * libjpeg reports fatal errors by calling error_exit, which must not
 * return; ours jumps back to the setjmp in the call that started the work.
 * Nothing with a destructor may live between a setjmp and its longjmp.
 */
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace nvx::pyramid {

struct ErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// libjpeg's fatal errors of `info` jump back to `error`'s setjmp; its
// warnings only count up info->err->num_warnings.
void CatchErrors(jpeg_common_struct* info, ErrorJump* error);

// Whether the job that jumped back to `error` failed for want of memory:
// libjpeg's own allocations, or a destination that could not grow. The
// caller, back in its own frame, throws std::bad_alloc for it; nothing is
// thrown through libjpeg's frames.
bool RanOutOfMemory(const ErrorJump& error);

// A destination that fills a std::vector from its start, growing it when
// full; `used` bytes of it hold the stream at the end. The vector keeps its
// size between streams, so a compressor reuses one buffer for all its tiles.
struct VectorDestination {
    jpeg_destination_mgr manager;
    std::vector<std::uint8_t>* stream;
    std::size_t used;
};

// Streams of `info` go into `stream` through `destination`.
void WriteInto(jpeg_compress_struct* info, VectorDestination* destination,
               std::vector<std::uint8_t>* stream);

// The settings of libtiff's JPEG codec for an RGB image at `quality`: RGB
// kept as RGB (component ids R, G, B), every component 1x1 with
// quantisation and Huffman table 0, the standard Huffman tables, no markers
// beyond the frame.
void ConfigureOutputTiles(jpeg_compress_struct* info, int quality);

}  // namespace nvx::pyramid
