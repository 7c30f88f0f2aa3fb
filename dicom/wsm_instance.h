/*
 * wsm_instance.h - the attributes of one VL Whole Slide Microscopy Image
 * instance: a pyramid level, the label, the overview or the thumbnail of a
 * slide, its frames laid out TILED_FULL (tiles in raster order, one
 * focal plane, one optical path, no per-frame functional groups).
 *
 * The label, the overview and the thumbnail are one frame each, the whole
 * picture. Colour frames are described as sRGB (see srgb_profile.h).
 *
 * Only what is known is said: the acquisition equipment is UNKNOWN, the
 * patient's birth date and sex and the study's date, time and ID are
 * empty, and the patient, study and specimen attributes are those given.
 */
#pragma once

#include <cstdint>
#include <string>

#include "dicom/data_set.h"
#include "dicom/jpeg_frame.h"
#include "dicom/slide_metadata.h"

namespace nvx::dicom {

inline constexpr const char* kWsmSopClass = "1.2.840.10008.5.1.4.1.1.77.1.6";

enum class WsmImageKind {
    Volume,     // the full-resolution level: ORIGINAL\PRIMARY\VOLUME\NONE
    Resampled,  // a reduced level: DERIVED\PRIMARY\VOLUME\RESAMPLED
    Label,      // ORIGINAL\PRIMARY\LABEL\NONE
    Overview,   // ORIGINAL\PRIMARY\OVERVIEW\NONE (the slide's macro picture)
    Thumbnail,  // DERIVED\PRIMARY\THUMBNAIL\RESAMPLED
};

// What all instances of one slide share.
struct WsmSlide {
    SlideMetadata metadata;
    std::string studyUid, seriesUid, frameOfReferenceUid, dimensionOrganizationUid, specimenUid;
    // The series of the label and the overview (series number 2), beside
    // the pyramid's (1) in the same study: photographs of the slide that
    // show its label, kept out of the series a viewer builds its pyramid
    // from, and withheld as one series where the label must not be seen.
    std::string pictureSeriesUid;
    // The pyramid's levels' PyramidUID; left out when empty.
    std::string pyramidUid;
    // When the slide was scanned (DA, TM).
    std::string contentDate, contentTime;
    // The full-resolution level's size and its pixel size in microns
    // (across and down); the imaged volume follows from them.
    std::uint32_t columns = 0, rows = 0;
    double micronsPerPixelX = 0, micronsPerPixelY = 0;
    // The thickness of the imaged section in microns.
    double sectionMicrons = 0;
    // False when the slide does not record the thickness: the attributes
    // that must have one are then present and empty, as no value can say
    // "not known", and left out where they may be.
    bool sectionRecorded = true;
};

// One instance of the slide.
struct WsmImage {
    WsmImageKind kind = WsmImageKind::Volume;
    FramePhotometric photometric = FramePhotometric::Rgb;
    std::string instanceUid;
    std::uint32_t instanceNumber = 1;
    std::uint32_t columns = 0, rows = 0;          // the whole picture
    std::uint32_t tileColumns = 0, tileRows = 0;  // one frame
    // The frames' bytes over the bytes of the same pixels uncompressed.
    double compressionRatio = 1;
};

// The number of frames of `image`: its tiles, edge tiles whole.
std::uint32_t FrameCount(const WsmImage& image);

// The instance's data set, the pixel data left for the writer. Empty when
// `slide` or `image` cannot make a valid instance (a size of zero, a
// picture of more than one frame, no container identifier, no pixel size
// or section thickness), with the reason in `why`.
DataSet WsmInstanceDataSet(const WsmSlide& slide, const WsmImage& image, std::string* why);

}  // namespace nvx::dicom
