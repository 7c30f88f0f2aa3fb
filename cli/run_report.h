/*
 * run_report.h - the run's report for programs (--report FILE.json): one
 * JSON document, written at the end of every run that read its options,
 * converted or not: the status and the reason in English (the first error
 * line the run printed), the input and output, whether the output path now
 * holds a new file, each level's size and tiles (and how they were made),
 * the pixel size and where it came from, the options, a DICOM folder's
 * UIDs and instance files, the times, the peak memory and the version.
 * docs/run-report.schema.json describes it. The file is written as every
 * output is (a hidden temporary, renamed when whole), in the folder held
 * open since its path was looked at.
 */
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/run_options.h"
#include "common/output_target.h"

namespace nvx::cli {

// A pyramid level of the output, in its own pixels, and its tiles by how
// they were made: the stored stream copied, its coefficients transcoded, or
// pixels encoded (lost tiles, written white, among them).
struct ReportedLevel {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t tileSize = 0;
    std::int64_t copied = 0;
    std::int64_t transcoded = 0;
    std::int64_t fromPixels = 0;
};

// A DICOM instance file of the output and its SOP Instance UID.
struct ReportedInstance {
    std::string file;
    std::string sopInstanceUid;
    std::string seriesUid;
};

// What the run knows by its end; what it never learned stays unset.
struct RunFacts {
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    int status = 0;
    OutputChoices choices;
    std::string input;
    std::string output;
    bool regionMode = false;
    bool outputReplaced = false;  // the output path holds the new file
    std::vector<ReportedLevel> levels;
    int cpus = 0;                           // the CPUs the conversion used (0: it never began)
    std::optional<double> micronsPerPixel;  // as the descriptions carry it
    enum class PixelSize { Unknown, Recorded, Given, Assumed, None } pixelSize = PixelSize::Unknown;
    // A DICOM run's published folder: its study's and its levels' series'
    // UIDs and its instance files; empty for a TIFF or a folder never
    // published.
    std::string studyUid, seriesUid;
    std::vector<ReportedInstance> instances;
};

// The JSON document; `reason` is the first error line of the run (empty
// for none), `cpuSeconds` and `peakBytes` negative where not known.
std::string RunReportJson(const RunFacts& facts, const std::string& reason, double wallSeconds,
                          double cpuSeconds, std::int64_t peakBytes);

// Writes the report to `target`, the record of the path --report named,
// looked at when the options were read (cli/report_place.h): in the folder
// held since; false with `why` set when it cannot be written.
bool WriteRunReport(const OutputTarget& target, const RunFacts& facts, const std::string& reason,
                    std::string* why);

}  // namespace nvx::cli
