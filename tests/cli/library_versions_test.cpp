// The library versions that --version prints, from what the libraries give.
#include "cli/library_versions.h"

#include <gtest/gtest.h>

#include <cctype>

namespace nvx::cli {
namespace {

TEST(LibraryVersions, NumbersAsTheLibrariesGiveThem) {
    EXPECT_EQ(VersionFromLibtiffBanner("LIBTIFF, Version 4.5.0\nCopyright (c) 1988-1996 Sam "
                                       "Leffler\n"),
              "4.5.0");
    EXPECT_EQ(VersionFromLibtiffBanner("LIBTIFF, Version 4.7.0"), "4.7.0");
    EXPECT_EQ(VersionFromLibtiffBanner("some other banner\nsecond line"), "some other banner");
    EXPECT_EQ(VersionFromLibtiffBanner("LIBTIFF, Version "), "LIBTIFF, Version ");
    EXPECT_EQ(VersionFromLibjpegTurboNumber(2001005), "2.1.5");
    EXPECT_EQ(VersionFromLibjpegTurboNumber(3000090), "3.0.90");
    // What this build runs with: a number, not a banner.
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(LibtiffVersion()[0]))) << LibtiffVersion();
}

}  // namespace
}  // namespace nvx::cli
