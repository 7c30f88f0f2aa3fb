// The output folder: a new one, an earlier one of ours replaced whole,
// everything else refused and left as it was, no temporary left, the
// earlier folder's settings kept, stale temporaries swept and a signal's
// removal of the temporary.
#include "common/publishing_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/publishing_temporary.h"

namespace nvx {
namespace {

namespace fs = std::filesystem;

class PublishingFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        top_ = fs::temp_directory_path() /
               ("nvx-folder-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(top_);
        fs::create_directories(top_);
    }
    void TearDown() override { fs::remove_all(top_); }

    std::string Out() const { return (top_ / "out").string(); }

    // Builds a folder of `files` (name and content) for the path and
    // publishes it; false with the reason in `why`. `meanwhile` runs
    // between the look at the path and the publishing.
    bool Write(const std::vector<std::pair<std::string, std::string>>& files, std::string* why,
               const std::function<void()>& meanwhile = {}) {
        const OutputFolder target = ResolveOutputFolder(Out());
        std::unique_ptr<PublishingFolder> folder = PublishingFolder::Create(target, why);
        if (!folder) return false;
        for (const auto& [name, content] : files) {
            WritableFile* file = folder->CreateFile(name, why);
            if (file == nullptr || !file->Write(content.data(), content.size())) return false;
        }
        if (meanwhile) meanwhile();
        return folder->Publish(why) && folder->Warning().empty();
    }

    // The names in `folder`, sorted.
    static std::vector<std::string> Names(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string Read(const fs::path& path) {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    fs::path top_;
};

TEST_F(PublishingFolderTest, ANewFolderAndThenAnEarlierOneOfOursReplacedWhole) {
    std::string why;
    ASSERT_TRUE(Write({{"a.dcm", "first a"}, {"b.dcm", "first b"}}, &why)) << why;
    EXPECT_EQ(Names(top_), (std::vector<std::string>{"out"})) << "no temporary left";
    EXPECT_EQ(Names(top_ / "out"), (std::vector<std::string>{".nvx2svs-folder", "a.dcm", "b.dcm"}));
    EXPECT_EQ(Read(top_ / "out" / "a.dcm"), "first a");
    struct stat before {};
    ASSERT_EQ(::stat(Out().c_str(), &before), 0);

    // The second run's folder holds other files: none of the first's stay.
    ASSERT_TRUE(Write({{"c.dcm", "second c"}}, &why)) << why;
    EXPECT_EQ(Names(top_), (std::vector<std::string>{"out"})) << "the earlier folder is gone";
    EXPECT_EQ(Names(top_ / "out"), (std::vector<std::string>{".nvx2svs-folder", "c.dcm"}));
    EXPECT_EQ(Read(top_ / "out" / "c.dcm"), "second c");
    struct stat after {};
    ASSERT_EQ(::stat(Out().c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new folder, not the old one refilled";
}

TEST_F(PublishingFolderTest, RefusesWhatIsNotAnEarlierFolderOfOurs) {
    struct Row {
        const char* name;
        std::function<void(const fs::path&)> make;  // what is put at the path
        const char* reason;                         // a part of the refusal
    };
    const auto ours = [this](const fs::path&) {
        std::string why;
        ASSERT_TRUE(Write({{"a.dcm", "a"}}, &why)) << why;
    };
    const Row rows[] = {
        {"a regular file", [](const fs::path& p) { std::ofstream(p) << "mine"; },
         "exists and is not a folder"},
        {"someone's folder",
         [](const fs::path& p) {
             fs::create_directory(p);
             std::ofstream(p / "x") << "x";
         },
         "not an earlier output of ours"},
        {"an empty folder", [](const fs::path& p) { fs::create_directory(p); },
         "not an earlier output of ours"},
        {"ours with a file added",
         [&](const fs::path& p) {
             ours(p);
             std::ofstream(p / "notes.txt") << "mine";
         },
         "holds notes.txt, which is not of our output"},
        {"ours with a folder added",
         [&](const fs::path& p) {
             ours(p);
             fs::create_directory(p / "more");
         },
         "holds more, which is not of our output"},
        {"ours with a listed file made a link",
         [&](const fs::path& p) {
             ours(p);
             fs::remove(p / "a.dcm");
             fs::create_symlink("/etc/passwd", p / "a.dcm");
         },
         "holds a.dcm, which is not of our output"},
        {"a link to a folder of ours",
         [&](const fs::path& p) {
             ours(p);
             fs::rename(p, p.parent_path() / "real");
             fs::create_directory_symlink(p.parent_path() / "real", p);
         },
         "is a symbolic link"},
        {"a marker of someone else's",
         [](const fs::path& p) {
             fs::create_directory(p);
             std::ofstream(p / ".nvx2svs-folder") << "other\n";
         },
         "not an earlier output of ours"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        const fs::path out = Out();
        row.make(out);
        const auto before = Names(top_);
        const std::string content = fs::is_regular_file(out) ? Read(out) : "";
        const auto inside = fs::is_directory(out) ? Names(out) : std::vector<std::string>{};

        const OutputFolder target = ResolveOutputFolder(out.string());
        EXPECT_FALSE(target.Publishable());
        EXPECT_NE(target.refusal.find(row.reason), std::string::npos) << target.refusal;
        std::string why;
        EXPECT_FALSE(Write({{"new.dcm", "new"}}, &why));
        EXPECT_NE(why.find(row.reason), std::string::npos) << why;
        EXPECT_EQ(Names(top_), before) << "nothing made beside it";
        if (fs::is_regular_file(out)) {
            EXPECT_EQ(Read(out), content);
        }
        if (fs::is_directory(out)) {
            EXPECT_EQ(Names(out), inside);
        }
    }
}

TEST_F(PublishingFolderTest, WhatAppearsDuringTheWorkIsLookedAtAgain) {
    struct Row {
        const char* name;
        std::function<void()> meanwhile;
        bool published;
    };
    const fs::path out = Out();
    const Row rows[] = {
        {"a file of someone else's", [&] { std::ofstream(out) << "mine"; }, false},
        {"a folder of someone else's", [&] { fs::create_directory(out); }, false},
        {"an earlier folder of ours",
         [&] {
             std::string why;
             ASSERT_TRUE(Write({{"other.dcm", "other"}}, &why)) << why;
         },
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        std::string why;
        EXPECT_EQ(Write({{"a.dcm", "a"}}, &why, row.meanwhile), row.published) << why;
        EXPECT_EQ(Names(top_), (std::vector<std::string>{"out"})) << "no temporary left";
        if (row.published) {
            EXPECT_EQ(Names(out), (std::vector<std::string>{".nvx2svs-folder", "a.dcm"}));
        } else {
            EXPECT_NE(why.find("what is there now cannot be replaced"), std::string::npos) << why;
        }
    }
}

TEST_F(PublishingFolderTest, WorkNotPublishedLeavesNothingAndTheEarlierFolderAsItWas) {
    std::string why;
    ASSERT_TRUE(Write({{"a.dcm", "a"}}, &why)) << why;
    {
        std::unique_ptr<PublishingFolder> folder =
            PublishingFolder::Create(ResolveOutputFolder(Out()), &why);
        ASSERT_TRUE(folder) << why;
        ASSERT_NE(folder->CreateFile("b.dcm", &why), nullptr) << why;
        EXPECT_TRUE(fs::is_directory(folder->temporaryPath()));
        // Names that are not a plain file name of the folder's own.
        for (const std::string bad : {"", ".", "..", "x/y", ".nvx2svs-folder", "a\nb", "b.dcm"}) {
            EXPECT_EQ(folder->CreateFile(bad, &why), nullptr) << bad;
        }
    }
    EXPECT_EQ(Names(top_), (std::vector<std::string>{"out"}));
    EXPECT_EQ(Names(top_ / "out"), (std::vector<std::string>{".nvx2svs-folder", "a.dcm"}));
}

// What the earlier folder of ours had, the new one and its files keep: a
// private folder stays private, and a folder of another user's stays that
// user's (root's runs), so that the user can still remove it.
TEST_F(PublishingFolderTest, TheEarlierFoldersSettingsAreKept) {
    struct Row {
        const char* name;
        mode_t folderMode;
        mode_t fileMode;
        uid_t owner;     // given to the earlier folder and its files (root only)
        bool filesLeft;  // the earlier folder keeps its files (else only its marker)
    };
    const uid_t us = ::geteuid();
    const Row rows[] = {
        {"private", 0700, 0600, us, true},
        {"shared with the group", 0750, 0640, us, true},
        {"files' mode from the folder's, less x", 0750, 0640, us, false},
        {"another user's", 0700, 0600, 65534, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.owner != us && us != 0) {
            std::cerr << "skipped " << row.name << ": giving a folder to another user needs root\n";
            continue;
        }
        TearDown();
        SetUp();
        std::string why;
        ASSERT_TRUE(Write({{"a.dcm", "a"}}, &why)) << why;
        const fs::path out = Out();
        if (!row.filesLeft) {
            fs::remove(out / "a.dcm");
            std::ofstream(out / ".nvx2svs-folder") << "nvx2svs output folder\n";
        }
        for (const auto& entry : fs::directory_iterator(out)) {
            ASSERT_EQ(::chmod(entry.path().c_str(), row.fileMode), 0);
            ASSERT_EQ(::chown(entry.path().c_str(), row.owner, row.owner), 0);
        }
        ASSERT_EQ(::chmod(out.c_str(), row.folderMode), 0);
        ASSERT_EQ(::chown(out.c_str(), row.owner, row.owner), 0);

        ASSERT_TRUE(Write({{"b.dcm", "b"}, {"c.dcm", "c"}}, &why)) << why;
        EXPECT_EQ(Names(out), (std::vector<std::string>{".nvx2svs-folder", "b.dcm", "c.dcm"}));
        struct stat folder {};
        ASSERT_EQ(::stat(out.c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 07777, row.folderMode);
        EXPECT_EQ(folder.st_uid, row.owner);
        EXPECT_EQ(folder.st_gid, row.owner);
        for (const std::string name : {".nvx2svs-folder", "b.dcm", "c.dcm"}) {
            struct stat file {};
            ASSERT_EQ(::stat((out / name).c_str(), &file), 0);
            EXPECT_EQ(file.st_mode & 07777, row.fileMode) << name;
            EXPECT_EQ(file.st_uid, row.owner) << name;
            EXPECT_EQ(file.st_gid, row.owner) << name;
        }
    }
}

// A folder the umask makes, and one no earlier folder of ours decides.
TEST_F(PublishingFolderTest, ANewFolderHasTheUmasksMode) {
    struct Row {
        const char* name;
        std::function<void()> before;  // what is at the path before the run
        mode_t umask;
        mode_t folderMode;
        mode_t fileMode;
    };
    const Row rows[] = {
        // A folder we could not write in while it is built.
        {"nothing there", [] {}, 0227, 0550, 0440},
        {"an earlier folder replaced meanwhile",
         [this] {
             std::string why;
             ASSERT_TRUE(Write({{"a.dcm", "a"}}, &why)) << why;
             ASSERT_EQ(::chmod(Out().c_str(), 0700), 0);
         },
         027, 0750, 0640},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        row.before();
        const mode_t umask = ::umask(row.umask);
        std::string why;
        // The earlier folder (if any) goes before the rename: its 0700 is
        // not for the folder that replaces it.
        const bool written = Write({{"b.dcm", "b"}}, &why, [this] {
            if (!fs::exists(Out())) return;
            fs::rename(Out(), top_ / "kept");
            std::string inner;
            ASSERT_TRUE(Write({{"x.dcm", "x"}}, &inner)) << inner;
        });
        ::umask(umask);
        ASSERT_TRUE(written) << why;
        struct stat folder {};
        ASSERT_EQ(::stat(Out().c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 07777, row.folderMode);
        struct stat file {};
        ASSERT_EQ(::stat((top_ / "out" / "b.dcm").c_str(), &file), 0);
        EXPECT_EQ(file.st_mode & 07777, row.fileMode);
    }
}

// Temporary folders left by killed runs go with the next run; those of a
// live run (locked), of another host or of another output stay.
TEST_F(PublishingFolderTest, StaleTemporaryFoldersAreSwept) {
    const std::string host = HostTag();
    const std::string otherHost = host == "00000000" ? "11111111" : "00000000";
    struct Row {
        std::string name;
        bool stale;
        bool locked = false;
        bool file = false;  // a temporary file, as a TIFF run leaves it
    };
    const Row rows[] = {
        {TemporaryName("out", 255, host, 1, 1), true},
        {TemporaryName("out", 255, host, 2, 2), true, false, true},
        {TemporaryName("out", 255, host, 3, 3), false, true},
        {TemporaryName("out", 255, otherHost, 4, 4), false},
        {TemporaryName("other", 255, host, 5, 5), false},
    };
    std::vector<int> locks;
    for (const Row& row : rows) {
        const fs::path path = top_ / row.name;
        if (row.file) {
            std::ofstream(path) << "part";
        } else {
            fs::create_directory(path);
            std::ofstream(path / "level-0.dcm") << "patient";
        }
        if (row.locked) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::flock(fd, LOCK_EX), 0);
            locks.push_back(fd);
        }
    }
    std::string why;
    ASSERT_TRUE(Write({{"a.dcm", "a"}}, &why)) << why;
    for (const int fd : locks) ::close(fd);
    for (const Row& row : rows) {
        EXPECT_EQ(fs::exists(top_ / row.name), !row.stale) << row.name;
    }
    EXPECT_EQ(Names(top_ / "out"), (std::vector<std::string>{".nvx2svs-folder", "a.dcm"}));
}

// What a signal's handler does: while the folder is built it removes it
// with its files; once the folder is in place it says so and removes
// nothing.
TEST_F(PublishingFolderTest, AnInterruptionRemovesTheFolderBeingBuilt) {
    for (const bool earlier : {false, true}) {
        SCOPED_TRACE(earlier ? "over an earlier folder" : "a new folder");
        TearDown();
        SetUp();
        std::string why;
        if (earlier) {
            ASSERT_TRUE(Write({{"a.dcm", "a"}}, &why)) << why;
        }
        const auto before = Names(top_);
        {
            std::unique_ptr<PublishingFolder> folder =
                PublishingFolder::Create(ResolveOutputFolder(Out()), &why);
            ASSERT_TRUE(folder) << why;
            ASSERT_NE(folder->CreateFile("b.dcm", &why), nullptr) << why;
            ASSERT_NE(folder->CreateFile("c.dcm", &why), nullptr) << why;
            EXPECT_FALSE(RemoveTemporaryOnInterrupt());
            EXPECT_EQ(Names(top_), before) << "the temporary folder is gone";
        }
        EXPECT_EQ(Names(top_), before);
        ASSERT_TRUE(Write({{"d.dcm", "d"}}, &why)) << why;
        EXPECT_TRUE(RemoveTemporaryOnInterrupt());
        EXPECT_EQ(Names(top_ / "out"), (std::vector<std::string>{".nvx2svs-folder", "d.dcm"}));
    }
}

TEST_F(PublishingFolderTest, PathsThatNameNoFolder) {
    for (const std::string path : {"", "/", ".", "..", "x/.."}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(ResolveOutputFolder(path).Publishable());
    }
    EXPECT_TRUE(ResolveOutputFolder(Out() + "/").Publishable()) << "a trailing slash is fine";
    EXPECT_FALSE(ResolveOutputFolder((top_ / "none" / "out").string()).Publishable());
}

}  // namespace
}  // namespace nvx
