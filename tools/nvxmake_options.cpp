/*
 * nvxmake_options.cpp - option parsing. Numbers are parsed strictly (the
 * whole argument, in range), since a typo in a size should stop the run,
 * not make a slide of the wrong size.
 */
#include "tools/nvxmake_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "nvxlib/nvx_format.h"

namespace nvxmake {
namespace {

template <typename T>
bool ParseInt(std::string_view text, T lo, T hi, T& out) {
    T v{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool ParseSize(std::string_view text, uint32_t& w, uint32_t& h) {
    const size_t x = text.find_first_of("xX");
    return x != std::string_view::npos && ParseInt<uint32_t>(text.substr(0, x), 1, 0x7fffffff, w) &&
           ParseInt<uint32_t>(text.substr(x + 1), 1, 0x7fffffff, h);
}

}  // namespace

const char* UsageText() {
    return "usage:\n"
           "  nvxmake --synthetic WIDTHxHEIGHT OUT.nvx [options]\n"
           "  nvxmake --from SOURCE OUT.nvx [options]\n"
           "  nvxmake --info FILE.nvx\n"
           "  nvxmake --help\n"
           "\n"
           "SOURCE is any slide OpenSlide opens (SVS, tiled TIFF, NDPI, ...) or a JPEG picture.\n"
           "\n"
           "options:\n"
           "  --mag M          scan magnification (default: the source's objective power, else "
           "40)\n"
           "  --mpp F          microns per pixel (default: the source's, else 0)\n"
           "  --tile N         tile size, a multiple of 16 from 16 to 4096 (default 256)\n"
           "  --quality Q      JPEG quality of stored tiles, 1..100 (default 90)\n"
           "  --label FILE     JPEG picture to store as the label (default: the source's own;\n"
           "                   none when it has none; a made-up one for --synthetic)\n"
           "  --preview FILE   JPEG picture to store as the preview (macro), defaults as --label\n"
           "  --seed N         variant of the synthetic slide (default 1)\n"
           "  --threads N      worker threads (default: one per core)\n";
}

ParseResult ParseOptions(int argc, const char* const* argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    MakeOptions o;
    std::vector<std::string_view> positional;
    auto bad = [](std::string text) { return ParseResult{std::nullopt, std::move(text)}; };
    bool modeSet = false;
    auto setMode = [&](Mode m) {
        if (modeSet) return false;
        o.mode = m;
        modeSet = true;
        return true;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (a == "--help" || a == "-h") return {o, {}};
        const bool takesValue = a == "--synthetic" || a == "--from" || a == "--info" ||
                                a == "--mag" || a == "--mpp" || a == "--tile" || a == "--quality" ||
                                a == "--label" || a == "--preview" || a == "--seed" ||
                                a == "--threads";
        if (!takesValue) {
            if (a.starts_with("--")) return bad("unknown option " + std::string(a));
            positional.push_back(a);
            continue;
        }
        if (i + 1 >= args.size()) return bad(std::string(a) + " needs a value");
        const std::string_view v = args[++i];
        const std::string value(v);
        if (a == "--synthetic") {
            if (!setMode(Mode::Synthetic)) return bad("choose one of --synthetic, --from, --info");
            if (!ParseSize(v, o.width, o.height))
                return bad("bad size " + value + " (want WIDTHxHEIGHT)");
        } else if (a == "--from") {
            if (!setMode(Mode::From)) return bad("choose one of --synthetic, --from, --info");
            o.source = value;
        } else if (a == "--info") {
            if (!setMode(Mode::Info)) return bad("choose one of --synthetic, --from, --info");
            o.output = value;
        } else if (a == "--mag") {
            uint32_t m = 0;
            if (!ParseInt<uint32_t>(v, 1, 1000, m)) return bad("bad magnification " + value);
            o.magnification = m;
        } else if (a == "--mpp") {
            char* end = nullptr;
            const double f = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(f) || f < 0 || f > 1000)
                return bad("bad microns per pixel " + value);
            o.mpp = static_cast<float>(f);
        } else if (a == "--tile") {
            if (!ParseInt<uint32_t>(v, 0, 0xffffffff, o.tileSize) ||
                !nvx::IsSupportedTileSize(o.tileSize))
                return bad("bad tile size " + value + " (a multiple of 16 from 16 to 4096)");
        } else if (a == "--quality") {
            if (!ParseInt<int>(v, 1, 100, o.quality))
                return bad("bad quality " + value + " (1..100)");
        } else if (a == "--label") {
            o.labelFile = value;
        } else if (a == "--preview") {
            o.previewFile = value;
        } else if (a == "--seed") {
            if (!ParseInt<uint32_t>(v, 0, 0xffffffff, o.seed)) return bad("bad seed " + value);
        } else if (a == "--threads") {
            if (!ParseInt<unsigned>(v, 1, 256, o.threads)) return bad("bad thread count " + value);
        }
    }
    if (!modeSet) return bad("nothing to do");
    if (o.mode == Mode::Info) {
        if (!positional.empty()) return bad("--info takes one file");
        return {o, {}};
    }
    if (positional.size() != 1) return bad("give exactly one output file OUT.nvx");
    o.output = std::string(positional[0]);
    return {o, {}};
}

}  // namespace nvxmake
