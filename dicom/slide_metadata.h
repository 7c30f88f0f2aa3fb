/*
 * slide_metadata.h - who and what a slide's DICOM instances are about: the
 * patient, the study and the specimen, as the user gives them in a JSON
 * file. Every value is written as it is, as data; a field the file leaves
 * out is empty.
 */
#pragma once

#include <string>

namespace nvx::dicom {

struct SlideMetadata {
    std::string patientId;            // LO
    std::string patientName;          // PN
    std::string accessionNumber;      // SH
    std::string containerIdentifier;  // LO: the slide's own identifier
    std::string specimenDescription;  // LO
};

}  // namespace nvx::dicom
