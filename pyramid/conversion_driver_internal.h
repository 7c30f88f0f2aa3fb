/*
 * conversion_driver_internal.h - the driver's seams for tests: the same
 * conversion with the thread starter, the tile budget and the BigTIFF
 * limits and a hook on the run's steps handed in, so that a test can make
 * workers fail to start, hold the tiles in flight down, have a small file
 * pass a classic TIFF's limit, or watch and fail the steps of publishing
 * and the setting of a level's tables.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/run_record.h"
#include "pyramid/conversion_driver.h"
#include "pyramid/level_writer.h"
#include "pyramid/output_size.h"
#include "pyramid/worker_threads.h"

namespace nvx::pyramid {

struct DriverSeams {
    ThreadStarter startThread = StartWorkerThread;
    std::size_t tileBudgetBytes = kTileBudgetBytes;
    // Estimates above this are written as a BigTIFF from the start.
    std::uint64_t bigTiffThreshold = kBigTiffThreshold;
    // The most a classic TIFF may hold; a classic file that would pass it is
    // written again as a BigTIFF.
    std::uint64_t classicLimit = kClassicTiffLimit;
    // Runs the steps the run's record runs (RunRecord::Run): the steps of
    // publishing the output (Stage::CreatingOutput to SyncingFolder), and
    // the setting of each level's tables (Stage::SettingTables).
    StepHook steps;
};

// Joins the pictures the slide has to `plan`, for the TIFF's directories
// and the DICOM's instances alike. One it has but cannot give is lost
// before any work: the slide is then closed and the run's result returned.
std::optional<ConversionResult> PlanPicturesOnSlide(const ConversionJob& job,
                                                    slide::SlideSession* slide, PyramidPlan* plan);

// Where the levels' tiles come from, for either output.
LevelSource LevelSourceFor(const ConversionJob& job, slide::SlideHandle slide);

ConversionResult ConvertSlideWith(const ConversionJob& job, slide::SlideSession* slide,
                                  const ProgressReport& progress, const DriverSeams& seams);

}  // namespace nvx::pyramid
