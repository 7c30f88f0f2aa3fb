/*
 * main.cpp - nvx2svs: converts one nvx whole slide, or a region of it, into
 * an SVS-style pyramid TIFF.
 *
 * The front end: start-up, the command line, opening the slide and reading
 * its header, the region, then the hand-over to the conversion driver. The
 * run's result is the process exit status: 0 for success, 1 when the output
 * cannot be created (or a completed run whose start-up failed), -1 for every
 * argument, slide and region failure and for a conversion that lost data.
 */
#include "cli/application_startup.h"
#include "cli/console.h"
#include "cli/conversion_report.h"
#include "cli/library_versions.h"
#include "cli/open_failure.h"
#include "cli/region_selection.h"
#include "cli/report_place.h"
#include "cli/run_options.h"
#include "cli/run_report.h"
#include "cli/standard_streams.h"
#include "common/interrupt_handling.h"
#include "common/native_file.h"
#include "common/output_target.h"
#include "dicom/slide_metadata.h"
#include "pyramid/conversion_driver.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/work_gate.h"
#include "slide/library_binding.h"
#include "slide/slide_session.h"

#include <optional>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

void ShowProgress(nvx::pyramid::Progress progress) {
    using nvx::console::Message;
    switch (progress) {
        case nvx::pyramid::Progress::Started:
            nvx::console::Print(Message::Waiting);
            break;
        case nvx::pyramid::Progress::Dot:
            nvx::console::Print(Message::Dot);
            break;
        case nvx::pyramid::Progress::RestartedAsBigTiff:
            nvx::console::Warn(
                "the output passes 4 GiB, the limit of a classic TIFF; "
                "writing it again from the start as a BigTIFF");
            break;
    }
}

// Where the descriptions' pixel size comes from, for the report.
void NotePixelSize(const nvx::slide::SlideInfo& info, const nvx::cli::OutputChoices& choices,
                   nvx::cli::RunFacts* facts) {
    using nvx::cli::RunFacts;
    const float effective =
        nvx::pyramid::EffectiveMicronsPerPixel(info.scanMagnification, info.micronsPerPixel);
    if (effective > 0.0f) facts->micronsPerPixel = effective;
    if (choices.micronsPerPixel)
        facts->pixelSize = RunFacts::PixelSize::Given;
    else if (nvx::pyramid::UsesUsualMicronsPerPixel(info.scanMagnification, info.micronsPerPixel))
        facts->pixelSize = RunFacts::PixelSize::Assumed;
    else
        facts->pixelSize =
            effective > 0.0f ? RunFacts::PixelSize::Recorded : RunFacts::PixelSize::None;
}

// Writes the report, when it has a place, and gives the exit status: a
// report that cannot be written fails the run, as any lost output does.
int FinishRun(const nvx::cli::RunFacts& facts, const std::optional<nvx::OutputTarget>& report) {
    if (!report) return facts.status;
    std::string why;
    if (nvx::cli::WriteRunReport(*report, facts, nvx::console::FirstErrorText(), &why))
        return facts.status;
    nvx::console::ExplainReportNotWritten(report->given, why);
    return nvx::cli::kFailedStatus;
}

// The files the command line names besides the report: the arguments as
// read, and every word but the report's own (an option's value after its
// '=' as well), for a line refused before its arguments were read.
nvx::cli::NamedFiles FilesNamed(int argc, char** argv, const nvx::cli::RunOptions& options,
                                int reportWord) {
    nvx::cli::NamedFiles named;
    named.input = options.inputPath;
    named.output = options.outputPath;
    named.metadata = options.choices.dicomMetadataPath;
    named.dicomOutput = options.choices.dicom;
    for (int i = 1; i < argc; ++i) {
        if (i == reportWord) continue;
        const std::string word = argv[i];
        named.words.push_back(word);
        const std::size_t equals = word.find('=');
        if (word.starts_with("--") && equals != std::string::npos)
            named.words.push_back(word.substr(equals + 1));
    }
    return named;
}

// Converts the slide the accepted arguments name; gives the exit status.
int ConvertParsed(const nvx::cli::RunOptions& options,
                  const nvx::dicom::SlideMetadata& dicomMetadata, int startupStatus,
                  nvx::cli::RunFacts* facts) {
    using namespace nvx;
    facts->regionMode = cli::IsRegionScale(options.scale);
    slide::SlideHandle slide = 0;
    slide::OpenFailure openFailure = slide::OpenFailure::None;
    if (!slide::OpenSlide(&slide, options.inputPath.c_str(), &openFailure)) {
        console::PrintOpenFailure();
        cli::ExplainOpenFailure(options.inputPath, openFailure);
        slide::UnloadSlideLibrary();
        return cli::kFailedStatus;
    }

    // From here on the session closes the slide and unloads the library on
    // every way out, after the last line about the conversion.
    slide::SlideSession session(slide);
    slide::SlideInfo info;
    if (!slide::QuerySlide(session.handle(), &info)) {
        cli::ExplainQueryFailure(options.inputPath);
        return cli::kFailedStatus;
    }
    // A pixel size the lab gives stands in for what the slide records.
    if (options.choices.micronsPerPixel) info.micronsPerPixel = *options.choices.micronsPerPixel;
    NotePixelSize(info, options.choices, facts);
    // An assumed pixel size must not reach an archive: DICOM output states
    // only one the slide records or the lab gives.
    if (options.choices.dicom && !(pyramid::RecordedMicronsPerPixel(info.micronsPerPixel) > 0)) {
        console::ExplainNoPixelSizeForDicom(options.inputPath);
        return cli::kFailedStatus;
    }
    if (!pyramid::IsPlausibleScanMagnification(info.scanMagnification)) {
        console::ExplainImplausibleMagnification(options.inputPath, info.scanMagnification,
                                                 pyramid::kMinScanMagnification,
                                                 pyramid::kMaxScanMagnification);
        return cli::kFailedStatus;
    }

    const cli::RegionSelection region =
        cli::SelectRegion(options, info.width, info.height, info.scanMagnification);
    if (!region.accepted) {
        console::PrintProblem(region.problem);
        if (region.problem == console::Message::XBeyondSlide)
            console::ExplainRegionOffSlide(console::NumberArgument::X, options.xText,
                                           region.mappedX, info.width);
        else if (region.problem == console::Message::YBeyondSlide)
            console::ExplainRegionOffSlide(console::NumberArgument::Y, options.yText,
                                           region.mappedY, info.height);
        else
            console::ExplainRegionEmpty(region.mappedWidth, region.mappedHeight);
        return cli::kFailedStatus;
    }

    pyramid::ConversionJob job;
    job.inputPath = options.inputPath;
    job.outputPath = options.outputPath;
    job.info = info;
    job.box = region.box;
    job.layers = options.layers;
    job.regionMode = region.regionMode;
    job.leaveOutLabel = options.choices.leaveOutLabel;
    job.leaveOutMacro = options.choices.leaveOutMacro;
    job.copyStoredTiles = options.choices.copyStoredTiles;
    job.encoding.quality = options.choices.quality;
    job.encoding.chroma420 = options.choices.chroma420;
    job.format = options.choices.dicom ? pyramid::OutputFormat::Dicom : pyramid::OutputFormat::Tiff;
    job.dicomMetadata = dicomMetadata;
    const pyramid::ConversionResult result = pyramid::ConvertSlide(job, &session, ShowProgress);
    // The CPUs count for a conversion that began its work, not for one
    // refused before it.
    if (result.outcome == pyramid::ConversionOutcome::Converted ||
        result.outcome == pyramid::ConversionOutcome::Incomplete)
        facts->cpus = pyramid::UsableCpus();
    for (std::size_t k = 0; k < result.levels.size(); ++k) {
        const pyramid::LevelPlan& level = result.levels[k];
        const pyramid::TileRoutes routes =
            k < result.levelRoutes.size() ? result.levelRoutes[k] : pyramid::TileRoutes{};
        facts->levels.push_back({level.width, level.height, info.tileSize, routes.copied,
                                 routes.transcoded, routes.fromPixels});
    }
    facts->outputReplaced =
        result.outcome == pyramid::ConversionOutcome::Converted || result.outputReplaced;
    facts->studyUid = result.dicom.study;
    facts->seriesUid = result.dicom.series;
    for (const pyramid::DicomInstanceFile& instance : result.dicom.instances) {
        facts->instances.push_back({instance.name, instance.sopInstanceUid, instance.seriesUid});
    }
    return cli::ReportConversion(result, job, startupStatus);
}
}  // namespace

int main(int argc, char** argv) {
    using namespace nvx;
    cli::OpenClosedStandardStreams();
    console::InitConsole();
    InstallInterruptHandling(console::AnnounceInterruption);
#if defined(__GLIBC__)
    // 64 workers allocate and free tile-sized buffers on every thread; with
    // glibc's default of 8 arenas per core, freed memory lies scattered over
    // many arenas and a region run took half again as much memory. Two keep
    // the peak lower than four at the same speed; one slows a region run.
    mallopt(M_ARENA_MAX, 2);
#endif

    int startupStatus = 0;
    switch (cli::StartApplication()) {
        case cli::StartupResult::Started:
            break;
        case cli::StartupResult::NoModuleHandle:
            console::Print(console::Message::ModuleHandleFailed);
            startupStatus = 1;
            break;
        case cli::StartupResult::FrameworkFailed:
            console::Print(console::Message::FrameworkFailed);
            startupStatus = 1;
            break;
    }

    // The arguments as the system gives them (wide on Windows), in place of argv.
    std::vector<std::string> arguments = cli::ProgramArguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    argc = static_cast<int>(pointers.size());
    argv = pointers.data();

    cli::ReplaceQuestionMarks(argc, argv);
    cli::RunOptions options;
    const cli::ArgumentCheck check = cli::ParseArguments(argc, argv, &options);
    // Numbers read otherwise than written are named after the report they
    // may explain, or at once when the arguments pass.
    // The report on standard output, then the same in English on standard
    // error with the rule broken, then the numbers that may explain it.
    const auto warnLooseNumbers = [&check] {
        if (check.verdict != cli::ArgumentVerdict::Accepted) {
            if (check.countRefused)
                console::ExplainArgumentCount(check.argumentCount);
            else
                console::ExplainArgumentRule(check.refused, check.refusedText);
        }
        for (const cli::LooseNumber& n : check.looseNumbers)
            console::WarnLooseNumber(n.argument, n.text, n.readAs);
    };
    if (check.verdict == cli::ArgumentVerdict::Help) {
        console::PrintHelp();
        return 0;
    }
    if (check.verdict == cli::ArgumentVerdict::Version) {
        console::PrintVersion(cli::ProgramVersion(), cli::LibtiffVersion(),
                              cli::LibjpegTurboVersion());
        return 0;
    }
    // Where the report goes is decided here, once, before any refusal is
    // told: a refused line writes its report only to a place that passed.
    cli::RunFacts facts;
    facts.choices = options.choices;
    facts.input = options.inputPath;
    facts.output = options.outputPath;
    std::optional<OutputTarget> report;
    bool reportRefused = false;
    if (options.choices.reportPath) {
        cli::ReportPlace place = cli::DecideReportPlace(
            *options.choices.reportPath, FilesNamed(argc, argv, options, check.reportWord));
        report = std::move(place.target);
        reportRefused = !report;
        if (reportRefused)
            console::ExplainReportRefused(*options.choices.reportPath, place.problem, place.detail);
    }
    const auto refused = [&facts, &report] {
        facts.status = cli::kFailedStatus;
        return FinishRun(facts, report);
    };
    switch (check.verdict) {
        case cli::ArgumentVerdict::Accepted:
            warnLooseNumbers();
            // A report with no place refuses a line that is otherwise right.
            if (reportRefused) {
                console::PrintLongUsage();
                return refused();
            }
            break;
        case cli::ArgumentVerdict::ShortUsage:
            console::PrintShortUsage();
            warnLooseNumbers();
            return refused();
        case cli::ArgumentVerdict::LongUsage:
            console::PrintLongUsage();
            warnLooseNumbers();
            return refused();
        case cli::ArgumentVerdict::Problem:
            console::PrintProblem(check.problem);
            warnLooseNumbers();
            return refused();
        case cli::ArgumentVerdict::BadOption:
            console::PrintLongUsage();
            console::ExplainOptionRefusal(check.option.problem, check.option.name,
                                          check.option.value);
            return refused();
        case cli::ArgumentVerdict::Help:
        case cli::ArgumentVerdict::Version:
            break;
    }

    // The metadata file is read before any work: one that cannot be used
    // refuses the run.
    dicom::SlideMetadata dicomMetadata;
    if (options.choices.dicomMetadataPath) {
        std::string why;
        if (!dicom::ReadSlideMetadata(*options.choices.dicomMetadataPath, &dicomMetadata, &why)) {
            console::ExplainDicomMetadataRefused(why);
            return refused();
        }
    }
    // DICOM states the depth of the imaged volume, the section's thickness,
    // which no slide records: the lab gives it, once.
    if (options.choices.sectionThicknessUm) {
        if (dicomMetadata.sectionThicknessUm > 0 &&
            dicomMetadata.sectionThicknessUm != *options.choices.sectionThicknessUm) {
            console::ExplainSectionThicknessDiffers(*options.choices.dicomMetadataPath);
            return refused();
        }
        dicomMetadata.sectionThicknessUm = *options.choices.sectionThicknessUm;
    }
    if (options.choices.dicom && !(dicomMetadata.sectionThicknessUm > 0)) {
        console::ExplainNoSectionThicknessForDicom();
        return refused();
    }
    if (options.choices.threads) pyramid::LimitUsableCpus(*options.choices.threads);
    facts.status = ConvertParsed(options, dicomMetadata, startupStatus, &facts);
    return FinishRun(facts, report);
}
