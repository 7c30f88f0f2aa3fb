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
#include <string>
#include <vector>

#include "slide/library_binding.h"
#include "slide/region_box.h"
#include "slide/slide_session.h"

namespace nvx::pyramid {

// Everything the front end hands over once the slide is open and the box set.
struct ConversionJob {
    std::string inputPath;   // the input slide's path (to refuse overwriting it)
    std::string outputPath;  // after '?' has become ' '
    slide::SlideInfo info;
    slide::RegionBox box;
    std::int32_t layers = 0;  // 1..9 in whole-slide mode, 9 in region mode
    bool regionMode = false;
};

enum class ConversionOutcome {
    Converted,            // every directory written, nothing lost
    UnsupportedTileSize,  // refused before the output exists
    EmptyArea,            // refused before the output exists
    OutputIsInput,        // refused before the output exists
    OutputNotCreated,     // the output file could not be created
    Incomplete,           // levels or tiles were lost: nothing was published
};

// The associated pictures, for what went missing.
enum class Picture { Thumbnail, Label, Macro };

struct ConversionResult {
    ConversionOutcome outcome = ConversionOutcome::Converted;
    // A level whose workers all ended before its last row: its directory
    // index, the rows that reached the file and its height (index 0: none).
    std::int32_t shortLevel = 0;
    std::int32_t shortLevelRows = 0;
    std::int32_t shortLevelHeight = 0;
    std::int32_t lostTiles = 0;            // written white: nothing usable came from the slide
    std::int32_t failedTileWrites = 0;     // refused by the file
    std::string firstFailedWrite;          // the first directory, strip or file write refused
    std::vector<Picture> missingPictures;  // left out: the slide has none
    std::vector<Picture> lostPictures;     // the slide's picture could not be read
    // Why the output could not be created or written, in plain words, when
    // that is known (a full disk, the file size limit, a failed rename).
    std::string writeFailure;
    std::vector<std::string> libtiffMessages;  // each distinct text once
    bool bigTiff = false;                      // written as a BigTIFF: it passed 4 GiB
    bool slideClosed = false;                  // the library said the slide closed
    // The names the replaced output had: above 1, the other names keep the
    // earlier content, and the output's name has a new file.
    std::uint64_t earlierLinks = 0;
};

// What the driver reports while it works.
enum class Progress {
    Started,             // the output exists and is planned; the levels begin
    Dot,                 // another step of at least five percent of a level, or the thumbnail
    RestartedAsBigTiff,  // the file passed 4 GiB; it is written again from the start
};
using ProgressReport = std::function<void(Progress)>;

// Runs the conversion. The slide stays owned by `slide`; the driver closes it
// once the file is closed (or at once when it refuses the job).
ConversionResult ConvertSlide(const ConversionJob& job, slide::SlideSession* slide,
                              const ProgressReport& progress);

}  // namespace nvx::pyramid
