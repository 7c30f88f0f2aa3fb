/*
 * wsm_instance.cpp - the modules of a whole-slide instance, attribute by
 * attribute, in the order of the tags they set.
 */
#include "dicom/wsm_instance.h"

#include "dicom/srgb_profile.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace nvx::dicom {

namespace {

struct Code {
    const char* value;
    const char* scheme;
    const char* meaning;
};

void SetCode(DataSet* item, const Code& code) {
    item->SetString(Tag(0x0008, 0x0100), vr::kSH, code.value);
    item->SetString(Tag(0x0008, 0x0102), vr::kSH, code.scheme);
    item->SetString(Tag(0x0008, 0x0104), vr::kLO, code.meaning);
}

std::array<std::string, 4> ImageType(WsmImageKind kind) {
    switch (kind) {
        case WsmImageKind::Volume:
            return {"ORIGINAL", "PRIMARY", "VOLUME", "NONE"};
        case WsmImageKind::Resampled:
            return {"DERIVED", "PRIMARY", "VOLUME", "RESAMPLED"};
        case WsmImageKind::Label:
            return {"ORIGINAL", "PRIMARY", "LABEL", "NONE"};
        case WsmImageKind::Overview:
            return {"ORIGINAL", "PRIMARY", "OVERVIEW", "NONE"};
        case WsmImageKind::Thumbnail:
            return {"DERIVED", "PRIMARY", "THUMBNAIL", "RESAMPLED"};
    }
    return {};
}

// Whether the picture covers the scanned area, whose pixel size follows
// from the full-resolution level's: the pyramid's levels and the thumbnail
// do; the label and the overview are photographs of the slide of their
// own, whose scale the slide does not record.
bool CoversScannedArea(WsmImageKind kind) {
    return kind == WsmImageKind::Volume || kind == WsmImageKind::Resampled ||
           kind == WsmImageKind::Thumbnail;
}

bool IsVolume(WsmImageKind kind) {
    return kind == WsmImageKind::Volume || kind == WsmImageKind::Resampled;
}

bool AllAscii(const SlideMetadata& m) {
    for (const std::string* text : {&m.patientId, &m.patientName, &m.accessionNumber,
                                    &m.containerIdentifier, &m.specimenDescription}) {
        if (std::any_of(text->begin(), text->end(), [](char c) { return (c & 0x80) != 0; })) {
            return false;
        }
    }
    return true;
}

// The illuminator's colour, as the standard's microscopy colours code it.
Code ColorCode(IlluminationColor color) {
    switch (color) {
        case IlluminationColor::Red:
            return {"371240000", "SCT", "Red"};
        case IlluminationColor::Green:
            return {"371246006", "SCT", "Green"};
        case IlluminationColor::Blue:
            return {"405738005", "SCT", "Blue"};
        case IlluminationColor::Ultraviolet:
            return {"415770004", "SCT", "Ultraviolet"};
        case IlluminationColor::Infrared:
            return {"414497003", "SCT", "Infrared"};
        case IlluminationColor::None:
        case IlluminationColor::FullSpectrum:
            break;
    }
    return {"414298005", "SCT", "Full Spectrum"};
}

// The one optical path: brightfield is white light through the slide;
// fluorescence is lit from above, by the wavelength and/or colour given
// (one of them must be, and the metadata's check sees to it).
void SetOpticalPath(DataSet* path, const SlideMetadata& m) {
    const bool fluorescence = m.illumination == Illumination::Fluorescence;
    if (fluorescence && m.illuminationWavelengthNm > 0) {
        path->SetFloat32(Tag(0x0022, 0x0055), static_cast<float>(m.illuminationWavelengthNm));
    }
    SetCode(&path->AddItem(Tag(0x0022, 0x0016)),
            fluorescence ? Code{"111743", "DCM", "Epifluorescence illumination"}
                         : Code{"111744", "DCM", "Brightfield illumination"});
    path->SetString(Tag(0x0028, 0x2002), vr::kCS, "SRGB");
    path->SetBytes(Tag(0x0028, 0x2000), vr::kOB, SrgbProfile());
    path->SetString(Tag(0x0048, 0x0106), vr::kSH, "1");
    if (!fluorescence || m.illuminationColor != IlluminationColor::None) {
        SetCode(&path->AddItem(Tag(0x0048, 0x0108)), ColorCode(m.illuminationColor));
    }
}

std::string Text(std::uint64_t value) { return std::to_string(value); }

// One text attribute of the instance: the general modules are mostly these.
struct Attribute {
    std::uint32_t tag;
    Vr vr;
    std::string_view value;
};

}  // namespace

std::uint32_t FrameCount(const WsmImage& image) {
    if (image.tileColumns == 0 || image.tileRows == 0) return 0;
    const std::uint64_t across =
        (std::uint64_t{image.columns} + image.tileColumns - 1) / image.tileColumns;
    const std::uint64_t down = (std::uint64_t{image.rows} + image.tileRows - 1) / image.tileRows;
    return static_cast<std::uint32_t>(across * down);
}

DataSet WsmInstanceDataSet(const WsmSlide& slide, const WsmImage& image, std::string* why) {
    if (image.columns == 0 || image.rows == 0 || image.tileColumns == 0 || image.tileRows == 0 ||
        image.tileColumns > 0xFFFF || image.tileRows > 0xFFFF || slide.columns == 0 ||
        slide.rows == 0) {
        *why = "an empty picture or tile";
        return {};
    }
    if (!(slide.micronsPerPixelX > 0 && slide.micronsPerPixelY > 0 &&
          (slide.sectionMicrons > 0 || !slide.sectionRecorded))) {
        *why = "no pixel size or section thickness";
        return {};
    }
    if (!IsVolume(image.kind) && FrameCount(image) != 1) {
        *why = "a label, overview or thumbnail of more than one frame";
        return {};
    }
    if (slide.metadata.containerIdentifier.empty()) {
        *why = "no container identifier";
        return {};
    }
    if (slide.pictureSeriesUid.empty() || slide.pictureSeriesUid == slide.seriesUid) {
        *why = "no series of its own for the label and the overview";
        return {};
    }
    const SlideMetadata& m = slide.metadata;
    const std::array<std::string, 4> imageType = ImageType(image.kind);
    const bool showsLabel =
        image.kind == WsmImageKind::Label || image.kind == WsmImageKind::Overview;
    // The scanned area's extent in mm, and this picture's pixel size in mm.
    const double widthMm = slide.columns * slide.micronsPerPixelX / 1000;
    const double heightMm = slide.rows * slide.micronsPerPixelY / 1000;
    const double spacingX = widthMm / image.columns, spacingY = heightMm / image.rows;

    DataSet d;
    if (!AllAscii(m)) d.SetString(Tag(0x0008, 0x0005), vr::kCS, "ISO_IR 192");
    d.SetStrings(Tag(0x0008, 0x0008), vr::kCS, imageType);
    d.SetString(Tag(0x0008, 0x0016), vr::kUI, kWsmSopClass);
    // One pyramid: its levels share the UID; the pictures are not levels.
    if (IsVolume(image.kind) && !slide.pyramidUid.empty()) {
        d.SetString(Tag(0x0008, 0x0019), vr::kUI, slide.pyramidUid);
    }
    const std::string acquired = slide.contentDate + slide.contentTime;
    const std::string number = Text(image.instanceNumber);
    const Attribute texts[] = {
        {Tag(0x0008, 0x0018), vr::kUI, image.instanceUid},
        {Tag(0x0008, 0x0020), vr::kDA, ""},
        {Tag(0x0008, 0x0023), vr::kDA, slide.contentDate},
        {Tag(0x0008, 0x002A), vr::kDT, acquired},
        {Tag(0x0008, 0x0030), vr::kTM, ""},
        {Tag(0x0008, 0x0033), vr::kTM, slide.contentTime},
        {Tag(0x0008, 0x0050), vr::kSH, m.accessionNumber},
        {Tag(0x0008, 0x0060), vr::kCS, "SM"},
        {Tag(0x0008, 0x0070), vr::kLO, "UNKNOWN"},
        {Tag(0x0008, 0x0090), vr::kPN, ""},
        {Tag(0x0008, 0x1090), vr::kLO, "UNKNOWN"},
        {Tag(0x0008, 0x9206), vr::kCS, "VOLUME"},
        {Tag(0x0010, 0x0010), vr::kPN, m.patientName},
        {Tag(0x0010, 0x0020), vr::kLO, m.patientId},
        {Tag(0x0010, 0x0030), vr::kDA, ""},
        {Tag(0x0010, 0x0040), vr::kCS, ""},
        {Tag(0x0018, 0x1000), vr::kLO, "UNKNOWN"},
        {Tag(0x0018, 0x1020), vr::kLO, "UNKNOWN"},
        {Tag(0x0020, 0x000D), vr::kUI, slide.studyUid},
        {Tag(0x0020, 0x000E), vr::kUI, showsLabel ? slide.pictureSeriesUid : slide.seriesUid},
        {Tag(0x0020, 0x0010), vr::kSH, ""},
        {Tag(0x0020, 0x0011), vr::kIS, showsLabel ? "2" : "1"},
        {Tag(0x0020, 0x0013), vr::kIS, number},
        {Tag(0x0020, 0x0052), vr::kUI, slide.frameOfReferenceUid},
        {Tag(0x0020, 0x1040), vr::kLO, ""},
    };
    for (const Attribute& text : texts) d.SetString(text.tag, text.vr, text.value);
    d.AddItem(Tag(0x0020, 0x9221))
        .SetString(Tag(0x0020, 0x9164), vr::kUI, slide.dimensionOrganizationUid);
    d.SetString(Tag(0x0020, 0x9311), vr::kCS, "TILED_FULL");

    d.SetUint16(Tag(0x0028, 0x0002), 3);
    d.SetString(Tag(0x0028, 0x0004), vr::kCS, PhotometricName(image.photometric));
    d.SetUint16(Tag(0x0028, 0x0006), 0);
    d.SetString(Tag(0x0028, 0x0008), vr::kIS, Text(FrameCount(image)));
    d.SetUint16(Tag(0x0028, 0x0010), static_cast<std::uint16_t>(image.tileRows));
    d.SetUint16(Tag(0x0028, 0x0011), static_cast<std::uint16_t>(image.tileColumns));
    d.SetUint16(Tag(0x0028, 0x0100), 8);
    d.SetUint16(Tag(0x0028, 0x0101), 8);
    d.SetUint16(Tag(0x0028, 0x0102), 7);
    d.SetUint16(Tag(0x0028, 0x0103), 0);
    d.SetString(Tag(0x0028, 0x0301), vr::kCS, showsLabel ? "YES" : "NO");
    d.SetString(Tag(0x0028, 0x2110), vr::kCS, "01");
    d.SetString(Tag(0x0028, 0x2112), vr::kDS, DecimalString(image.compressionRatio));
    d.SetString(Tag(0x0028, 0x2114), vr::kCS, "ISO_10918_1");

    // The specimen: the slide is the container, holding one specimen that
    // is known by the slide's identifier.
    d.SetString(Tag(0x0040, 0x0512), vr::kLO, m.containerIdentifier);
    d.SetEmptySequence(Tag(0x0040, 0x0513));
    SetCode(&d.AddItem(Tag(0x0040, 0x0518)), {"433466003", "SCT", "Microscope slide"});
    d.SetEmptySequence(Tag(0x0040, 0x0555));
    DataSet& specimen = d.AddItem(Tag(0x0040, 0x0560));
    specimen.SetString(Tag(0x0040, 0x0551), vr::kLO, m.containerIdentifier);
    specimen.SetString(Tag(0x0040, 0x0554), vr::kUI, slide.specimenUid);
    specimen.SetEmptySequence(Tag(0x0040, 0x0562));
    if (!m.specimenDescription.empty()) {
        specimen.SetString(Tag(0x0040, 0x0600), vr::kLO, m.specimenDescription);
    }
    specimen.SetEmptySequence(Tag(0x0040, 0x0610));

    if (CoversScannedArea(image.kind)) {
        d.SetFloat32(Tag(0x0048, 0x0001), static_cast<float>(widthMm));
        d.SetFloat32(Tag(0x0048, 0x0002), static_cast<float>(heightMm));
        if (slide.sectionRecorded) {
            d.SetFloat32(Tag(0x0048, 0x0003), static_cast<float>(slide.sectionMicrons));
        } else if (IsVolume(image.kind)) {
            d.SetBytes(Tag(0x0048, 0x0003), vr::kFL, {});
        }
    }
    d.SetUint32(Tag(0x0048, 0x0006), image.columns);
    d.SetUint32(Tag(0x0048, 0x0007), image.rows);
    // The top left corner of the first pixel, in the slide's coordinates:
    // as the orientation below runs the rows towards -Y and the columns
    // towards -X, the scanned area's far corner is at (0, 0) and every
    // pixel of every level lies at positive X and Y.
    DataSet& origin = d.AddItem(Tag(0x0048, 0x0008));
    origin.SetString(Tag(0x0040, 0x072A), vr::kDS, DecimalString(heightMm));
    origin.SetString(Tag(0x0040, 0x073A), vr::kDS, DecimalString(widthMm));
    d.SetString(Tag(0x0048, 0x0010), vr::kCS, showsLabel ? "YES" : "NO");
    // The slides do not record how they were focused, and the attribute
    // has no value for that: a whole-slide scanner focuses by itself.
    d.SetString(Tag(0x0048, 0x0011), vr::kCS, "AUTO");
    d.SetString(Tag(0x0048, 0x0012), vr::kCS, "NO");
    // Rows run along the slide's long side, columns across it.
    static const std::string kOrientation[] = {"0", "-1", "0", "-1", "0", "0"};
    d.SetStrings(Tag(0x0048, 0x0102), vr::kDS, kOrientation);
    SetOpticalPath(&d.AddItem(Tag(0x0048, 0x0105)), m);
    d.SetUint32(Tag(0x0048, 0x0302), 1);
    d.SetUint32(Tag(0x0048, 0x0303), 1);

    DataSet& shared = d.AddItem(Tag(0x5200, 0x9229));
    DataSet& measures = shared.AddItem(Tag(0x0028, 0x9110));
    if (slide.sectionRecorded) {
        measures.SetString(Tag(0x0018, 0x0050), vr::kDS,
                           DecimalString(slide.sectionMicrons / 1000));
    } else if (CoversScannedArea(image.kind)) {
        measures.SetString(Tag(0x0018, 0x0050), vr::kDS, "");
    }
    if (CoversScannedArea(image.kind)) {
        const std::string spacing[] = {DecimalString(spacingY), DecimalString(spacingX)};
        measures.SetStrings(Tag(0x0028, 0x0030), vr::kDS, spacing);
    }
    shared.AddItem(Tag(0x0048, 0x0207)).SetString(Tag(0x0048, 0x0106), vr::kSH, "1");
    shared.AddItem(Tag(0x0040, 0x0710)).SetStrings(Tag(0x0008, 0x9007), vr::kCS, imageType);
    if (image.kind == WsmImageKind::Label) {
        // The slide label module, empty: no attribute carries the label's text.
        d.SetString(Tag(0x2200, 0x0002), vr::kUT, "");
        d.SetString(Tag(0x2200, 0x0005), vr::kLT, "");
    }
    return d;
}

}  // namespace nvx::dicom
