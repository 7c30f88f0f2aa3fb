/*
 * publishing_file_test.cpp - the publishing file: what the new file keeps
 * of the earlier one (mode, owner, ACL) and what a new file gets (the
 * umask's mode), names near the file system's limit and paths near
 * PATH_MAX, a temporary that is never opened through an existing name,
 * writes that go to the file made even when its name is swapped, a folder
 * swapped for a link while the file is made or written, what appears at
 * the output's name during the run, the removal of an unpublished
 * temporary, what an interruption finds at each step, and the sweep of
 * the temporaries that no live run holds.
 */
#include "common/publishing_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

// Every flock of this binary comes here first (linked with
// -Wl,--wrap=flock): a test can have something done just before a run
// locks its new temporary, once.
namespace {
std::function<void()> gBeforeNextLock;
}  // namespace
// NOLINTBEGIN(readability-identifier-naming): the linker's names.
extern "C" int __real_flock(int fd, int operation);
extern "C" int __wrap_flock(int fd, int operation) {
    if (gBeforeNextLock) {
        const std::function<void()> before = std::move(gBeforeNextLock);
        gBeforeNextLock = nullptr;
        before();
    }
    return __real_flock(fd, operation);
}
// NOLINTEND(readability-identifier-naming)

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

// While it is written, the temporary is readable by no one who could not
// read the earlier file (nor by more than the umask lets read a new one).
TEST_F(PublishingFileTest, ANewFileGetsTheUmasksModeAndAnEarlierFileKeepsItsOwn) {
    struct Case {
        mode_t umask;
        int earlierMode;  // -1: no earlier file
        mode_t whileWritten;
        mode_t expected;
    };
    const Case cases[] = {
        {022, -1, 0644, 0644},   {0277, -1, 0400, 0400}, {077, -1, 0600, 0600},
        {022, 0600, 0600, 0600}, {0, 0640, 0640, 0640},  {077, 0664, 0600, 0664},
    };
    for (const Case& c : cases) {
        const std::string path = In("out.svs");
        fs::remove(path);
        if (c.earlierMode >= 0) {
            std::ofstream(path) << "earlier";
            ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.earlierMode)), 0);
        }
        const mode_t before = umask(c.umask);
        std::string reason;
        const auto file = PublishingFile::Create(ResolveOutputTarget(path), &reason);
        umask(before);
        ASSERT_TRUE(file) << reason;
        ASSERT_TRUE(file->file().Write("new content", 11));
        struct stat st {};
        ASSERT_EQ(stat(file->temporaryPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.whileWritten)
            << std::oct << c.umask << " " << c.earlierMode;
        ASSERT_TRUE(file->Publish(&reason)) << reason;
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

// Another run's sweep may find a new temporary before its run has locked it,
// take its lock and remove it: the run then locks a file without a name. It
// looks at the name again once it holds the lock, and makes another.
TEST_F(PublishingFileTest, ATemporarySweptBeforeItsLockIsMadeAgain) {
    const std::string path = In("swept.svs");
    const OutputTarget target = ResolveOutputTarget(path);
    ASSERT_TRUE(target.Publishable()) << target.refusal;
    int swept = 0;
    gBeforeNextLock = [&] { swept = RemoveStaleTemporaries(target); };
    std::string reason;
    const auto file = PublishingFile::Create(target, &reason);
    ASSERT_TRUE(file) << reason;
    EXPECT_EQ(swept, 1);
    EXPECT_TRUE(fs::exists(file->temporaryPath()));
    ASSERT_TRUE(file->file().Write("new", 3));
    ASSERT_TRUE(file->Publish(&reason)) << reason;
    EXPECT_EQ(Content(path), "new");
    EXPECT_EQ(Names(), std::set<std::string>{"swept.svs"});
}

// A live run holds its temporary's lock wherever its process id is seen
// from (another PID namespace) and whatever the file's time says (a file
// server's clock); a file no run holds is stale, whatever its name's id.
TEST_F(PublishingFileTest, OnlyTheTemporariesThatNoLiveRunHoldsAreSwept) {
    const OutputTarget target = ResolveOutputTarget(In("out.svs"));
    ASSERT_TRUE(target.Publishable()) << target.refusal;
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);  // its id is now free
    const std::string host = HostTag();
    const std::string otherHost = host == "00000000" ? "11111111" : "00000000";
    const unsigned long gone = static_cast<unsigned long>(child);
    OutputTarget otherOutput = target;
    otherOutput.name = "other.svs";
    enum class Time { Now, LongAgo, Future };
    enum class Kind { File, LockedFile, Fifo, Link };
    struct Case {
        std::string name;
        bool stale;
        Kind kind = Kind::File;
        Time time = Time::Now;
    };
    const Case cases[] = {
        {TemporaryName(target, host, gone, 1), true},
        {TemporaryName(target, host, 1, 2), true, Kind::File, Time::Future},
        {TemporaryName(target, host, 1, 3), true, Kind::File, Time::LongAgo},
        {TemporaryName(target, host, getpid(), 4), true},
        // A live run whose id means another process here, or none.
        {TemporaryName(target, host, gone, 5), false, Kind::LockedFile},
        {TemporaryName(target, host, 1, 6), false, Kind::LockedFile, Time::LongAgo},
        {TemporaryName(target, host, 1, 7), false, Kind::LockedFile, Time::Future},
        {TemporaryName(target, otherHost, gone, 8), false},
        {TemporaryName(otherOutput, host, gone, 9), false},
        {TemporaryName(target, host, gone, 10), false, Kind::Fifo},
        {TemporaryName(target, host, gone, 11), false, Kind::Link},
        {".out.svs." + host + "." + std::to_string(gone) + ".0000000g.part", false},
        {".out.svs." + host + "." + std::to_string(gone) + ".00000007.part.kept", false},
    };
    std::ofstream(In("linked")) << "linked";
    std::vector<int> locks;
    for (const Case& c : cases) {
        const std::string path = In(c.name);
        if (c.kind == Kind::Fifo) {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else if (c.kind == Kind::Link) {
            fs::create_symlink(In("linked"), path);
        } else {
            std::ofstream(path) << "part";
        }
        if (c.kind == Kind::LockedFile) {
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(flock(fd, LOCK_EX), 0);
            locks.push_back(fd);
        }
        if (c.time != Time::Now) {
            const time_t when = c.time == Time::Future ? time(nullptr) + 3600 : 0;
            const timespec times[2] = {{when, 0}, {when, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        }
    }
    EXPECT_EQ(RemoveStaleTemporaries(target), 4);
    for (const int fd : locks) close(fd);
    for (const Case& c : cases) {
        EXPECT_EQ(fs::exists(fs::symlink_status(In(c.name))), !c.stale) << c.name;
    }
    EXPECT_EQ(Content(In("linked")), "linked");
}

// The folder swapped for a link to another (someone else's) folder after
// it was looked at: while the file is made, or after it was written, just
// before the rename. The file goes to the folder that was looked at, now
// under its new name; the other folder is not touched.
TEST_F(PublishingFileTest, TheFileGoesToTheFolderThatWasLookedAtWhateverItsPathLeadsTo) {
    struct Case {
        PublishStep swapBefore;
        bool earlier;
    };
    const Case cases[] = {{PublishStep::Create, false},
                          {PublishStep::Create, true},
                          {PublishStep::Rename, false},
                          {PublishStep::Rename, true}};
    for (const Case& c : cases) {
        const std::string label =
            std::string(c.swapBefore == PublishStep::Create ? "create" : "rename") +
            (c.earlier ? ", earlier file" : ", new file");
        fs::remove_all(In("mine"));
        fs::remove_all(In("moved"));
        fs::remove_all(In("theirs"));
        fs::create_directory(In("mine"));
        fs::create_directory(In("theirs"));
        std::ofstream(In("theirs/out.svs")) << "theirs";
        ASSERT_EQ(chmod(In("theirs/out.svs").c_str(), 0600), 0);
        if (c.earlier) {
            std::ofstream(In("mine/out.svs")) << "earlier";
            ASSERT_EQ(chmod(In("mine/out.svs").c_str(), 0644), 0);
        }
        const OutputTarget target = ResolveOutputTarget(In("mine/out.svs"));
        ASSERT_TRUE(target.Publishable()) << target.refusal;
        const PublishStepRunner swapping = [&](PublishStep step,
                                               const std::function<bool()>& perform) {
            if (step == c.swapBefore) {
                fs::rename(In("mine"), In("moved"));
                fs::create_directory_symlink(In("theirs"), In("mine"));
            }
            return perform();
        };
        std::string reason;
        {
            const auto file = PublishingFile::Create(target, &reason, swapping);
            ASSERT_TRUE(file) << label << ": " << reason;
            ASSERT_TRUE(file->file().Write("new", 3)) << label;
            ASSERT_TRUE(file->Publish(&reason)) << label << ": " << reason;
        }
        EXPECT_EQ(Content(In("theirs/out.svs")), "theirs") << label;
        struct stat theirs {};
        ASSERT_EQ(stat(In("theirs/out.svs").c_str(), &theirs), 0);
        EXPECT_EQ(theirs.st_mode & 07777, 0600u) << label;
        EXPECT_EQ(fs::directory_iterator(In("theirs"))->path().filename(), "out.svs") << label;
        EXPECT_EQ(std::distance(fs::directory_iterator(In("theirs")), fs::directory_iterator()), 1)
            << label;
        EXPECT_EQ(Content(In("moved/out.svs")), "new") << label;
        EXPECT_EQ(std::distance(fs::directory_iterator(In("moved")), fs::directory_iterator()), 1)
            << label;
        fs::remove(In("mine"));
    }
}

// Something put at the output's name while the run worked is looked at as
// the output path was at the start: only a regular file is replaced.
TEST_F(PublishingFileTest, WhatAppearsAtTheNameDuringTheRunIsReplacedOnlyWhenItIsAFile) {
    struct Case {
        const char* what;
        bool earlier;  // the run started over an earlier file
        std::function<void(const std::string&)> make;
        const char* refusal;  // null: replaced
    };
    const auto fifo = [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); };
    const auto folder = [](const std::string& path) { fs::create_directory(path); };
    const auto file = [](const std::string& path) { std::ofstream(path) << "another run's"; };
    const auto link = [this](const std::string& path) {
        std::ofstream(In("elsewhere")) << "elsewhere";
        fs::create_symlink(In("elsewhere"), path);
    };
    const Case cases[] = {
        {"a FIFO at a free name", false, fifo, "it is a FIFO, not a regular file"},
        {"a folder at a free name", false, folder, "it is a folder, not a regular file"},
        {"a link at a free name", false, link, "it is a symbolic link, not a regular file"},
        {"a FIFO for the earlier file", true, fifo, "it is a FIFO, not a regular file"},
        {"a file at a free name", false, file, nullptr},
        {"another file for the earlier one", true, file, nullptr},
    };
    for (const Case& c : cases) {
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        const std::string path = In("out.svs");
        if (c.earlier) std::ofstream(path) << "earlier";
        const PublishStepRunner appearing = [&](PublishStep step,
                                                const std::function<bool()>& perform) {
            if (step == PublishStep::Rename) {
                fs::remove(path);
                c.make(path);
            }
            return perform();
        };
        std::string reason;
        bool published = false;
        {
            const auto output =
                PublishingFile::Create(ResolveOutputTarget(path), &reason, appearing);
            ASSERT_TRUE(output) << c.what << ": " << reason;
            ASSERT_TRUE(output->file().Write("new", 3));
            published = output->Publish(&reason);
        }
        const auto kind = fs::symlink_status(path).type();
        if (c.refusal == nullptr) {
            EXPECT_TRUE(published) << c.what << ": " << reason;
            EXPECT_EQ(Content(path), "new") << c.what;
        } else {
            EXPECT_FALSE(published) << c.what;
            EXPECT_NE(reason.find(c.refusal), std::string::npos) << c.what << ": " << reason;
            EXPECT_NE(kind, fs::file_type::regular) << c.what;
        }
        std::set<std::string> expected = {"out.svs"};
        if (fs::exists(In("elsewhere"))) {
            expected.insert("elsewhere");
            EXPECT_EQ(Content(In("elsewhere")), "elsewhere") << c.what;
        }
        EXPECT_EQ(Names(), expected) << c.what;  // the temporary is gone either way
    }
}

// The temporary is made and renamed by its name in the held folder, so an
// output path that leaves no room for the temporary's whole path works.
TEST_F(PublishingFileTest, AnOutputPathNearPathMaxWorks) {
    std::string path = folder_.string();
    while (path.size() + 1 + 200 + 1 + 8 < 4091) {
        path += "/" + std::string(200, 'd');
        fs::create_directory(path);
    }
    path += "/" + std::string(4091 - path.size() - 1 - 4, 'n') + ".svs";
    ASSERT_EQ(path.size(), 4091u);
    Publish(path, "new content");
    EXPECT_EQ(Content(path), "new content");
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder_))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 1u);
}

// What a signal handler finds at each step: the temporary to remove while
// the file is written, and the output published once the rename is done.
TEST_F(PublishingFileTest, AnInterruptionTellsWhetherTheOutputWasPublished) {
    struct Case {
        PublishStep at;
        bool afterTheStep;
        bool published;  // what the handler says
    };
    const Case cases[] = {{PublishStep::Sync, false, false},
                          {PublishStep::Rename, false, false},
                          {PublishStep::Rename, true, true},
                          {PublishStep::SyncFolder, true, true}};
    for (const Case& c : cases) {
        const std::string path = In("out.svs");
        fs::remove(path);
        bool said = !c.published;
        std::set<std::string> namesThen;
        const PublishStepRunner interrupting = [&](PublishStep step,
                                                   const std::function<bool()>& perform) {
            const bool done = (step == c.at && c.afterTheStep) ? perform() : true;
            if (step == c.at) {
                said = RemoveTemporaryOnInterrupt();
                namesThen = Names();
            }
            return (step == c.at && c.afterTheStep) ? done : perform();
        };
        std::string reason;
        {
            const auto file =
                PublishingFile::Create(ResolveOutputTarget(path), &reason, interrupting);
            ASSERT_TRUE(file) << reason;
            file->Publish(&reason);
        }
        EXPECT_EQ(said, c.published) << int(c.at) << " " << c.afterTheStep;
        // Removed when not published; the output in place when it was.
        EXPECT_EQ(namesThen,
                  c.published ? std::set<std::string>{"out.svs"} : std::set<std::string>{})
            << int(c.at);
    }
}

}  // namespace
}  // namespace nvx
