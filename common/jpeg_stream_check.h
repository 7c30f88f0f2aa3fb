/*
 * jpeg_stream_check.h - whether a JPEG stream carries, on its own,
 * everything a decoder needs to decode it.
 *
 * A JPEG decoder keeps the quantisation and Huffman tables of the streams
 * it has read, and a stream may leave them out (JPEG's abbreviated format)
 * and take whatever the decoder holds. The slide library and the converter
 * reuse decoders across tiles, so such a stream would decode with the
 * tables of some other tile, a different one on every run; and libjpeg
 * fills Huffman tables a stream never defined with the standard's example
 * tables. Neither is the tile that was stored, so a stored stream must
 * define every table it uses itself: SOI, a DQT before the first scan of
 * each component for the table that component names, a DHT before each
 * scan for every table that scan decodes with, one frame (SOF), at least
 * one scan (SOS), and EOI.
 *
 * The check reads the marker segments and skips the entropy-coded data; it
 * does not decode.
 */
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvx {

enum class StreamCompleteness {
    kComplete,
    kNoStart,              // does not begin with SOI
    kMalformed,            // a segment cut short or out of its place, a table id out of range
    kNoFrame,              // no SOF before the first scan, or none at all
    kNoScan,               // EOI before any scan
    kQuantTableMissing,    // a component's quantisation table is not defined in the stream
    kHuffmanTableMissing,  // a scan's Huffman table is not defined in the stream
    kNoEnd,                // the data ends before EOI
};

StreamCompleteness CheckStreamCompleteness(const std::uint8_t* stream, std::size_t length);

}  // namespace nvx
