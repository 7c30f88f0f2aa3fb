/*
 * srgb_profile.cpp - the sRGB ICC profile's header, tag table and tags.
 */
#include "dicom/srgb_profile.h"

#include <cmath>
#include <cstring>
#include <string>

namespace nvx::dicom {

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes* out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<std::uint8_t>(value >> shift));
    }
}
void Put16(Bytes* out, std::uint16_t value) {
    out->push_back(static_cast<std::uint8_t>(value >> 8));
    out->push_back(static_cast<std::uint8_t>(value & 0xFF));
}
void PutSignature(Bytes* out, const char* four) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<std::uint8_t>(four[i]));
}
void PutFixed(Bytes* out, double value) {
    Put32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(value * 65536))));
}

Bytes Xyz(double x, double y, double z) {
    Bytes tag;
    PutSignature(&tag, "XYZ ");
    Put32(&tag, 0);
    PutFixed(&tag, x);
    PutFixed(&tag, y);
    PutFixed(&tag, z);
    return tag;
}

Bytes Description(const std::string& text) {
    Bytes tag;
    PutSignature(&tag, "desc");
    Put32(&tag, 0);
    Put32(&tag, static_cast<std::uint32_t>(text.size() + 1));
    tag.insert(tag.end(), text.begin(), text.end());
    tag.push_back(0);
    Put32(&tag, 0);  // no Unicode description
    Put32(&tag, 0);
    Put16(&tag, 0);  // no ScriptCode description
    tag.push_back(0);
    tag.insert(tag.end(), 67, 0);
    return tag;
}

Bytes Text(const std::string& text) {
    Bytes tag;
    PutSignature(&tag, "text");
    Put32(&tag, 0);
    tag.insert(tag.end(), text.begin(), text.end());
    tag.push_back(0);
    return tag;
}

// The sRGB tone curve, from encoded value to linear light.
Bytes ToneCurve() {
    constexpr int kEntries = 1024;
    Bytes tag;
    PutSignature(&tag, "curv");
    Put32(&tag, 0);
    Put32(&tag, kEntries);
    for (int i = 0; i < kEntries; ++i) {
        const double v = i / double{kEntries - 1};
        const double linear = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        Put16(&tag, static_cast<std::uint16_t>(std::lround(linear * 65535)));
    }
    return tag;
}

}  // namespace

std::vector<std::uint8_t> SrgbProfile() {
    struct Entry {
        const char* signature;
        int data;  // index into `tags`
    };
    const Bytes curve = ToneCurve();
    const Bytes tags[] = {
        Description("sRGB"),
        Text("No copyright, use freely"),
        Xyz(0.9642, 1.0, 0.8249),
        Xyz(0.4360747, 0.2225045, 0.0139322),
        Xyz(0.3850649, 0.7168786, 0.0971045),
        Xyz(0.1430804, 0.0606169, 0.7141733),
        curve,
    };
    const Entry entries[] = {{"desc", 0}, {"cprt", 1}, {"wtpt", 2}, {"rXYZ", 3}, {"gXYZ", 4},
                             {"bXYZ", 5}, {"rTRC", 6}, {"gTRC", 6}, {"bTRC", 6}};
    constexpr std::size_t kHeader = 128;
    const std::size_t tableSize = 4 + 12 * std::size(entries);
    // Each tag's data starts on a four-byte boundary; the curve is shared.
    std::uint32_t offsets[std::size(tags)];
    std::size_t at = kHeader + tableSize;
    for (std::size_t i = 0; i < std::size(tags); ++i) {
        offsets[i] = static_cast<std::uint32_t>(at);
        at += (tags[i].size() + 3) / 4 * 4;
    }
    const std::size_t total = at;

    Bytes profile;
    Put32(&profile, static_cast<std::uint32_t>(total));
    Put32(&profile, 0);  // no preferred CMM
    Put32(&profile, 0x02100000);
    PutSignature(&profile, "mntr");
    PutSignature(&profile, "RGB ");
    PutSignature(&profile, "XYZ ");
    for (const std::uint16_t part : {2026, 1, 1, 0, 0, 0}) Put16(&profile, part);
    PutSignature(&profile, "acsp");
    profile.resize(64, 0);  // platform, flags, device, attributes
    Put32(&profile, 0);     // perceptual intent
    PutFixed(&profile, 0.9642);
    PutFixed(&profile, 1.0);
    PutFixed(&profile, 0.8249);
    profile.resize(kHeader, 0);

    Put32(&profile, static_cast<std::uint32_t>(std::size(entries)));
    for (const Entry& entry : entries) {
        PutSignature(&profile, entry.signature);
        Put32(&profile, offsets[entry.data]);
        Put32(&profile, static_cast<std::uint32_t>(tags[entry.data].size()));
    }
    for (const Bytes& tag : tags) {
        profile.insert(profile.end(), tag.begin(), tag.end());
        profile.resize((profile.size() + 3) / 4 * 4, 0);
    }
    return profile;
}

}  // namespace nvx::dicom
