/*
 * slide_metadata.h - who and what a slide's DICOM instances are about: the
 * patient, the study and the specimen, as the user gives them in a JSON
 * file, an object of these fields, each optional:
 *
 *   {"patient_id": "P-0001", "patient_name": "Doe^Jane",
 *    "accession_number": "A123", "container_identifier": "SLIDE-42",
 *    "specimen_description": "Skin, punch biopsy",
 *    "section_thickness_um": 4,
 *    "illumination": "fluorescence", "illumination_wavelength_nm": 488,
 *    "illumination_color": "blue"}
 *
 * The text fields are strings; section_thickness_um, the thickness of the
 * section on the slide in micrometres, which the slide itself does not
 * record, is a number more than 0 and at most 1000 (a section is a few
 * micrometres; a millimetre is no longer a section) and that the instances
 * can state as a positive number (see StatesPositiveThickness). A field left
 * out is empty (the thickness 0, not known).
 *
 * The optical path: illumination is "brightfield" (light through the slide,
 * full spectrum; the default) or "fluorescence" (epifluorescence), which
 * needs what lit it: illumination_wavelength_nm, a number from 100 to 2000
 * (nanometres, ultraviolet to near infrared), and/or illumination_color,
 * one of "red", "green", "blue", "ultraviolet", "infrared" and
 * "full spectrum" (the colours the standard codes). Neither is taken for
 * brightfield, whose light is white. Every value is written as it
 * is, as data, so one the value's representation could not hold as it is
 * given is refused rather than changed: too long (LO 64 bytes, SH 16, PN 64
 * in each of at most three groups of at most five '^' components), a
 * backslash (the value separator) or a control character (C0, DEL or C1).
 * Text other than ASCII is UTF-8, and the instances then say so
 * (ISO_IR 192); lengths count bytes, as the representations' limits do, so
 * a character other than ASCII takes two to four of them. An unknown
 * field, a field given twice, a value that is not a string and a file that
 * is not one JSON object are refused too, each with a line that names it.
 */
#pragma once

#include <string>
#include <string_view>

namespace nvx::dicom {

enum class Illumination { Brightfield, Fluorescence };

// The illumination's colour, as the standard codes it.
enum class IlluminationColor { None, Red, Green, Blue, Ultraviolet, Infrared, FullSpectrum };

struct SlideMetadata {
    std::string patientId;            // LO
    std::string patientName;          // PN
    std::string accessionNumber;      // SH
    std::string containerIdentifier;  // LO: the slide's own identifier
    std::string specimenDescription;  // LO
    double sectionThicknessUm = 0;    // 0 when not given
    Illumination illumination = Illumination::Brightfield;
    double illuminationWavelengthNm = 0;  // fluorescence only; 0 when not given
    IlluminationColor illuminationColor = IlluminationColor::None;  // fluorescence only
};

// The smallest thickness that StatesPositiveThickness takes, in words.
inline constexpr const char* kThinnestSectionText = "1.2e-38";

// Whether a section `microns` thick is stated as a positive number in the
// forms the instances keep it in: a 32-bit float in microns, which must be
// a normal number (a smaller one is read as 0), and a decimal in mm.
bool StatesPositiveThickness(double microns);

// Reads `text`, the file's content; false with the reason in `why`.
bool ParseSlideMetadata(std::string_view text, SlideMetadata* metadata, std::string* why);

// Reads the file `path` (at most 1 MiB); false with a reason that names
// the file in `why`.
bool ReadSlideMetadata(const std::string& path, SlideMetadata* metadata, std::string* why);

}  // namespace nvx::dicom
