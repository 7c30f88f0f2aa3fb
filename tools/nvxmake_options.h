/*
 * nvxmake_options.h - the command line of nvxmake, parsed into one plain
 * record; parsing never prints, it returns the message to show.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nvxmake {

enum class Mode { Help, Synthetic, From, Info };

struct MakeOptions {
    Mode mode = Mode::Help;
    uint32_t width = 0, height = 0;  // --synthetic
    std::string source;              // --from
    std::string output;              // OUT.nvx, or the file of --info
    std::optional<uint32_t> magnification;
    std::optional<float> mpp;
    uint32_t tileSize = 256;
    int quality = 90;
    uint32_t seed = 1;
    std::string labelFile, previewFile;
    unsigned threads = 0;  // 0: one per core
};

struct ParseResult {
    std::optional<MakeOptions> options;
    std::string error;  // set when options is empty
};

ParseResult ParseOptions(int argc, const char* const* argv);

const char* UsageText();

}  // namespace nvxmake
