/* open_slide.c - a program of someone else's, built against the installed
 * slide library: opens the slide named on the command line and prints its
 * size and magnification. */
#include <NvxSlideLib.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: open_slide SLIDE.nvx\n");
        return 2;
    }
    NvxSlideHandle slide = 0;
    if (!NvxOpenSlide(&slide, argv[1])) {
        char reason[256];
        NvxOpenFailureReason(reason, sizeof reason);
        fprintf(stderr, "open_slide: %s\n", reason);
        return 1;
    }
    int32_t height = 0, width = 0, magnification = 0, tileSize = 0;
    float auxFloat = 0, micronsPerPixel = 0;
    double auxDouble = 0;
    const int queried = NvxQuerySlide(slide, &height, &width, &magnification, &auxFloat, &auxDouble,
                                      &micronsPerPixel, &tileSize);
    if (queried) printf("%d x %d at %dx\n", (int)width, (int)height, (int)magnification);
    return NvxCloseSlide(&slide) && queried ? 0 : 1;
}
