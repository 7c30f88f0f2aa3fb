/*
 * dicom_instance_heads.h - the instances' heads written again once every
 * frame of the slide is in. The UIDs are made from the slide library's
 * digest of every stored byte of the slide, which is made while the
 * levels are written (slide_digest_job.h), so they are known only at the
 * end: each head is first written with placeholder UIDs of the real ones' length
 * (dicom/uid.h) and a compression ratio padded to a fixed width, then
 * encoded again with the real values and written over its place. Nothing
 * is searched for in the bytes: the head is the writer's own encoding,
 * of the same length, and ends where the data set does, so the offset
 * tables the writer filled after the last frame and the frames are never
 * written over.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/native_file.h"
#include "common/run_record.h"
#include "dicom/data_set.h"
#include "dicom/instance_writer.h"
#include "dicom/wsm_instance.h"

namespace nvx::pyramid {

// An instance whose frames are all written, its head still to be made final.
struct WrittenInstance {
    WritableFile* file = nullptr;
    std::string name;            // in the folder
    dicom::WsmImage image;       // as its head says it, its UID aside
    std::size_t headLength = 0;  // the bytes its first data set ended at
    Step step;                   // where a failure to write it again is recorded
};

// `image`'s data set as its head holds it: the compression ratio padded
// with spaces to the widest a decimal string is, so that the ratio known
// only after the last frame takes the room of the one written first.
// Empty, with the reason in `why`, as WsmInstanceDataSet.
dicom::DataSet HeadDataSet(const dicom::WsmSlide& slide, const dicom::WsmImage& image,
                           std::string* why);

// Writes `instance`'s head again for `slide` and `meta` (the real UIDs);
// false with the system's error code in `error`, or EINVAL when the head
// does not take the room of the first.
bool WriteHeadAgain(const WrittenInstance& instance, const dicom::WsmSlide& slide,
                    const dicom::FileMeta& meta, int* error);

}  // namespace nvx::pyramid
