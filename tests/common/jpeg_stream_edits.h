/*
 * jpeg_stream_edits.h - a JPEG stream's header changed as the tests of the
 * stream walk and of the DICOM frames need it: the JFIF marker taken out,
 * component ids, an Adobe marker, fill bytes, the frame's code and 16-bit
 * tables. Each takes a stream whose segments are whole up to its scan.
 */
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nvx::test {

using Bytes = std::vector<std::uint8_t>;

// Where each segment before the scan starts (its 0xFF), the scan's included.
inline std::vector<std::size_t> SegmentStarts(const Bytes& s) {
    std::vector<std::size_t> starts;
    for (std::size_t at = 2; at + 4 <= s.size();) {
        starts.push_back(at);
        if (s[at + 1] == 0xDA) break;
        at += 2 + ((std::size_t{s[at + 2]} << 8) | s[at + 3]);
    }
    return starts;
}

inline std::size_t Find(const Bytes& s, std::uint8_t code) {
    for (const std::size_t at : SegmentStarts(s)) {
        if (s[at + 1] == code) return at;
    }
    ADD_FAILURE() << "no segment " << int{code};
    return 0;
}

inline Bytes WithoutJfif(Bytes s) {
    const std::size_t at = Find(s, 0xE0);
    const std::size_t length = 2 + ((std::size_t{s[at + 2]} << 8) | s[at + 3]);
    s.erase(s.begin() + static_cast<std::ptrdiff_t>(at),
            s.begin() + static_cast<std::ptrdiff_t>(at + length));
    return s;
}

// The frame's and the scan's component ids.
inline Bytes WithIds(Bytes s, std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    const std::uint8_t ids[3] = {a, b, c};
    const std::size_t frame = Find(s, 0xC0), scan = Find(s, 0xDA);
    for (int i = 0; i < 3; ++i) {
        s[frame + 10 + 3 * i] = ids[i];
        s[scan + 5 + 2 * i] = ids[i];
    }
    return s;
}

inline Bytes WithAdobe(Bytes s, std::uint8_t transform) {
    const Bytes adobe = {0xFF, 0xEE, 0x00, 0x0E, 'A',  'd',  'o',  'b',
                         'e',  0x00, 0x64, 0x00, 0x00, 0x00, 0x00, transform};
    s.insert(s.begin() + 2, adobe.begin(), adobe.end());
    return s;
}

// 0xFF fill bytes before every marker up to the scan's, and before EOI.
inline Bytes WithFill(Bytes s) {
    const std::vector<std::size_t> starts = SegmentStarts(s);
    s.insert(s.end() - 2, 3, 0xFF);
    for (auto at = starts.rbegin(); at != starts.rend(); ++at) {
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(*at), 2, 0xFF);
    }
    return s;
}

inline Bytes WithFrameCode(Bytes s, std::uint8_t code) {
    s[Find(s, 0xC0) + 1] = code;
    return s;
}

// Every DQT's tables rewritten with 16-bit steps of the same values.
inline Bytes WithWideTables(const Bytes& s) {
    const std::size_t at = Find(s, 0xDB);
    const std::size_t length = (std::size_t{s[at + 2]} << 8) | s[at + 3];
    Bytes wide;
    for (std::size_t p = at + 4; p < at + 2 + length; p += 65) {
        wide.push_back(static_cast<std::uint8_t>(0x10 | (s[p] & 0x0F)));
        for (int k = 1; k <= 64; ++k) {
            wide.push_back(0);
            wide.push_back(s[p + static_cast<std::size_t>(k)]);
        }
    }
    Bytes out(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(at));
    out.push_back(0xFF);
    out.push_back(0xDB);
    out.push_back(static_cast<std::uint8_t>((wide.size() + 2) >> 8));
    out.push_back(static_cast<std::uint8_t>(wide.size() + 2));
    out.insert(out.end(), wide.begin(), wide.end());
    out.insert(out.end(), s.begin() + static_cast<std::ptrdiff_t>(at + 2 + length), s.end());
    return out;
}

}  // namespace nvx::test
