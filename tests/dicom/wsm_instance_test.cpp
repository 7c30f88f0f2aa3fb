// What makes no valid whole-slide instance is refused before anything is
// written; what differs between the kinds of instance.
#include "dicom/wsm_instance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace nvx::dicom {
namespace {

WsmSlide Slide() {
    WsmSlide slide;
    slide.metadata.containerIdentifier = "S-1";
    slide.studyUid = slide.seriesUid = slide.frameOfReferenceUid = "2.25.1";
    slide.pictureSeriesUid = "2.25.4";
    slide.dimensionOrganizationUid = slide.specimenUid = "2.25.2";
    slide.contentDate = "20260101";
    slide.contentTime = "120000";
    slide.columns = 1000;
    slide.rows = 500;
    slide.micronsPerPixelX = slide.micronsPerPixelY = 0.5;
    slide.sectionMicrons = 4;
    return slide;
}

WsmImage Image(WsmImageKind kind) {
    WsmImage image;
    image.kind = kind;
    image.instanceUid = "2.25.3";
    image.columns = 250;
    image.rows = 125;
    image.tileColumns = image.tileRows =
        kind == WsmImageKind::Volume || kind == WsmImageKind::Resampled ? 128 : 250;
    if (kind != WsmImageKind::Volume && kind != WsmImageKind::Resampled) image.tileRows = 125;
    image.compressionRatio = 12.5;
    return image;
}

std::string Text(const DataSet& d, std::uint32_t tag) {
    const auto found = d.Elements().find(tag);
    if (found == d.Elements().end()) return "(absent)";
    std::string text(found->second.value.begin(), found->second.value.end());
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

TEST(WsmInstanceTest, RefusesWhatMakesNoValidInstance) {
    struct Row {
        const char* name;
        std::function<void(WsmSlide*, WsmImage*)> change;
        const char* reason;
    };
    const Row rows[] = {
        {"no container identifier",
         [](WsmSlide* s, WsmImage*) { s->metadata.containerIdentifier.clear(); },
         "no container identifier"},
        {"no pixel size", [](WsmSlide* s, WsmImage*) { s->micronsPerPixelY = 0; },
         "no pixel size or section thickness"},
        {"a pixel size not a number",
         [](WsmSlide* s, WsmImage*) { s->micronsPerPixelX = std::nan(""); },
         "no pixel size or section thickness"},
        {"no section thickness", [](WsmSlide* s, WsmImage*) { s->sectionMicrons = 0; },
         "no pixel size or section thickness"},
        {"the label's series the pyramid's",
         [](WsmSlide* s, WsmImage*) { s->pictureSeriesUid = s->seriesUid; },
         "no series of its own for the label and the overview"},
        {"an empty picture", [](WsmSlide*, WsmImage* i) { i->rows = 0; },
         "an empty picture or tile"},
        {"an empty tile", [](WsmSlide*, WsmImage* i) { i->tileColumns = 0; },
         "an empty picture or tile"},
        {"a tile wider than Columns holds", [](WsmSlide*, WsmImage* i) { i->tileColumns = 65536; },
         "an empty picture or tile"},
        {"a label of two frames",
         [](WsmSlide*, WsmImage* i) {
             i->kind = WsmImageKind::Label;
             i->tileColumns = 128;
         },
         "a label, overview or thumbnail of more than one frame"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WsmSlide slide = Slide();
        WsmImage image = Image(WsmImageKind::Volume);
        row.change(&slide, &image);
        std::string why;
        EXPECT_TRUE(WsmInstanceDataSet(slide, image, &why).Empty());
        EXPECT_EQ(why, row.reason);
    }
}

TEST(WsmInstanceTest, EachKindSaysWhatItShows) {
    struct Row {
        WsmImageKind kind;
        const char* imageType;
        const char* frames;
        const char* labelShown;  // BurnedInAnnotation and SpecimenLabelInImage
        bool spacing;            // PixelSpacing and the imaged volume
        bool labelModule;
        const char* series;  // SeriesInstanceUID, SeriesNumber
    };
    const Row rows[] = {
        {WsmImageKind::Volume, "ORIGINAL\\PRIMARY\\VOLUME\\NONE", "2", "NO", true, false,
         "2.25.1 1"},
        {WsmImageKind::Resampled, "DERIVED\\PRIMARY\\VOLUME\\RESAMPLED", "2", "NO", true, false,
         "2.25.1 1"},
        {WsmImageKind::Thumbnail, "DERIVED\\PRIMARY\\THUMBNAIL\\RESAMPLED", "1", "NO", true, false,
         "2.25.1 1"},
        {WsmImageKind::Label, "ORIGINAL\\PRIMARY\\LABEL\\NONE", "1", "YES", false, true,
         "2.25.4 2"},
        {WsmImageKind::Overview, "ORIGINAL\\PRIMARY\\OVERVIEW\\NONE", "1", "YES", false, false,
         "2.25.4 2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.imageType);
        std::string why;
        const DataSet d = WsmInstanceDataSet(Slide(), Image(row.kind), &why);
        ASSERT_FALSE(d.Empty()) << why;
        EXPECT_EQ(Text(d, Tag(0x0008, 0x0008)), row.imageType);
        EXPECT_EQ(Text(d, Tag(0x0020, 0x000E)) + " " + Text(d, Tag(0x0020, 0x0011)), row.series);
        EXPECT_EQ(Text(d, Tag(0x0028, 0x0008)), row.frames);
        EXPECT_EQ(Text(d, Tag(0x0028, 0x0301)), row.labelShown);
        EXPECT_EQ(Text(d, Tag(0x0048, 0x0010)), row.labelShown);
        EXPECT_EQ(d.Elements().count(Tag(0x0048, 0x0001)), row.spacing ? 1u : 0u);
        EXPECT_EQ(d.Elements().count(Tag(0x2200, 0x0002)), row.labelModule ? 1u : 0u);
        if (row.labelModule) {
            EXPECT_EQ(Text(d, Tag(0x2200, 0x0002)), "") << "no label text";
        }
        const DataSet& shared = d.Elements().at(Tag(0x5200, 0x9229)).items.at(0);
        const DataSet& measures = shared.Elements().at(Tag(0x0028, 0x9110)).items.at(0);
        // 1000 x 500 pixels of 0.5 um over a 250 x 125 picture: 2 um.
        EXPECT_EQ(Text(measures, Tag(0x0028, 0x0030)), row.spacing ? "0.002\\0.002" : "(absent)");
        EXPECT_EQ(Text(measures, Tag(0x0018, 0x0050)), "0.004");
        EXPECT_EQ(Text(shared.Elements().at(Tag(0x0040, 0x0710)).items.at(0), Tag(0x0008, 0x9007)),
                  row.imageType);
    }
}

// The slide position of a pixel corner (row r, column c) from the
// instance's origin, orientation and spacing, as a reader works it out.
struct SlidePoint {
    double x, y;
};

std::vector<double> Numbers(const std::string& text) {
    std::vector<double> numbers;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find('\\', at), text.size());
        numbers.push_back(std::stod(text.substr(at, end - at)));
        at = end + 1;
    }
    return numbers;
}

TEST(WsmInstanceTest, EveryPixelOfEveryLevelLiesAtPositiveSlideCoordinates) {
    // A slide of 2967 x 2220 pixels of 0.499 um, and its levels at 1, 4 and 16.
    WsmSlide slide = Slide();
    slide.columns = 2220;
    slide.rows = 2967;
    slide.micronsPerPixelX = slide.micronsPerPixelY = 0.499;
    struct Row {
        std::uint32_t columns, rows;
        const char* spacing;
    };
    for (const Row row :
         {Row{2220, 2967, "0.000499\\0.000499"}, Row{555, 741, nullptr}, Row{138, 185, nullptr}}) {
        SCOPED_TRACE(row.columns);
        WsmImage image = Image(WsmImageKind::Resampled);
        image.columns = row.columns;
        image.rows = row.rows;
        std::string why;
        const DataSet d = WsmInstanceDataSet(slide, image, &why);
        ASSERT_FALSE(d.Empty()) << why;
        const DataSet& origin = d.Elements().at(Tag(0x0048, 0x0008)).items.at(0);
        const double x0 = std::stod(Text(origin, Tag(0x0040, 0x072A)));
        const double y0 = std::stod(Text(origin, Tag(0x0040, 0x073A)));
        EXPECT_EQ(Text(origin, Tag(0x0040, 0x072A)), "1.480533") << "2967 rows of 0.499 um";
        EXPECT_EQ(Text(origin, Tag(0x0040, 0x073A)), "1.10778");
        const std::vector<double> o = Numbers(Text(d, Tag(0x0048, 0x0102)));
        ASSERT_EQ(o.size(), 6u);
        const DataSet& measures = d.Elements()
                                      .at(Tag(0x5200, 0x9229))
                                      .items.at(0)
                                      .Elements()
                                      .at(Tag(0x0028, 0x9110))
                                      .items.at(0);
        const std::string spacingText = Text(measures, Tag(0x0028, 0x0030));
        if (row.spacing != nullptr) {
            EXPECT_EQ(spacingText, row.spacing);
        }
        const std::vector<double> spacing = Numbers(spacingText);  // between rows, columns
        ASSERT_EQ(spacing.size(), 2u);
        const auto at = [&](double r, double c) {
            return SlidePoint{x0 + o[0] * c * spacing[1] + o[3] * r * spacing[0],
                              y0 + o[1] * c * spacing[1] + o[4] * r * spacing[0]};
        };
        // The four corners of the picture: every pixel lies between them.
        for (const SlidePoint p :
             {at(0, 0), at(0, row.columns), at(row.rows, 0), at(row.rows, row.columns)}) {
            EXPECT_GE(p.x, -1e-9);
            EXPECT_GE(p.y, -1e-9);
            EXPECT_LE(p.x, x0 + 1e-9);
            EXPECT_LE(p.y, y0 + 1e-9);
        }
        // And a pixel's own area lies inside: its centre is away from zero.
        const SlidePoint last = at(row.rows - 0.5, row.columns - 0.5);
        EXPECT_GT(last.x, 0);
        EXPECT_GT(last.y, 0);
    }
}

TEST(WsmInstanceTest, TheOpticalPathIsTheIlluminationGiven) {
    // (what the metadata says, the illumination's code, the wavelength
    //  written or "(absent)", the colour's code or "(absent)")
    struct Row {
        const char* name;
        Illumination illumination;
        double nanometres;
        IlluminationColor color;
        const char* method;
        const char* wavelength;
        const char* colorCode;
    };
    const Row rows[] = {
        {"nothing said", Illumination::Brightfield, 0, IlluminationColor::None, "111744", "",
         "414298005"},
        {"fluorescence by wavelength", Illumination::Fluorescence, 488, IlluminationColor::None,
         "111743", "488", "(absent)"},
        {"fluorescence by colour", Illumination::Fluorescence, 0, IlluminationColor::Green,
         "111743", "", "371246006"},
        {"fluorescence by both", Illumination::Fluorescence, 365.5, IlluminationColor::Ultraviolet,
         "111743", "365.5", "415770004"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WsmSlide slide = Slide();
        slide.metadata.illumination = row.illumination;
        slide.metadata.illuminationWavelengthNm = row.nanometres;
        slide.metadata.illuminationColor = row.color;
        std::string why;
        const DataSet d = WsmInstanceDataSet(slide, Image(WsmImageKind::Volume), &why);
        ASSERT_FALSE(d.Empty()) << why;
        const DataSet& path = d.Elements().at(Tag(0x0048, 0x0105)).items.at(0);
        EXPECT_EQ(Text(path.Elements().at(Tag(0x0022, 0x0016)).items.at(0), Tag(0x0008, 0x0100)),
                  row.method);
        const auto wavelength = path.Elements().find(Tag(0x0022, 0x0055));
        std::string written = "";
        if (wavelength != path.Elements().end()) {
            ASSERT_EQ(wavelength->second.value.size(), 4u);
            float value = 0;
            std::memcpy(&value, wavelength->second.value.data(), sizeof value);
            written = DecimalString(value);
        }
        EXPECT_EQ(written, row.wavelength);
        const auto color = path.Elements().find(Tag(0x0048, 0x0108));
        EXPECT_EQ(color == path.Elements().end()
                      ? "(absent)"
                      : Text(color->second.items.at(0), Tag(0x0008, 0x0100)),
                  row.colorCode);
    }
}

TEST(RecordedDecimalTest, TheDecimalTheFloatWasRecordedFrom) {
    struct Row {
        float recorded;
        const char* written;  // as DecimalString gives it, in mm
    };
    for (const Row row :
         {Row{0.499f, "0.000499"}, Row{0.2527f, "0.0002527"}, Row{0.239842f, "0.000239842"},
          Row{0.25f, "0.00025"}, Row{0.46729f, "0.00046729"}, Row{1000.0f, "1"},
          Row{3.3333333e-5f, "3.3333334E-08"}}) {
        SCOPED_TRACE(row.written);
        EXPECT_EQ(DecimalString(RecordedDecimal(row.recorded) / 1000), row.written);
        EXPECT_EQ(static_cast<float>(RecordedDecimal(row.recorded)), row.recorded);
    }
}

TEST(DecimalStringTest, AtMostSixteenCharactersAndAsCloseAsTheyHold) {
    for (const double value : {0.002, 0.000239842, 0.00046729, 1.0 / 3, 123456789.123456789,
                               -0.000123456789012345, 1e-20, 9.87654321e21, 0.0}) {
        SCOPED_TRACE(value);
        const std::string text = DecimalString(value);
        EXPECT_LE(text.size(), 16u) << text;
        const double back = std::stod(text);
        EXPECT_NEAR(back, value, std::abs(value) * 1e-9) << text;
    }
    EXPECT_EQ(DecimalString(0.000239842), "0.000239842");
}

}  // namespace
}  // namespace nvx::dicom
