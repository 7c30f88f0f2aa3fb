/*
 * output_target_test.cpp - what the output path's record says for every
 * kind of thing that can be at the path: nothing, files, links to files,
 * and what must never be replaced (folders, FIFOs, sockets, devices, links
 * to them, links to nothing, loops, a file mounted at the name), a sticky
 * folder holding another user's file; and NamesSameFile, the identity test
 * of two names.
 */
#include "common/output_target.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/native_file.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;

class OutputTargetTest : public ::testing::Test {
public:
    std::string In(const std::string& name) const { return (folder_ / name).string(); }

protected:
    void SetUp() override {
        char pattern[] = "/tmp/nvx-output-target-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        if (geteuid() != 0 && ::getuid() == 0) {
            ASSERT_EQ(seteuid(0), 0);
        }
        fs::remove_all(folder_);
    }
    void MakeFile(const std::string& name, const char* text = "earlier") const {
        std::ofstream(In(name)) << text;
    }

    fs::path folder_;
};

struct RefusedCase {
    const char* what;
    std::function<std::string(OutputTargetTest*)> make;  // gives the output path
    const char* because;                                 // in the refusal
    bool needsRoot = false;
};

TEST_F(OutputTargetTest, NothingButARegularFileIsEverReplaced) {
    const RefusedCase cases[] = {
        {"empty path", [](OutputTargetTest*) { return std::string(); }, "the output path is empty"},
        {"folder",
         [](OutputTargetTest* t) {
             fs::create_directory(t->In("folder.svs"));
             return t->In("folder.svs");
         },
         "it is a folder, not a regular file"},
        {"FIFO",
         [](OutputTargetTest* t) {
             EXPECT_EQ(mkfifo(t->In("fifo.svs").c_str(), 0644), 0);
             return t->In("fifo.svs");
         },
         "it is a FIFO, not a regular file"},
        {"socket",
         [](OutputTargetTest* t) {
             const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::strncpy(address.sun_path, t->In("socket.svs").c_str(),
                          sizeof address.sun_path - 1);
             EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             close(fd);
             return t->In("socket.svs");
         },
         "it is a socket, not a regular file"},
        {"link to a FIFO",
         [](OutputTargetTest* t) {
             EXPECT_EQ(mkfifo(t->In("fifo").c_str(), 0644), 0);
             fs::create_symlink(t->In("fifo"), t->In("link.svs"));
             return t->In("link.svs");
         },
         "it is a symbolic link to a FIFO, not to a regular file"},
        {"link to nothing",
         [](OutputTargetTest* t) {
             fs::create_symlink(t->In("gone"), t->In("dangling.svs"));
             return t->In("dangling.svs");
         },
         "it is a symbolic link to nothing"},
        {"loop of links",
         [](OutputTargetTest* t) {
             fs::create_symlink(t->In("b.svs"), t->In("a.svs"));
             fs::create_symlink(t->In("a.svs"), t->In("b.svs"));
             return t->In("a.svs");
         },
         "it is a loop of symbolic links"},
        {"folder that is not there", [](OutputTargetTest* t) { return t->In("missing/out.svs"); },
         "No such file or directory"},
        {"path ending in a slash", [](OutputTargetTest* t) { return t->In("new") + "/"; },
         "it names a folder, not a file"},
        {"character device",
         [](OutputTargetTest* t) {
             EXPECT_EQ(mknod(t->In("null.svs").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
             return t->In("null.svs");
         },
         "it is a character device, not a regular file", true},
        {"link to a device",
         [](OutputTargetTest* t) {
             EXPECT_EQ(mknod(t->In("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
             fs::create_symlink(t->In("null"), t->In("to-null.svs"));
             return t->In("to-null.svs");
         },
         "it is a symbolic link to a character device", true},
    };
    for (const RefusedCase& c : cases) {
        if (c.needsRoot && geteuid() != 0) {
            std::cout << "skipped (making a device node needs root): " << c.what << "\n";
            continue;
        }
        const std::string path = c.make(this);
        const OutputTarget target = ResolveOutputTarget(path);
        EXPECT_FALSE(target.Publishable()) << c.what;
        EXPECT_EQ(target.kind, OutputKind::Refused) << c.what;
        EXPECT_NE(target.refusal.find(c.because), std::string::npos)
            << c.what << ": " << target.refusal;
    }
}

TEST_F(OutputTargetTest, AFileOrNothingIsPublishedInItsOwnFolder) {
    const OutputTarget absent = ResolveOutputTarget(In("new.svs"));
    EXPECT_EQ(absent.kind, OutputKind::Absent);
    EXPECT_EQ(absent.target, In("new.svs"));
    EXPECT_EQ(absent.folder, folder_.string());
    EXPECT_EQ(absent.name, "new.svs");
    EXPECT_GE(absent.nameLimit, 255u);

    const OutputTarget relative = ResolveOutputTarget("bare-name.svs");
    EXPECT_EQ(relative.kind, OutputKind::Absent);
    EXPECT_EQ(relative.folder, ".");

    MakeFile("file.svs");
    ASSERT_EQ(chmod(In("file.svs").c_str(), 0640), 0);
    const OutputTarget file = ResolveOutputTarget(In("file.svs"));
    EXPECT_EQ(file.kind, OutputKind::RegularFile);
    EXPECT_EQ(file.earlier.mode, 0640u);
    EXPECT_EQ(file.earlier.owner, geteuid());
    EXPECT_EQ(file.earlier.links, 1u);

    fs::create_hard_link(In("file.svs"), In("second-name.svs"));
    EXPECT_EQ(ResolveOutputTarget(In("file.svs")).earlier.links, 2u);
}

TEST_F(OutputTargetTest, ALinkStaysAndTheFileItLeadsToIsTheTarget) {
    fs::create_directory(In("elsewhere"));
    MakeFile("elsewhere/real.svs");
    fs::create_symlink("elsewhere/real.svs", In("link.svs"));
    const OutputTarget target = ResolveOutputTarget(In("link.svs"));
    EXPECT_EQ(target.kind, OutputKind::RegularFile);
    EXPECT_EQ(target.given, In("link.svs"));
    EXPECT_EQ(target.target, fs::canonical(In("elsewhere/real.svs")).string());
    EXPECT_EQ(target.folder, fs::canonical(In("elsewhere")).string());
    EXPECT_EQ(target.name, "real.svs");
}

// As another user: root may replace anything, so root becomes nobody here.
TEST_F(OutputTargetTest, AFileThatCannotBeReplacedByUsIsRefusedBeforeAnyWork) {
    if (getuid() != 0) GTEST_SKIP() << "needs root, to leave files of two users in one folder";
    fs::create_directory(In("sticky"));
    ASSERT_EQ(chmod(In("sticky").c_str(), 01777), 0);
    ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);
    MakeFile("sticky/root.svs");
    ASSERT_EQ(chmod(In("sticky/root.svs").c_str(), 0666), 0);
    MakeFile("read-only.svs");
    ASSERT_EQ(chmod(In("read-only.svs").c_str(), 0444), 0);
    ASSERT_EQ(seteuid(65534), 0);
    const OutputTarget sticky = ResolveOutputTarget(In("sticky/root.svs"));
    const OutputTarget readOnly = ResolveOutputTarget(In("read-only.svs"));
    const OutputTarget ownFolder = ResolveOutputTarget(In("new.svs"));
    const OutputTarget newInSticky = ResolveOutputTarget(In("sticky/new.svs"));
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_NE(
        sticky.refusal.find("is sticky and " + In("sticky/root.svs") + " belongs to another user"),
        std::string::npos)
        << sticky.refusal;
    EXPECT_EQ(readOnly.refusal, "it is a file we may not write");
    EXPECT_NE(ownFolder.refusal.find("no file can be created in the folder"), std::string::npos)
        << ownFolder.refusal;
    EXPECT_TRUE(newInSticky.Publishable()) << newInSticky.refusal;
}

// A file mounted at the output's name (as `docker -v file:file` does) is
// refused before the work: a rename cannot replace it. From the same file
// system its device is the folder's, so only the system can tell.
TEST_F(OutputTargetTest, AFileMountedAtTheNameIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a file";
    struct Case {
        const char* what;
        std::string source;
    };
    MakeFile("source.svs", "mounted");
    const Case cases[] = {{"from the same file system", In("source.svs")},
                          {"from another file system", "/proc/version"}};
    for (const Case& c : cases) {
        MakeFile("mounted.svs");
        if (mount(c.source.c_str(), In("mounted.svs").c_str(), nullptr, MS_BIND, nullptr) != 0) {
            GTEST_SKIP() << "cannot bind-mount a file here: " << std::strerror(errno);
        }
        const OutputTarget target = ResolveOutputTarget(In("mounted.svs"));
        ASSERT_EQ(umount(In("mounted.svs").c_str()), 0);
        EXPECT_EQ(target.kind, OutputKind::Refused) << c.what;
        EXPECT_NE(target.refusal.find("it is a mount point"), std::string::npos)
            << c.what << ": " << target.refusal;
    }
}

TEST(NamesSameFileTest, ComparesFilesByIdentityAndMissingFilesBySpelling) {
    char pattern[] = "/tmp/nvx-same-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path folder = pattern;
    { std::ofstream(folder / "a") << "a"; }
    { std::ofstream(folder / "b") << "b"; }
    fs::create_hard_link(folder / "a", folder / "link");
    fs::create_symlink(folder / "a", folder / "symlink");
    EXPECT_TRUE(NamesSameFile((folder / "a").string(), (folder / "link").string()));
    EXPECT_TRUE(NamesSameFile((folder / "a").string(), (folder / "symlink").string()));
    EXPECT_TRUE(NamesSameFile((folder / "a").string(), (folder / "." / "a").string()));
    EXPECT_FALSE(NamesSameFile((folder / "a").string(), (folder / "b").string()));
    EXPECT_FALSE(NamesSameFile((folder / "a").string(), (folder / "new").string()));
    EXPECT_TRUE(NamesSameFile("gone.nvx", "gone.nvx"));
    EXPECT_FALSE(NamesSameFile("gone.nvx", "other.nvx"));
    fs::remove_all(folder);
}

}  // namespace
}  // namespace nvx
