/*
 * conversion_driver.h - turns an open slide and a settled export box into the
 * finished pyramid TIFF: plans the directories, writes every pyramid level
 * with its tile workers, the thumbnail, label and macro, closes the file and
 * the slide, and returns what happened. It prints nothing: progress goes to
 * the caller's callback, and the caller tells the user about the result.
 *
 * The file is written under a temporary name beside the output and renamed
 * to the output path only when it is whole and on disk; a run that loses
 * anything leaves the output path as it found it.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/run_record.h"
#include "dicom/slide_metadata.h"
#include "pyramid/pyramid_plan.h"
#include "pyramid/tile_route.h"
#include "slide/library_binding.h"
#include "slide/region_box.h"
#include "slide/slide_session.h"

namespace nvx::pyramid {

// What the output is: the pyramid TIFF, or a folder of DICOM whole-slide
// instances (dicom_output.h; not on Windows).
enum class OutputFormat { Tiff, Dicom };

// Everything the front end hands over once the slide is open and the box set.
struct ConversionJob {
    std::string inputPath;   // the input slide's path (to refuse overwriting it)
    std::string outputPath;  // after '?' has become ' '
    slide::SlideInfo info;
    slide::RegionBox box;
    std::int32_t layers = 0;  // 1..9 in whole-slide mode, 9 in region mode
    bool regionMode = false;
    // Pictures left out by choice: no directory, and nothing of them is
    // fetched from the slide (a label often carries the patient's name).
    bool leaveOutLabel = false;
    bool leaveOutMacro = false;
    bool copyStoredTiles = false;  // --tiles copy: the slide's own levels keep the stored tiles
    EncodingChoices encoding;      // --quality and --chroma 420
    OutputFormat format = OutputFormat::Tiff;
    // The patient, study and specimen of a DICOM output (--dicom-metadata).
    dicom::SlideMetadata dicomMetadata;
};

enum class ConversionOutcome {
    Converted,            // every directory written, nothing lost
    UnsupportedTileSize,  // refused before the output exists
    EmptyArea,            // refused before the output exists
    OutputIsInput,        // refused before the output exists
    OutputNotCreated,     // the output file could not be created
    Incomplete,           // levels, tiles or pictures were lost: nothing was published
};

// The associated pictures, for what went missing.
using nvx::AssociatedPicture;

// A pyramid level that stopped before its last row.
struct ShortLevel {
    std::int32_t directoryIndex = 0;
    std::int32_t rowsWritten = 0;  // whole tile rows in the file, at most the height
    std::int32_t height = 0;
};

// A DICOM folder's instance file and its SOP Instance UID.
struct DicomInstanceFile {
    std::string name;  // in the folder: "level-0.dcm", "label.dcm", ...
    std::string sopInstanceUid;
    std::string seriesUid;  // the levels', or the label's and the overview's
};

// The UIDs of a DICOM run's published folder.
struct DicomUids {
    std::string study, series;  // the series: the levels'

    std::vector<DicomInstanceFile> instances;  // in instance number order
};

struct ConversionResult {
    ConversionOutcome outcome = ConversionOutcome::Converted;
    // The run's record: its first failure (what was being done, to which
    // tile, level or picture, and why: the system's error code, libtiff's
    // message, memory), the tiles and pictures the slide could not give,
    // and libtiff's messages. A run is Incomplete exactly when it lost
    // anything; a refusal before the output exists (OutputNotCreated
    // included) says why here too.
    RunFailure failure;
    std::optional<ShortLevel> shortLevel;
    std::vector<LevelPlan> levels;                   // the pyramid levels planned, in file order
    std::vector<AssociatedPicture> missingPictures;  // left out: the slide has none
    bool bigTiff = false;                            // written as a BigTIFF: it would pass 4 GiB
    bool slideClosed = false;                        // the library said the slide closed
    // Beside `levels`: each level's tiles by how they were made; none for a
    // level never written, fewer than its tiles for one that stopped.
    std::vector<TileRoutes> levelRoutes;
    // The names the replaced output had: above 1, the other names keep the
    // earlier content, and the output's name has a new file.
    std::uint64_t earlierLinks = 0;
    // The output was renamed into place, but a later step of publishing
    // failed (the failure says which): the earlier file is gone.
    bool outputReplaced = false;
    // The output was published whole, but its folder could not be synced
    // to disk: a warning that says so; empty otherwise.
    std::string publishWarning;
    // A DICOM run's UIDs, once its folder is published; empty otherwise.
    DicomUids dicom;
};

// What the driver reports while it works.
enum class Progress {
    Started,             // the output exists and is planned; the levels begin
    Dot,                 // another step of more than five percent of a level, or the thumbnail
    RestartedAsBigTiff,  // a classic file passed its limit; it is written again as a BigTIFF
};
using ProgressReport = std::function<void(Progress)>;

// Runs the conversion. The slide stays owned by `slide`; the driver closes it
// once the file is closed (or at once when it refuses the job).
ConversionResult ConvertSlide(const ConversionJob& job, slide::SlideSession* slide,
                              const ProgressReport& progress);

}  // namespace nvx::pyramid
