/*
 * name_identity_test.cpp - two names for one file, told by identity: an
 * output's record against other spellings of the same file or free name
 * (./, a link to its folder, a hard link, a link to the file), and a
 * record's folder inside another.
 */
#include "common/name_identity.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace nvx {
namespace {

namespace fs = std::filesystem;

TEST(NameIdentityTest, NamesAreComparedByTheFolderAndTheFileTheyLeadTo) {
    char pattern[] = "/tmp/nvx-name-identity-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path top = pattern;
    fs::create_directories(top / "dir" / "sub");
    fs::create_directory_symlink(top / "dir", top / "linkdir");
    { std::ofstream(top / "dir" / "held") << "x"; }
    { std::ofstream(top / "dir" / "other") << "y"; }
    fs::create_hard_link(top / "dir" / "held", top / "hard");
    fs::create_symlink(top / "dir" / "held", top / "soft");
    const auto in = [&top](const std::string& name) { return (top / name).string(); };
    struct Case {
        std::string record;  // the record's path
        std::string other;
        bool same;
    };
    const Case cases[] = {
        {in("dir/new"), in("dir/./new"), true},
        {in("dir/new"), in("linkdir/new"), true},
        {in("linkdir/new"), in("dir/sub/../new"), true},
        {in("dir/new"), in("dir/newer"), false},
        {in("dir/new"), in("dir/sub/new"), false},
        {in("dir/held"), in("linkdir/held"), true},
        {in("dir/held"), in("hard"), true},
        {in("soft"), in("dir/held"), true},
        {in("dir/held"), in("dir/other"), false},
        {in("dir/held"), in("dir/sub/held"), false},
        {in("dir/new"), "", false},
    };
    for (const Case& c : cases) {
        const OutputTarget target = ResolveOutputTarget(c.record);
        ASSERT_TRUE(target.Publishable()) << c.record << ": " << target.refusal;
        EXPECT_EQ(NamesTargetFile(target, c.other), c.same) << c.record << " / " << c.other;
    }

    struct Within {
        std::string record;
        std::string folder;
        bool inside;
    };
    const Within withins[] = {
        {in("dir/r.json"), in("dir"), true},         {in("dir/sub/r.json"), in("linkdir"), true},
        {in("linkdir/sub/r.json"), in("dir"), true}, {in("dir/r.json"), in("dir/sub"), false},
        {in("dir/r.json"), in("hard"), false},       {in("dir/r.json"), in("gone"), false},
    };
    for (const Within& w : withins) {
        const OutputTarget target = ResolveOutputTarget(w.record);
        ASSERT_TRUE(target.Publishable()) << w.record << ": " << target.refusal;
        EXPECT_EQ(TargetWithinFolder(target, w.folder), w.inside) << w.record << " in " << w.folder;
    }
    fs::remove_all(top);
}

}  // namespace
}  // namespace nvx
