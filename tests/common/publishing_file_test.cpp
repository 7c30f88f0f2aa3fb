/*
 * publishing_file_test.cpp - the publishing file: what the new file keeps
 * of the earlier one (mode, owner, ACL) and what a new file gets (the
 * umask's mode), names near the file system's limit, a temporary that is
 * never opened through an existing name, writes that go to the file made
 * even when its name is swapped, the removal of an unpublished temporary,
 * and the sweep of the temporaries of runs that are gone.
 */
#include "common/publishing_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace nvx {
namespace {

namespace fs = std::filesystem;

std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class PublishingFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nvx-publishing-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string In(const std::string& name) const { return (folder_ / name).string(); }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_))
            names.insert(entry.path().filename().string());
        return names;
    }
    // Writes `text` to `path` through a publishing file and publishes it.
    static void Publish(const std::string& path, const std::string& text) {
        std::string reason;
        const auto file = PublishingFile::Create(ResolveOutputTarget(path), &reason);
        ASSERT_TRUE(file) << reason;
        ASSERT_TRUE(file->file().Write(text.data(), text.size()));
        ASSERT_TRUE(file->Publish(&reason)) << reason;
    }

    fs::path folder_;
};

TEST_F(PublishingFileTest, ANewFileGetsTheUmasksModeAndAnEarlierFileKeepsItsOwn) {
    struct Case {
        mode_t umask;
        int earlierMode;  // -1: no earlier file
        mode_t expected;
    };
    const Case cases[] = {
        {022, -1, 0644},   {0277, -1, 0400}, {077, -1, 0600},
        {022, 0600, 0600}, {0, 0640, 0640},  {077, 0664, 0664},
    };
    for (const Case& c : cases) {
        const std::string path = In("out.svs");
        fs::remove(path);
        if (c.earlierMode >= 0) {
            std::ofstream(path) << "earlier";
            ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.earlierMode)), 0);
        }
        const mode_t before = umask(c.umask);
        Publish(path, "new content");
        umask(before);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected) << std::oct << c.umask << " " << c.earlierMode;
        EXPECT_EQ(Content(path), "new content");
        EXPECT_EQ(Names(), std::set<std::string>{"out.svs"});
    }
}

TEST_F(PublishingFileTest, AnEarlierFileKeepsItsOwnerAndGroup) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to give a file to another user";
    const std::string path = In("theirs.svs");
    std::ofstream(path) << "earlier";
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    Publish(path, "new content");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(PublishingFileTest, AnEarlierFileKeepsItsAccessControlList) {
    const std::string path = In("shared.svs");
    std::ofstream(path) << "earlier";
    const std::string command = "setfacl -m u:65534:rw '" + path + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0) {
        GTEST_SKIP() << "setfacl (Debian package acl) missing, or no ACLs on this file system";
    }
    char before[256];
    const ssize_t size = getxattr(path.c_str(), "system.posix_acl_access", before, sizeof before);
    ASSERT_GT(size, 0);
    Publish(path, "new content");
    char after[256];
    ASSERT_EQ(getxattr(path.c_str(), "system.posix_acl_access", after, sizeof after), size);
    EXPECT_TRUE(std::equal(before, before + size, after));
}

TEST_F(PublishingFileTest, NamesUpToTheFileSystemsLimitWork) {
    // 250 bytes of ASCII, and 83 three-byte characters (249 bytes): the
    // temporary's name is cut, never between the bytes of a character.
    std::string chinese;
    for (int k = 0; k < 83; ++k) chinese += "\xe5\x9b\xbe";  // 图
    for (const std::string& name : {std::string(246, 'n') + ".svs", chinese}) {
        const OutputTarget target = ResolveOutputTarget(In(name));
        ASSERT_TRUE(target.Publishable()) << target.refusal;
        const std::string temporary = TemporaryName(target, HostTag(), 4294967295ul, 0xffffffffu);
        EXPECT_LE(temporary.size(), target.nameLimit);
        const std::size_t part = temporary.size() - 35;  // the output's share of it
        EXPECT_EQ(temporary.substr(1, part), name.substr(0, part));
        EXPECT_NE(static_cast<unsigned char>(name[part]) & 0xC0, 0x80) << "cut inside a character";
        Publish(In(name), "new content");
        EXPECT_EQ(Content(In(name)), "new content");
        fs::remove(In(name));
        EXPECT_TRUE(Names().empty());
    }
}

TEST_F(PublishingFileTest, TheFileIsNeverOpenedThroughAnExistingNameOrLink) {
    std::ofstream(In("victim")) << "victim";
    fs::create_symlink(In("victim"), In("link"));
    for (const char* name : {"link", "victim"}) {
        WritableFile file;
        std::string why;
        bool exists = false;
        EXPECT_FALSE(file.CreateNew(In(name), &why, &exists));
        EXPECT_TRUE(exists) << why;
    }
    EXPECT_EQ(Content(In("victim")), "victim");
}

TEST_F(PublishingFileTest, WritesGoToTheFileMadeWhateverIsPutUnderItsName) {
    std::ofstream(In("victim")) << "victim";
    std::string reason;
    const auto file = PublishingFile::Create(ResolveOutputTarget(In("out.svs")), &reason);
    ASSERT_TRUE(file) << reason;
    // Someone who may write the folder swaps the name for a link.
    fs::rename(file->temporaryPath(), In("moved-away"));
    fs::create_symlink(In("victim"), file->temporaryPath());
    const std::string text = "written through the descriptor";
    ASSERT_TRUE(file->file().Write(text.data(), text.size()));
    std::string why;
    ASSERT_TRUE(file->file().Sync(&why)) << why;
    EXPECT_EQ(Content(In("victim")), "victim");
    EXPECT_EQ(Content(In("moved-away")), text);
}

TEST_F(PublishingFileTest, AnUnpublishedFileLeavesTheTargetAsItWas) {
    std::ofstream(In("out.svs")) << "earlier";
    {
        std::string reason;
        const auto file = PublishingFile::Create(ResolveOutputTarget(In("out.svs")), &reason);
        ASSERT_TRUE(file) << reason;
        ASSERT_TRUE(file->file().Write("x", 1));
        EXPECT_EQ(Names().size(), 2u);
    }
    EXPECT_EQ(Content(In("out.svs")), "earlier");
    EXPECT_EQ(Names(), std::set<std::string>{"out.svs"});
}

TEST_F(PublishingFileTest, OnlyTheTemporariesOfRunsThatAreGoneAreSwept) {
    const OutputTarget target = ResolveOutputTarget(In("out.svs"));
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);  // its id is now free
    const std::string host = HostTag();
    const std::string otherHost = host == "00000000" ? "11111111" : "00000000";
    const unsigned long gone = static_cast<unsigned long>(child);
    OutputTarget otherOutput = target;
    otherOutput.name = "other.svs";
    struct Case {
        std::string name;
        bool stale;
        bool writtenLongAgo = false;
    };
    const Case cases[] = {
        {TemporaryName(target, host, gone, 1), true},
        // Process 1 lives, but started long after this file was written.
        {TemporaryName(target, host, 1, 2), true, true},
        {TemporaryName(target, host, 1, 3), false},  // process 1 may be writing it
        {TemporaryName(target, otherHost, gone, 4), false},
        {TemporaryName(otherOutput, host, gone, 5), false},
        {TemporaryName(target, host, getpid(), 6), false},
        {".out.svs." + host + "." + std::to_string(gone) + ".0000000g.part", false},
        {".out.svs." + host + "." + std::to_string(gone) + ".00000007.part.kept", false},
    };
    for (const Case& c : cases) {
        std::ofstream(In(c.name)) << "part";
        if (c.writtenLongAgo) {
            const timespec times[2] = {{0, 0}, {0, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, In(c.name).c_str(), times, 0), 0);
        }
    }
    EXPECT_EQ(RemoveStaleTemporaries(target), 2);
    for (const Case& c : cases) EXPECT_EQ(fs::exists(In(c.name)), !c.stale) << c.name;
}

}  // namespace
}  // namespace nvx
