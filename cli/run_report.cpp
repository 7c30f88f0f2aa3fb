/*
 * run_report.cpp - the JSON report's text, the process's times and peak
 * memory, and writing the report beside nothing else: through the
 * publishing file, as every output of ours is written.
 */
#include "cli/run_report.h"

#include <cstdio>

#include "cli/library_versions.h"
#include "common/output_target.h"
#include "common/publishing_file.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace nvx::cli {
namespace {

// The length of the UTF-8 sequence at `text[i]`, or 0 when it is none.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t lowest = 0;
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) length = 2, lowest = 0x80;
    if ((lead & 0xF0) == 0xE0) length = 3, lowest = 0x800;
    if ((lead & 0xF8) == 0xF0) length = 4, lowest = 0x10000;
    if (length == 0 || i + length > text.size()) return 0;
    std::uint32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

const char* PixelSizeName(RunFacts::PixelSize size) {
    switch (size) {
        case RunFacts::PixelSize::Recorded:
            return "\"recorded\"";
        case RunFacts::PixelSize::Given:
            return "\"given\"";
        case RunFacts::PixelSize::Assumed:
            return "\"assumed\"";
        case RunFacts::PixelSize::None:
            return "\"none\"";
        case RunFacts::PixelSize::Unknown:
            break;
    }
    return "null";
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

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8Length(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

std::string RunReportJson(const RunFacts& facts, const std::string& reason, double wallSeconds,
                          double cpuSeconds, std::int64_t peakBytes) {
    const OutputChoices& c = facts.choices;
    const auto optionalNumber = [](bool known, double value) {
        return known ? Number(value) : std::string("null");
    };
    std::string levels;
    for (const ReportedLevel& level : facts.levels) {
        if (!levels.empty()) levels += ", ";
        const std::int32_t side = level.tileSize;
        levels += "{\"width\": " + std::to_string(level.width) +
                  ", \"height\": " + std::to_string(level.height) +
                  ", \"tile_size\": " + std::to_string(side) + ", \"tiles\": " +
                  std::to_string(std::int64_t((level.width + side - 1) / side) *
                                 ((level.height + side - 1) / side)) +
                  ", \"routes\": {\"copied\": " + std::to_string(level.copied) +
                  ", \"transcoded\": " + std::to_string(level.transcoded) +
                  ", \"from_pixels\": " + std::to_string(level.fromPixels) + "}}";
    }
    std::string json = "{\n";
    json += "  \"status\": " + std::to_string(facts.status) + ",\n";
    json += "  \"converted\": " + std::string(facts.status == 0 ? "true" : "false") + ",\n";
    json += "  \"reason\": " + (reason.empty() ? std::string("null") : JsonString(reason)) + ",\n";
    json += "  \"input\": " + (facts.input.empty() ? "null" : JsonString(facts.input)) + ",\n";
    json += "  \"output\": " + (facts.output.empty() ? "null" : JsonString(facts.output)) + ",\n";
    json += "  \"format\": " + std::string(c.dicom ? "\"dicom\"" : "\"tiff\"") + ",\n";
    json += "  \"output_folder\": " +
            (c.dicom && !facts.output.empty() ? JsonString(facts.output) : std::string("null")) +
            ",\n";
    json +=
        "  \"output_replaced\": " + std::string(facts.outputReplaced ? "true" : "false") + ",\n";
    json += "  \"region\": " + std::string(facts.regionMode ? "true" : "false") + ",\n";
    json += "  \"levels\": [" + levels + "],\n";
    json += "  \"mpp\": " +
            optionalNumber(facts.micronsPerPixel.has_value(), facts.micronsPerPixel.value_or(0)) +
            ",\n";
    json += "  \"mpp_source\": " + std::string(PixelSizeName(facts.pixelSize)) + ",\n";
    json += "  \"options\": {\"mpp\": " +
            optionalNumber(c.micronsPerPixel.has_value(), c.micronsPerPixel.value_or(0)) +
            ", \"no_label\": " + (c.leaveOutLabel ? "true" : "false") +
            ", \"no_macro\": " + (c.leaveOutMacro ? "true" : "false") +
            ", \"threads\": " + (c.threads ? std::to_string(*c.threads) : std::string("null")) +
            ", \"tiles\": " + (c.copyStoredTiles ? "\"copy\"" : "null") +
            ", \"quality\": " + (c.quality ? std::to_string(*c.quality) : std::string("null")) +
            ", \"chroma\": " + (c.chroma420 ? "\"420\"" : "null") + ", \"dicom_metadata\": " +
            (c.dicomMetadataPath ? JsonString(*c.dicomMetadataPath) : std::string("null")) +
            ", \"section_thickness\": " +
            optionalNumber(c.sectionThicknessUm.has_value(), c.sectionThicknessUm.value_or(0)) +
            "},\n";
    json += "  \"cpus\": " + (facts.cpus > 0 ? std::to_string(facts.cpus) : std::string("null")) +
            ",\n";
    json += "  \"seconds\": {\"wall\": " + Number(wallSeconds) +
            ", \"cpu\": " + optionalNumber(cpuSeconds >= 0, cpuSeconds) + "},\n";
    json += "  \"peak_memory_bytes\": " +
            (peakBytes >= 0 ? std::to_string(peakBytes) : std::string("null")) + ",\n";
    json += "  \"version\": " + JsonString(ProgramVersion()) + "\n";
    return json + "}\n";
}

bool WriteRunReport(const RunFacts& facts, const std::string& reason, std::string* why) {
    double cpuSeconds = 0.0;
    std::int64_t peakBytes = 0;
    ProcessMeasures(&cpuSeconds, &peakBytes);
    const double wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - facts.started).count();
    const std::string json = RunReportJson(facts, reason, wallSeconds, cpuSeconds, peakBytes);

    const OutputTarget target = ResolveOutputTarget(*facts.choices.reportPath);
    std::unique_ptr<PublishingFile> file = PublishingFile::Create(target, why);
    if (!file) return false;
    if (!file->file().WriteAt(json.data(), json.size(), 0)) {
        *why = "it could not be written";
        return false;
    }
    return file->Publish(why);
}

}  // namespace nvx::cli
