/*
 * report_place.h - where the run's report (--report) goes, decided once,
 * as soon as the options are read and before any other refusal is told,
 * so that a refused command line writes its report only where an accepted
 * one would.
 *
 * The report's path is looked at as an output's is (common/output_target.h:
 * an absent name or a regular file, its folder held open from then on, and
 * the report created, renamed and synced through it at the end). It is
 * refused when it leads to a file that another word of the command line
 * names (the slide, the output, the metadata file, or any other argument,
 * compared by the file's identity, not by its spelling), when it lies
 * inside the DICOM output folder, which the run replaces, and when it
 * would replace a file that is not an earlier report: a forgotten report
 * name makes --report take the slide's path ("--report slide.nvx out.svs
 * 4"), and nothing on such a line tells the slide from a report but what
 * the file holds.
 */
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/console.h"
#include "common/output_target.h"

namespace nvx::cli {

// The files the command line names besides the report.
struct NamedFiles {
    std::string input;                    // the slide, as read (empty when the arguments were not)
    std::string output;                   // the output file or DICOM folder, as read
    std::optional<std::string> metadata;  // --dicom-metadata
    bool dicomOutput = false;             // the output is a folder of instances
    std::vector<std::string> words;       // every other word of the command line
};

struct ReportPlace {
    std::optional<OutputTarget> target;  // where the report goes; unset when refused
    console::ReportProblem problem = console::ReportProblem::Unusable;
    std::string detail;  // for Unusable and Unreadable: the system's or the record's reason
};

// Decides where the report `path` goes.
ReportPlace DecideReportPlace(const std::string& path, const NamedFiles& named);

// Whether the start of a file, `head`, is that of an earlier report: blanks
// and then a JSON object, or nothing at all.
bool BeginsAsReport(const std::string& head);

}  // namespace nvx::cli
