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
#include "cli/open_failure.h"
#include "cli/region_selection.h"
#include "cli/run_options.h"
#include "pyramid/conversion_driver.h"
#include "slide/slide_library.h"

namespace {

constexpr int kFailed = -1;

// Ends a run that stops after the slide was opened: the slide is closed and
// the library unloaded, whatever the close reports.
int CloseAndFail(nvx::slide::SlideHandle* slide) {
    nvx::slide::CloseSlide(slide);
    nvx::slide::UnloadSlideLibrary();
    return kFailed;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace nvx;
    console::InitConsole();

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

    cli::ReplaceQuestionMarks(argc, argv);
    cli::RunOptions options;
    const cli::ArgumentCheck check = cli::ParseArguments(argc, argv, &options);
    // Numbers read otherwise than written are named after the report they
    // may explain, or at once when the arguments pass.
    const auto warnLooseNumbers = [&check] {
        for (const cli::LooseNumber& n : check.looseNumbers)
            console::WarnLooseNumber(n.argument, n.text, n.readAs);
    };
    switch (check.verdict) {
        case cli::ArgumentVerdict::Accepted:
            warnLooseNumbers();
            break;
        case cli::ArgumentVerdict::UsageA:
            console::PrintUsageA();
            warnLooseNumbers();
            return kFailed;
        case cli::ArgumentVerdict::UsageB:
            console::PrintUsageB();
            warnLooseNumbers();
            return kFailed;
        case cli::ArgumentVerdict::Problem:
            console::PrintProblem(check.problem);
            warnLooseNumbers();
            return kFailed;
    }

    slide::SlideHandle slide = 0;
    slide::OpenFailure openFailure = slide::OpenFailure::None;
    if (!slide::OpenSlide(&slide, options.inputPath.c_str(), &openFailure)) {
        console::PrintOpenFailure();
        cli::ExplainOpenFailure(options.inputPath, openFailure);
        slide::UnloadSlideLibrary();
        return kFailed;
    }

    slide::SlideInfo info;
    if (!slide::QuerySlide(slide, &info)) {
        cli::ExplainQueryFailure(options.inputPath);
        return CloseAndFail(&slide);
    }

    const cli::RegionSelection region =
        cli::SelectRegion(options, info.width, info.height, info.scanMagnification);
    if (!region.accepted) {
        console::PrintProblem(region.problem);
        return CloseAndFail(&slide);
    }

    pyramid::ConversionJob job;
    job.inputPath = options.inputPath;
    job.outputPath = options.outputPath;
    job.slide = slide;
    job.info = info;
    job.box = region.box;
    job.layers = options.layers;
    job.scale = options.scale;
    job.regionMode = region.regionMode;
    job.startupStatus = startupStatus;
    return pyramid::ConvertSlide(job);
}
