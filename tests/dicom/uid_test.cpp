// SHA-256 against the NIST examples, and the UIDs made from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>

#include "common/sha256.h"
#include "dicom/uid.h"

namespace nvx::dicom {
namespace {

std::string Hex(const Sha256::Digest& digest) {
    std::string text;
    char pair[3];
    for (const std::uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

TEST(Sha256Test, NistExamplesWholeAndInPieces) {
    struct Row {
        std::string message;
        const char* digest;
    };
    const Row rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message.substr(0, 20));
        Sha256 whole;
        whole.Update(row.message);
        EXPECT_EQ(Hex(whole.Finish()), row.digest);
        // Cut at every length from 1 to 70, so that pieces end inside,
        // at and across the 64-byte blocks.
        for (std::size_t piece : {1, 7, 55, 56, 63, 64, 65, 70}) {
            Sha256 cut;
            for (std::size_t at = 0; at < row.message.size(); at += piece) {
                cut.Update(std::string_view(row.message).substr(at, piece));
            }
            EXPECT_EQ(Hex(cut.Finish()), row.digest) << piece;
        }
    }
}

TEST(DerivedUidTest, TheDecimalOfTheHashOfDigestAndRole) {
    std::array<std::uint8_t, 32> digest{};
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(i);
    // Python: h = int.from_bytes(sha256(digest + len(role).to_bytes(2, "big") + role)[:16],
    // "big"); 10**37 + h % (9 * 10**37)
    EXPECT_EQ(DerivedUid(digest, "study"), "2.25.83308848727632375086574554237099368034");
    EXPECT_EQ(InstanceUid(digest, 3), "2.25.22577303825850610985618866041256400697");
}

// "2.25." and a decimal without leading zeros.
bool UnderUuidRoot(const std::string& uid) {
    const std::string digits = uid.substr(std::min<std::size_t>(uid.size(), 5));
    return uid.rfind("2.25.", 0) == 0 && !digits.empty() &&
           digits.find_first_not_of("0123456789") == std::string::npos &&
           (digits == "0" || digits[0] != '0');
}

TEST(DerivedUidTest, SameInputSameUidsDifferentInputsDifferent) {
    std::set<std::string> seen;
    for (std::uint8_t first = 0; first < 64; ++first) {
        std::array<std::uint8_t, 32> digest{};
        digest[0] = first;
        const SlideUids uids = UidsFor(digest);
        const SlideUids again = UidsFor(digest);
        for (const auto& [uid, repeated] :
             {std::pair{uids.study, again.study}, std::pair{uids.series, again.series},
              std::pair{uids.frameOfReference, again.frameOfReference},
              std::pair{uids.dimensionOrganization, again.dimensionOrganization},
              std::pair{uids.specimen, again.specimen}, std::pair{uids.pyramid, again.pyramid},
              std::pair{InstanceUid(digest, 1), InstanceUid(digest, 1)},
              std::pair{InstanceUid(digest, 2), InstanceUid(digest, 2)}}) {
            EXPECT_EQ(uid, repeated);
            // One length for all, the placeholder's.
            EXPECT_EQ(uid.size(), kUidLength);
            EXPECT_EQ(uid.size(), PlaceholderUid().size());
            EXPECT_TRUE(UnderUuidRoot(uid)) << uid;
            EXPECT_TRUE(seen.insert(uid).second) << uid << " made twice";
        }
        EXPECT_EQ(uids.implementationClass,
                  UidsFor(std::array<std::uint8_t, 1>{}).implementationClass);
    }
}

}  // namespace
}  // namespace nvx::dicom
