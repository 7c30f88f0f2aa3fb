/*
 * conversion_driver_internal.h - the driver's seam for tests: the same
 * conversion with the thread starter handed in, so that a test can make
 * workers fail to start.
 */
#pragma once

#include "pyramid/conversion_driver.h"
#include "pyramid/worker_threads.h"

namespace nvx::pyramid {

ConversionResult ConvertSlideWith(const ConversionJob& job, slide::SlideSession* slide,
                                  const ProgressReport& progress, const ThreadStarter& startThread);

}  // namespace nvx::pyramid
