/*
 * dicom_output.h - the conversion's other output: a folder of DICOM
 * whole-slide instances (VL Whole Slide Microscopy), one for each pyramid
 * level and one for each of the thumbnail, the label and the overview (the
 * macro), all of one study and one series, published whole as the TIFF is
 * (common/publishing_folder.h).
 *
 * A level's frames are the tiles the TIFF gets, from the same workers,
 * routes and budget, each appended as the instance's next frame the moment
 * the level writer would have written it into the TIFF: a tile that leaves
 * its tables to the level's JPEGTables gets them spliced in, so that every
 * frame is a complete stream; copied tiles and the copied level's edge
 * tiles are complete already and go in as they are. The pictures are one
 * frame each, encoded from their pixels.
 *
 * What the slide does not record is not made up: see WsmSlideFor.
 */
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/run_record.h"
#include "common/sha256.h"
#include "dicom/wsm_instance.h"
#include "pyramid/conversion_driver.h"

namespace nvx::pyramid {

struct DriverSeams;

// The digest every UID of the output is made from: the slide's content
// digest and every choice that changes the instances' bytes.
Sha256::Digest OutputDigest(std::span<const std::uint8_t> slideDigest, const ConversionJob& job,
                            const std::string& acquired);

// Converts `job` (whose format is DICOM) with `plan`, after the checks the
// TIFF's conversion makes first.
ConversionResult ConvertSlideToDicom(const ConversionJob& job, PyramidPlan plan,
                                     slide::SlideSession* slide, const ProgressReport& progress,
                                     const DriverSeams& seams);

}  // namespace nvx::pyramid
