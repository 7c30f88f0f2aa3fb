/*
 * dicom_instance_heads.cpp - heads encoded again with the real UIDs.
 */
#include "pyramid/dicom_instance_heads.h"

#include <cerrno>

namespace nvx::pyramid {

namespace {

constexpr std::uint32_t kCompressionRatio = dicom::Tag(0x0028, 0x2112);
// A decimal string's most characters.
constexpr std::size_t kDecimalWidth = 16;

}  // namespace

dicom::DataSet HeadDataSet(const dicom::WsmSlide& slide, const dicom::WsmImage& image,
                           std::string* why) {
    dicom::DataSet dataSet = dicom::WsmInstanceDataSet(slide, image, why);
    if (dataSet.Empty()) return dataSet;
    std::string ratio = dicom::DecimalString(image.compressionRatio);
    ratio.resize(kDecimalWidth, ' ');
    dataSet.SetString(kCompressionRatio, dicom::vr::kDS, ratio);
    return dataSet;
}

bool WriteHeadAgain(const WrittenInstance& instance, const dicom::WsmSlide& slide,
                    const dicom::FileMeta& meta, int* error) {
    std::string why;
    const dicom::DataSet dataSet = HeadDataSet(slide, instance.image, &why);
    std::vector<std::uint8_t> head;
    const int encoded = dataSet.Empty() ? EINVAL : dicom::EncodeHead(meta, dataSet, &head);
    if (encoded != 0 || head.size() != instance.headLength) {
        *error = encoded != 0 ? encoded : EINVAL;
        return false;
    }
    if (!instance.file->WriteAt(head.data(), head.size(), 0)) {
        *error = instance.file->Error();
        return false;
    }
    return true;
}

}  // namespace nvx::pyramid
