/*
 * conversion_report.h - tells the user how a conversion ended: our reasons
 * on standard error, the completion line on standard output when the file
 * is whole and the slide closed, and the run's exit status.
 */
#pragma once

#include "pyramid/conversion_driver.h"

namespace nvx::cli {

// The exit status of every argument, slide and region failure and of a
// conversion that lost data.
inline constexpr int kFailedStatus = -1;

// Prints what the result calls for and returns the exit status: 1 when the
// output could not be created, -1 when the run refused the job or lost
// data, otherwise `startupStatus` (0, or 1 when the framework failed).
int ReportConversion(const pyramid::ConversionResult& result, const pyramid::ConversionJob& job,
                     int startupStatus);

}  // namespace nvx::cli
