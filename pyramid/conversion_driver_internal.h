/*
 * conversion_driver_internal.h - the driver's seams for tests: the same
 * conversion with the thread starter and the tile budget handed in, so that
 * a test can make workers fail to start or hold the tiles in flight down.
 */
#pragma once

#include <cstddef>

#include "pyramid/conversion_driver.h"
#include "pyramid/level_writer.h"
#include "pyramid/worker_threads.h"

namespace nvx::pyramid {

struct DriverSeams {
    ThreadStarter startThread = StartWorkerThread;
    std::size_t tileBudgetBytes = kTileBudgetBytes;
};

ConversionResult ConvertSlideWith(const ConversionJob& job, slide::SlideSession* slide,
                                  const ProgressReport& progress, const DriverSeams& seams);

}  // namespace nvx::pyramid
