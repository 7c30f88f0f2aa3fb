// The metadata file: what it takes, and each refusal with its reason.
#include "dicom/slide_metadata.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace nvx::dicom {
namespace {

std::string Repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

TEST(SlideMetadataTest, TakesTheFieldsAsGiven) {
    struct Row {
        std::string json;
        SlideMetadata expected;
    };
    const Row rows[] = {
        {R"({"patient_id": "P-1", "patient_name": "Doe^Jane", "accession_number": "A1",
             "container_identifier": "S-42", "specimen_description": "Skin, punch"})",
         {"P-1", "Doe^Jane", "A1", "S-42", "Skin, punch"}},
        {"{}", {}},
        {R"({"container_identifier": ""})", {}},
        {R"({"patient_id": ")" + Repeat("x", 64) + R"("})", {Repeat("x", 64), "", "", "", ""}},
        {R"({"accession_number": ")" + Repeat("9", 16) + R"("})",
         {"", "", Repeat("9", 16), "", ""}},
        {R"({"patient_id": ")" + Repeat("\xC3\xA9", 32) + R"("})",
         {Repeat("\xC3\xA9", 32), "", "", "", ""}},
        {R"({"patient_name": "A^B^C^D^E=\u5c71^\u7530"})",
         {"", "A^B^C^D^E=\xE5\xB1\xB1^\xE7\x94\xB0", "", "", ""}},
        // U+00A0 (C2 A0), the first code point after the C1 controls.
        {R"({"specimen_description": "a\u00a0b"})",
         {"", "", "", "",
          "a\xC2\xA0"
          "b"}},
        {R"({"patient_name": "Yamada^Tarou=\u5c71\u7530^\u592a\u90ce=\u3084\u307e\u3060^\u305f\u308d\u3046"})",
         {"",
          "Yamada^Tarou=\xE5\xB1\xB1\xE7\x94\xB0^\xE5\xA4\xAA\xE9\x83\x8E="
          "\xE3\x82\x84\xE3\x81\xBE\xE3\x81\xA0^\xE3\x81\x9F\xE3\x82\x8D\xE3\x81\x86",
          "", "", ""}},
        {R"({"patient_name": ")" + Repeat("a", 64) + "=" + Repeat("b", 64) + R"("})",
         {"", Repeat("a", 64) + "=" + Repeat("b", 64), "", "", ""}},
        // Quotes, angle brackets and semicolons are data like any other.
        {R"({"specimen_description": "<b>\"x\"; DROP"})", {"", "", "", "", "<b>\"x\"; DROP"}},
        {R"({"section_thickness_um": 4})", {"", "", "", "", "", 4}},
        {R"({"section_thickness_um": 0.5, "patient_id": "P"})", {"P", "", "", "", "", 0.5}},
        {R"({"section_thickness_um": 1000})", {"", "", "", "", "", 1000}},
        {R"({"section_thickness_um": 1e-3})", {"", "", "", "", "", 0.001}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.json);
        SlideMetadata read{"old", "old", "old", "old", "old", 9};
        std::string why;
        ASSERT_TRUE(ParseSlideMetadata(row.json, &read, &why)) << why;
        EXPECT_EQ(read.patientId, row.expected.patientId);
        EXPECT_EQ(read.patientName, row.expected.patientName);
        EXPECT_EQ(read.accessionNumber, row.expected.accessionNumber);
        EXPECT_EQ(read.containerIdentifier, row.expected.containerIdentifier);
        EXPECT_EQ(read.specimenDescription, row.expected.specimenDescription);
        EXPECT_EQ(read.sectionThicknessUm, row.expected.sectionThicknessUm);
    }
}

TEST(SlideMetadataTest, RefusesWithAReasonThatNamesIt) {
    struct Row {
        std::string json;
        const char* reason;
    };
    const Row rows[] = {
        {R"({"patient_id": "P-1", "patient_age": "40"})",
         "unknown field \"patient_age\" (the fields are patient_id, patient_name, "
         "accession_number, "
         "container_identifier, specimen_description, section_thickness_um, illumination, "
         "illumination_wavelength_nm, illumination_color)"},
        {R"({"section_thickness_um": "4"})", "section_thickness_um is not a number"},
        {R"({"section_thickness_um": true})", "section_thickness_um is not a number"},
        {R"({"section_thickness_um": null})", "section_thickness_um is not a number"},
        {R"({"section_thickness_um": 0})",
         "section_thickness_um is not more than 0 and at most 1000 (micrometres)"},
        {R"({"section_thickness_um": -4})",
         "section_thickness_um is not more than 0 and at most 1000 (micrometres)"},
        {R"({"section_thickness_um": 1000.5})",
         "section_thickness_um is not more than 0 and at most 1000 (micrometres)"},
        {R"({"section_thickness_um": 4, "section_thickness_um": 5})",
         "the field \"section_thickness_um\" is given twice"},
        {R"({"patient_id": 17})", "patient_id is not a string"},
        {R"({"patient_name": null})", "patient_name is not a string"},
        {R"({"patient_name": {"family": "Doe"}})", "patient_name is not a string"},
        {R"({"patient_id": "A", "patient_id": "B"})", "the field \"patient_id\" is given twice"},
        {R"(["patient_id", "P-1"])", "not a JSON object of fields"},
        {R"("P-1")", "not a JSON object of fields"},
        {R"({"patient_id": ")" + Repeat("x", 65) + R"("})", "patient_id is longer than 64 bytes"},
        {R"({"accession_number": ")" + Repeat("9", 17) + R"("})",
         "accession_number is longer than 16 bytes"},
        {R"({"container_identifier": "S-1\\S-2"})",
         "container_identifier holds a backslash, which it may not"},
        {R"({"specimen_description": "line\nline"})",
         "specimen_description holds a control character, which it may not"},
        {R"({"patient_id": "P\u0000"})", "patient_id holds a control character, which it may not"},
        {R"({"patient_id": "\u001b$B"})", "patient_id holds a control character, which it may not"},
        {R"({"patient_name": "a=b=c=d"})",
         "patient_name has more than three groups separated by '='"},
        {R"({"patient_name": ")" + Repeat("a", 65) + R"("})",
         "patient_name is longer than 64 bytes in one group"},
        // What passed before and made instances that readers flag.
        {R"({"patient_name": "A^B^C^D^E^F"})",
         "patient_name has more than five components separated by '^' in one group"},
        {R"({"patient_name": "A=B^C^D^E^F^G"})",
         "patient_name has more than five components separated by '^' in one group"},
        {R"({"specimen_description": "a\u0085b"})",
         "specimen_description holds a control character, which it may not"},
        {R"({"patient_id": "\u009f"})", "patient_id holds a control character, which it may not"},
        // 64 characters of two bytes each: within LO's 64 in characters, not in bytes.
        {R"({"patient_id": ")" + Repeat("\xC3\xA9", 64) + R"("})",
         "patient_id is longer than 64 bytes"},
        {R"({"accession_number": ")" + Repeat("\xE2\x82\xAC", 6) + R"("})",
         "accession_number is longer than 16 bytes"},
        {R"({"patient_name": ")" + Repeat("\xC3\xA9", 33) + R"("})",
         "patient_name is longer than 64 bytes in one group"},
        {R"({"section_thickness_um": 1e-320})",
         "section_thickness_um is too small for the instances to state as a positive number "
         "(the least is about 1.2e-38 micrometres)"},
        {R"({"section_thickness_um": 1e-39})",
         "section_thickness_um is too small for the instances to state as a positive number "
         "(the least is about 1.2e-38 micrometres)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.json);
        SlideMetadata read{"old", "", "", "", ""};
        std::string why;
        EXPECT_FALSE(ParseSlideMetadata(row.json, &read, &why));
        EXPECT_EQ(why, row.reason);
        EXPECT_EQ(read.patientId, "old") << "nothing taken from a refused file";
    }
    // Not JSON at all: the parser's own words follow.
    for (const std::string broken : {"", "{", R"({"patient_id": "\xFF"})", "{} {}"}) {
        std::string why;
        SlideMetadata read;
        EXPECT_FALSE(ParseSlideMetadata(broken, &read, &why));
        EXPECT_EQ(why.rfind("not JSON: ", 0), 0u) << why;
    }
}

TEST(SlideMetadataTest, TheOpticalPathIsBrightfieldUnlessFluorescenceIsLit) {
    struct Row {
        std::string json;
        Illumination illumination;
        double nanometres;
        IlluminationColor color;
        const char* reason;  // empty when taken
    };
    const Row rows[] = {
        {"{}", Illumination::Brightfield, 0, IlluminationColor::None, ""},
        {R"({"illumination": "brightfield"})", Illumination::Brightfield, 0,
         IlluminationColor::None, ""},
        {R"({"illumination": "fluorescence", "illumination_wavelength_nm": 488})",
         Illumination::Fluorescence, 488, IlluminationColor::None, ""},
        {R"({"illumination_color": "full spectrum", "illumination": "fluorescence"})",
         Illumination::Fluorescence, 0, IlluminationColor::FullSpectrum, ""},
        {R"({"illumination": "fluorescence", "illumination_wavelength_nm": 100,
             "illumination_color": "ultraviolet"})",
         Illumination::Fluorescence, 100, IlluminationColor::Ultraviolet, ""},
        {R"({"illumination": "fluorescence", "illumination_wavelength_nm": 2000})",
         Illumination::Fluorescence, 2000, IlluminationColor::None, ""},
        {R"({"illumination": "fluorescence"})", Illumination::Brightfield, 0,
         IlluminationColor::None,
         "fluorescence illumination needs illumination_wavelength_nm or illumination_color"},
        {R"({"illumination_wavelength_nm": 488})", Illumination::Brightfield, 0,
         IlluminationColor::None,
         "illumination_wavelength_nm is only for fluorescence illumination (brightfield light "
         "is white)"},
        {R"({"illumination": "brightfield", "illumination_color": "red"})",
         Illumination::Brightfield, 0, IlluminationColor::None,
         "illumination_color is only for fluorescence illumination (brightfield light is "
         "white)"},
        {R"({"illumination": "Fluorescence", "illumination_color": "red"})",
         Illumination::Brightfield, 0, IlluminationColor::None,
         "illumination is not \"brightfield\" or \"fluorescence\""},
        {R"({"illumination": 1})", Illumination::Brightfield, 0, IlluminationColor::None,
         "illumination is not \"brightfield\" or \"fluorescence\""},
        {R"({"illumination": "fluorescence", "illumination_color": "violet"})",
         Illumination::Brightfield, 0, IlluminationColor::None,
         "illumination_color is not one of \"red\", \"green\", \"blue\", \"ultraviolet\", "
         "\"infrared\" and \"full spectrum\""},
        {R"({"illumination": "fluorescence", "illumination_wavelength_nm": "488"})",
         Illumination::Brightfield, 0, IlluminationColor::None,
         "illumination_wavelength_nm is not a number"},
        {R"({"illumination": "fluorescence", "illumination_wavelength_nm": 99.9})",
         Illumination::Brightfield, 0, IlluminationColor::None,
         "illumination_wavelength_nm is not from 100 to 2000 (nanometres)"},
        {R"({"illumination": "fluorescence", "illumination_wavelength_nm": 2001})",
         Illumination::Brightfield, 0, IlluminationColor::None,
         "illumination_wavelength_nm is not from 100 to 2000 (nanometres)"},
        {R"({"illumination": "fluorescence", "illumination_wavelength_nm": 0})",
         Illumination::Brightfield, 0, IlluminationColor::None,
         "illumination_wavelength_nm is not from 100 to 2000 (nanometres)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.json);
        SlideMetadata read;
        std::string why;
        EXPECT_EQ(ParseSlideMetadata(row.json, &read, &why), *row.reason == '\0');
        EXPECT_EQ(why, row.reason);
        EXPECT_EQ(read.illumination, row.illumination);
        EXPECT_EQ(read.illuminationWavelengthNm, row.nanometres);
        EXPECT_EQ(read.illuminationColor, row.color);
    }
}

TEST(SlideMetadataTest, ReadsTheFileOrSaysWhyNot) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("nvx-metadata-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string good = (folder / "good.json").string();
    const std::string bad = (folder / "bad.json").string();
    const std::string big = (folder / "big.json").string();
    std::ofstream(good) << R"({"container_identifier": "S-42"})";
    std::ofstream(bad) << R"({"container_identifier": 42})";
    std::ofstream(big) << "{\"patient_id\": \"" << std::string(1024 * 1024, ' ') << "\"}";
    SlideMetadata read;
    std::string why;
    EXPECT_TRUE(ReadSlideMetadata(good, &read, &why)) << why;
    EXPECT_EQ(read.containerIdentifier, "S-42");
    struct Row {
        std::string path, reason;
    };
    const Row rows[] = {
        {bad, bad + ": container_identifier is not a string"},
        {big, big + ": larger than 1 MiB"},
        {folder.string(), folder.string() + ": not a regular file"},
        {(folder / "none.json").string(), (folder / "none.json").string() + ": "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_FALSE(ReadSlideMetadata(row.path, &read, &why));
        EXPECT_EQ(why.substr(0, row.reason.size()), row.reason);
        EXPECT_GT(why.size(), row.path.size() + 2);
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace nvx::dicom
