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
 *
 * The UIDs: the study's come from the slide's content (the slide library's
 * digest of every stored byte, made on a thread of its own while the
 * levels are written) and the metadata; the series' and each instance's
 * from that, the options and the versions of what made the bytes. They
 * are written into each instance's head at the end (dicom_instance_heads.h).
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

// The digest the study's UIDs are made from: the slide's content digest
// (every stored byte) and the metadata, which may name the study. The
// options never change it: one slide is one study.
Sha256::Digest StudyDigest(std::span<const std::uint8_t> slideDigest,
                           const dicom::SlideMetadata& metadata);

// The digest the series' and the instances' UIDs are made from: the study's
// (so every stored byte of the slide), every choice that changes the
// instances' bytes and the versions of what makes them from the slide's:
// the same slide, metadata and options give the same bytes and the same
// UIDs, and other bytes other UIDs.
Sha256::Digest SeriesDigest(const Sha256::Digest& studyDigest, const ConversionJob& job,
                            const std::string& acquired);

// Converts `job` (whose format is DICOM) with `plan`, after the checks the
// TIFF's conversion makes first.
ConversionResult ConvertSlideToDicom(const ConversionJob& job, PyramidPlan plan,
                                     slide::SlideSession* slide, const ProgressReport& progress,
                                     const DriverSeams& seams);

}  // namespace nvx::pyramid
