/*
 * run_report.cpp - the JSON report's text (written by nlohmann::json, in
 * the schema's order), the process's times and peak memory, and writing the report beside nothing
 * else: through the publishing file, as every output of ours is written.
 */
#include "cli/run_report.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include <nlohmann/json.hpp>

#include "cli/library_versions.h"
#include "common/output_target.h"
#include "common/publishing_file.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace nvx::cli {
namespace {

using Json = nlohmann::ordered_json;

// A measure to six significant digits, as the report has always given it.
double Rounded(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return std::strtod(text, nullptr);
}

Json Optional(bool known, double value) { return known ? Json(Rounded(value)) : Json(nullptr); }

Json OptionalText(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Json PixelSizeName(RunFacts::PixelSize size) {
    switch (size) {
        case RunFacts::PixelSize::Recorded:
            return "recorded";
        case RunFacts::PixelSize::Given:
            return "given";
        case RunFacts::PixelSize::Assumed:
            return "assumed";
        case RunFacts::PixelSize::None:
            return "none";
        case RunFacts::PixelSize::Unknown:
            break;
    }
    return nullptr;
}

// User and system CPU seconds and the peak resident bytes of this process;
// negative where the system does not say.
void ProcessMeasures(double* cpuSeconds, std::int64_t* peakBytes) {
    *cpuSeconds = -1.0;
    *peakBytes = -1;
#if !defined(_WIN32)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return;
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    *cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    *peakBytes = std::int64_t(usage.ru_maxrss) * 1024;  // kibibytes on Linux
#endif
}

}  // namespace

std::string RunReportJson(const RunFacts& facts, const std::string& reason, double wallSeconds,
                          double cpuSeconds, std::int64_t peakBytes) {
    const OutputChoices& c = facts.choices;
    Json levels = Json::array();
    for (const ReportedLevel& level : facts.levels) {
        const std::int64_t side = level.tileSize;
        const std::int64_t tiles =
            ((level.width + side - 1) / side) * ((level.height + side - 1) / side);
        levels.push_back({{"width", level.width},
                          {"height", level.height},
                          {"tile_size", level.tileSize},
                          {"tiles", tiles},
                          {"routes",
                           {{"copied", level.copied},
                            {"transcoded", level.transcoded},
                            {"from_pixels", level.fromPixels}}}});
    }
    Json dicom = nullptr;
    if (!facts.instances.empty()) {
        Json instances = Json::array();
        for (const ReportedInstance& instance : facts.instances) {
            instances.push_back({{"file", instance.file},
                                 {"sop_instance_uid", instance.sopInstanceUid},
                                 {"series_instance_uid", instance.seriesUid}});
        }
        dicom = {{"study_instance_uid", facts.studyUid},
                 {"series_instance_uid", facts.seriesUid},
                 {"instances", std::move(instances)}};
    }
    Json report;
    report["status"] = facts.status;
    report["converted"] = facts.status == 0;
    report["reason"] = OptionalText(reason);
    report["input"] = OptionalText(facts.input);
    report["output"] = OptionalText(facts.output);
    report["format"] = c.dicom ? "dicom" : "tiff";
    report["output_folder"] = c.dicom ? OptionalText(facts.output) : Json(nullptr);
    report["output_replaced"] = facts.outputReplaced;
    report["region"] = facts.regionMode;
    report["dicom"] = std::move(dicom);
    report["levels"] = std::move(levels);
    report["mpp"] = Optional(facts.micronsPerPixel.has_value(), facts.micronsPerPixel.value_or(0));
    report["mpp_source"] = PixelSizeName(facts.pixelSize);
    report["options"] = {
        {"mpp", Optional(c.micronsPerPixel.has_value(), c.micronsPerPixel.value_or(0))},
        {"no_label", c.leaveOutLabel},
        {"no_macro", c.leaveOutMacro},
        {"threads", c.threads ? Json(*c.threads) : Json(nullptr)},
        {"tiles", c.copyStoredTiles ? Json("copy") : Json(nullptr)},
        {"quality", c.quality ? Json(*c.quality) : Json(nullptr)},
        {"chroma", c.chroma420 ? Json("420") : Json(nullptr)},
        {"dicom_metadata", c.dicomMetadataPath ? Json(*c.dicomMetadataPath) : Json(nullptr)},
        {"section_thickness",
         Optional(c.sectionThicknessUm.has_value(), c.sectionThicknessUm.value_or(0))}};
    report["cpus"] = facts.cpus > 0 ? Json(facts.cpus) : Json(nullptr);
    report["seconds"] = {{"wall", Rounded(wallSeconds)},
                         {"cpu", Optional(cpuSeconds >= 0, cpuSeconds)}};
    report["peak_memory_bytes"] = peakBytes >= 0 ? Json(peakBytes) : Json(nullptr);
    report["version"] = ProgramVersion();
    // A path may hold any bytes: those that are not UTF-8 are given as U+FFFD.
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool WriteRunReport(const OutputTarget& target, const RunFacts& facts, const std::string& reason,
                    std::string* why) {
    double cpuSeconds = 0.0;
    std::int64_t peakBytes = 0;
    ProcessMeasures(&cpuSeconds, &peakBytes);
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - facts.started).count();
    const std::string json = RunReportJson(facts, reason, wallSeconds, cpuSeconds, peakBytes);

    std::unique_ptr<PublishingFile> file = PublishingFile::Create(target, why);
    if (!file) return false;
    if (!file->file().WriteAt(json.data(), json.size(), 0)) {
        *why = "it could not be written";
        return false;
    }
    return file->Publish(why);
}

}  // namespace nvx::cli
