/*
 * conversion_driver.cpp - placeholder until the pyramid writer lands: ends
 * the run honestly, without writing anything.
 */
#include "pyramid/conversion_driver.h"

#include "cli/console.h"

namespace nvx::pyramid {

int ConvertSlide(const ConversionJob& job) {
    console::Error("the conversion is not built yet; nothing was written");
    slide::SlideHandle slide = job.slide;
    slide::CloseSlide(&slide);
    slide::UnloadSlideLibrary();
    return -1;
}

}  // namespace nvx::pyramid
