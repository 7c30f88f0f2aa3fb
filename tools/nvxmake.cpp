/*
 * nvxmake.cpp - the slide authoring tool: makes nvx slides from synthetic
 * tissue, from any slide OpenSlide opens or from a JPEG picture, and prints
 * what an nvx file holds. Messages go to standard error; the exit status is
 * 0 on success, 1 on any failure, 2 on a bad command line.
 */
#include <cstdio>
#include <exception>

#include "tools/make_slide.h"
#include "tools/nvxmake_options.h"
#include "tools/slide_info.h"

int main(int argc, char** argv) {
    const nvxmake::ParseResult parsed = nvxmake::ParseOptions(argc, argv);
    if (!parsed.options) {
        std::fprintf(stderr, "nvxmake: %s\n\n%s", parsed.error.c_str(), nvxmake::UsageText());
        return 2;
    }
    const nvxmake::MakeOptions& o = *parsed.options;
    try {
        switch (o.mode) {
            case nvxmake::Mode::Help:
                std::fputs(nvxmake::UsageText(), stdout);
                return 0;
            case nvxmake::Mode::Info:
                return nvxmake::PrintSlideInfo(o.output);
            case nvxmake::Mode::Synthetic:
            case nvxmake::Mode::From:
                nvxmake::MakeSlide(o);
                return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nvxmake: %s\n", e.what());
    }
    return 1;
}
