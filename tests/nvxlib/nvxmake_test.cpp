/*
 * nvxmake_test.cpp - the authoring tool: deterministic output, the tile
 * sizes the converter uses, blank background stored once, JPEG sources,
 * --info, and failures that report, exit non-zero and leave no file.
 */
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include "nvxlib/slide_file.h"
#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;
namespace fs = std::filesystem;

std::string Scratch(const std::string& name) {
    fs::create_directories(NVX_TEST_SLIDES);
    return std::string(NVX_TEST_SLIDES) + "/" + name;
}

// Files left in the slides folder whose name starts with `prefix`, or
// hidden temporaries of it (".<prefix>...part").
int FilesStartingWith(const std::string& prefix) {
    int n = 0;
    for (const auto& e : fs::directory_iterator(NVX_TEST_SLIDES)) {
        const std::string name = e.path().filename().string();
        n += name.starts_with(prefix) || name.starts_with("." + prefix);
    }
    return n;
}

// Watches the slides folder for names made in it, from before the run that
// makes them starts.
class FolderWatch {
public:
    FolderWatch() : fd_(inotify_init1(IN_CLOEXEC)) {
        fs::create_directories(NVX_TEST_SLIDES);
        if (fd_ >= 0 && inotify_add_watch(fd_, NVX_TEST_SLIDES, IN_CREATE) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~FolderWatch() {
        if (fd_ >= 0) close(fd_);
    }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Waits until a temporary of `output` is made; false when none is
    // within a generous two minutes.
    bool WaitForTemporaryOf(const std::string& output) {
        alignas(inotify_event) char events[4096];
        while (fd_ >= 0) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 120000) != 1) return false;
            const ssize_t length = read(fd_, events, sizeof events);
            if (length <= 0) return false;
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                const std::string name = event->len > 0 ? event->name : "";
                if (name.starts_with("." + output + ".") && name.ends_with(".part")) return true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return false;
    }

private:
    int fd_;
};

std::string Output(const std::string& args) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(
        popen((std::string(NVXMAKE_PATH) + " " + args + " 2>&1").c_str(), "r"), pclose);
    char buf[4096];
    size_t n = 0;
    while (p && (n = fread(buf, 1, sizeof buf, p.get())) > 0) out.append(buf, n);
    return out;
}

TEST(Nvxmake, SameOptionsGiveTheSameBytes) {
    const std::string a = Scratch("det-a.nvx"), b = Scratch("det-b.nvx"), c = Scratch("det-c.nvx");
    ASSERT_EQ(RunNvxmake("--synthetic 2500x1800 --threads 2 " + a), 0);
    ASSERT_EQ(RunNvxmake("--synthetic 2500x1800 --threads 1 " + b), 0);
    ASSERT_EQ(RunNvxmake("--synthetic 2500x1800 --seed 2 " + c), 0);
    EXPECT_EQ(ReadFile(a), ReadFile(b));
    EXPECT_NE(ReadFile(a), ReadFile(c));
}

TEST(Nvxmake, TileSizesOfTheConverterWork) {
    for (int tile : {240, 512}) {
        const std::string path = Slide("tile-" + std::to_string(tile) + ".nvx",
                                       "--synthetic 3000x2000 --tile " + std::to_string(tile));
        OpenSlide s(path);
        ASSERT_TRUE(s.ok()) << tile;
        int32_t t = 0;
        ASSERT_TRUE(
            NvxQuerySlide(s.handle(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &t));
        EXPECT_EQ(t, tile);
        // The bottom-right tile of level 0 and its size.
        const int32_t x = (2999 / tile) * tile, y = (1999 / tile) * tile;
        Fetched f = FetchTile(s.handle(), 40.0f, x, y);
        const Image img = Decode(f.data.get(), size_t(f.length));
        EXPECT_EQ(img.width, 3000 - x);
        EXPECT_EQ(img.height, 2000 - y);
    }
}

TEST(Nvxmake, BlankBackgroundIsStoredOnce) {
    const std::string path = Slide("wide.nvx", "--synthetic 24000x16000");
    auto file = nvx::SlideFile::Open(path.c_str());
    ASSERT_TRUE(file);
    const auto& level0 = file->levels()[0].tiles;
    std::set<uint64_t> distinct;
    for (const auto& e : level0) distinct.insert(e.offset);
    // About a tenth of the area is tissue; tiles touching it stay well under half.
    EXPECT_LT(distinct.size(), level0.size() * 2 / 5);
    EXPECT_GT(distinct.size(), level0.size() / 50);  // and there is tissue
    EXPECT_LT(fs::file_size(path), 100u << 20);
}

TEST(Nvxmake, JpegPictureBecomesASlide) {
    OpenSlide src(SyntheticSlide());
    ASSERT_TRUE(src.ok());
    Fetched jpeg = FetchRegion(src.handle(), 40.0f, 1800, 900, 700, 450, 1);
    ASSERT_TRUE(jpeg.data);
    const std::string pic = Scratch("picture.jpg");
    WriteFile(pic, jpeg.Bytes());
    const std::string path = Slide("from-jpeg.nvx", "--from " + pic + " --mag 10 --tile 240");
    OpenSlide s(path);
    ASSERT_TRUE(s.ok());
    int32_t w = 0, h = 0, mag = 0;
    ASSERT_TRUE(NvxQuerySlide(s.handle(), &h, &w, &mag, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(w, 700);
    EXPECT_EQ(h, 450);
    EXPECT_EQ(mag, 10);
    const Image want = Decode(jpeg.data.get(), size_t(jpeg.length));
    Fetched got = FetchRegion(s.handle(), 10.0f, 0, 0, 700, 450, 0);
    ASSERT_TRUE(got.data);
    EXPECT_LT(MeanAbsDiff(got.data.get(), want.rgb.data(), want.rgb.size()), 2.0);
}

// A copy of the scan whose image description says `from` is `to`.
std::string EditedScan(const std::string& name, const std::string& from, const std::string& to) {
    const std::string path = CopyOf(CmuSource(), name);
    std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpen(path.c_str(), "r+"), TIFFClose);
    if (!tif) return {};
    char* text = nullptr;
    if (TIFFGetField(tif.get(), TIFFTAG_IMAGEDESCRIPTION, &text) != 1) return {};
    std::string description(text);
    const size_t at = description.find(from);
    if (at == std::string::npos) return {};
    description.replace(at, from.size(), to);
    if (TIFFSetField(tif.get(), TIFFTAG_IMAGEDESCRIPTION, description.c_str()) != 1 ||
        TIFFRewriteDirectory(tif.get()) != 1)
        return {};
    return path;
}

// A source's microns per pixel beyond what a 32-bit float holds is unknown,
// not infinity, which no reader accepts.
TEST(Nvxmake, SourceMicronsPerPixelBeyondFloatIsUnknown) {
    const std::string source = EditedScan("huge-mpp.svs", "MPP = 0.4990", "MPP = 1e40");
    ASSERT_FALSE(source.empty());
    const std::string out = Scratch("huge-mpp.nvx");
    ASSERT_EQ(RunNvxmake("--from " + source + " " + out), 0);
    OpenSlide s(out);
    ASSERT_TRUE(s.ok());
    float mpp = -1;
    ASSERT_TRUE(
        NvxQuerySlide(s.handle(), nullptr, nullptr, nullptr, nullptr, nullptr, &mpp, nullptr));
    EXPECT_EQ(mpp, 0.0f);
    EXPECT_NE(Output("--info " + out).find("microns per pixel: 0"), std::string::npos);
}

TEST(Nvxmake, InfoPrintsHeaderLevelsAndPictures) {
    const std::string text = Output("--info " + SyntheticSlide());
    EXPECT_NE(text.find("size: 6000 x 4000"), std::string::npos) << text;
    EXPECT_NE(text.find("tile size: 256"), std::string::npos);
    EXPECT_NE(text.find("level 5: 187 x 125"), std::string::npos);
    EXPECT_NE(text.find("label: 600 x 600"), std::string::npos);
    EXPECT_NE(text.find("preview: 1500 x 500"), std::string::npos);
}

TEST(Nvxmake, BadInputFailsAndLeavesNoFile) {
    const std::string out = Scratch("fail.nvx");
    EXPECT_EQ(RunNvxmake("--from /no/such/slide.svs " + out), 1);
    const std::string text = Scratch("not-a-slide.txt");
    WriteFile(text, {'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(RunNvxmake("--from " + text + " " + out), 1);
    EXPECT_EQ(RunNvxmake("--synthetic 500x400 --label " + text + " " + out), 1);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(FilesStartingWith("fail.nvx"), 0);  // no temporary file either

    EXPECT_EQ(RunNvxmake("--synthetic 0x400 " + out), 2);
    EXPECT_EQ(RunNvxmake("--synthetic 500x400 --tile 255 " + out), 2);
    // Even, but no TIFF can hold such tiles: no slide the converter cannot convert.
    EXPECT_EQ(RunNvxmake("--synthetic 500x400 --tile 200 " + out), 2);
    EXPECT_EQ(RunNvxmake("--synthetic 500x400 --tile 136 " + out), 2);
    EXPECT_EQ(RunNvxmake("--synthetic 500x400 --quality 0 " + out), 2);
    EXPECT_EQ(RunNvxmake("--synthetic 500x400 --frobnicate " + out), 2);
    EXPECT_EQ(RunNvxmake("--synthetic 500x400"), 2);
    EXPECT_EQ(RunNvxmake("--info " + text), 1);
    EXPECT_NE(Output("--from /no/such/slide.svs " + out).find("nvxmake:"), std::string::npos);
    EXPECT_NE(Output("--help").find("--synthetic WIDTHxHEIGHT"), std::string::npos);
}

// A given picture whose header is whole but whose data is cut short would be
// stored as a label or preview that no reader can decode.
TEST(Nvxmake, TruncatedGivenPictureFailsAndLeavesNoFile) {
    OpenSlide src(SyntheticSlide());
    ASSERT_TRUE(src.ok());
    Fetched jpeg = FetchRegion(src.handle(), 40.0f, 2000, 1000, 320, 200, 1);
    ASSERT_TRUE(jpeg.data);
    std::vector<uint8_t> bytes = jpeg.Bytes();
    bytes.resize(bytes.size() / 2);
    const std::string cut = Scratch("cut-picture.jpg");
    WriteFile(cut, bytes);
    const std::string out = Scratch("cut-picture.nvx");
    fs::remove(out);
    EXPECT_EQ(RunNvxmake("--synthetic 500x400 --label " + cut + " " + out), 1);
    EXPECT_EQ(RunNvxmake("--synthetic 500x400 --preview " + cut + " " + out), 1);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(FilesStartingWith("cut-picture.nvx"), 0);
}

// Runs nvxmake --synthetic SIZE OUT with files limited to `bytes`. With
// SIGXFSZ ignored, writes past the limit fail with EFBIG as on a full disk;
// otherwise the signal ends the run. Returns the exit status, or 1000 plus
// the signal that killed it.
int RunWithFileLimit(const std::string& size, const std::string& out, rlim_t bytes,
                     bool ignoreSignal = true) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::freopen("/dev/null", "w", stderr);
        std::signal(SIGXFSZ, ignoreSignal ? SIG_IGN : SIG_DFL);
        const rlimit limit{bytes, bytes};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        execl(NVXMAKE_PATH, NVXMAKE_PATH, "--synthetic", size.c_str(), out.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Nvxmake, FullDiskFailsAndLeavesNoFile) {
    const std::string out = Scratch("full-disk.nvx");
    EXPECT_EQ(RunWithFileLimit("500x400", out, 0), 1);  // not even the header fits
    EXPECT_EQ(FilesStartingWith("full-disk.nvx"), 0);
    EXPECT_EQ(RunWithFileLimit("3000x3000", out, 20000), 1);  // stops among the tiles
    EXPECT_EQ(FilesStartingWith("full-disk.nvx"), 0);
}

// nvxmake ignores the file size limit's own signal even where the caller
// left it at its default, as the converter does: the write fails, and the
// run with it, like a full disk; no temporary file stays behind.
TEST(Nvxmake, FileSizeLimitFailsLikeAFullDisk) {
    const std::string out = Scratch("size-limit.nvx");
    EXPECT_EQ(RunWithFileLimit("3000x3000", out, 20000, false), 1);
    EXPECT_EQ(FilesStartingWith("size-limit.nvx"), 0);
}

TEST(Nvxmake, FailedRunKeepsTheEarlierFile) {
    const std::string out = Scratch("keep.nvx");
    ASSERT_EQ(RunNvxmake("--synthetic 600x500 " + out), 0);
    const auto before = ReadFile(out);
    EXPECT_EQ(RunNvxmake("--from /no/such/slide.svs " + out), 1);
    EXPECT_EQ(ReadFile(out), before);
}

// Never one of its inputs, by any name: the scan would be replaced.
TEST(Nvxmake, AnOutputThatIsAnInputIsRefused) {
    const std::string scan = CopyOf(CmuSource(), "own-source.svs");
    const std::string alias = Scratch("alias-of-source.svs");
    fs::remove(alias);
    fs::create_symlink(scan, alias);
    const auto before = ReadFile(scan);
    for (const std::string& out : {scan, alias, Scratch(".") + "/own-source.svs"}) {
        const std::string said = Output("--from " + scan + " " + out);
        EXPECT_NE(said.find("is the input " + scan + "; refusing to overwrite it"),
                  std::string::npos)
            << said;
        EXPECT_EQ(RunNvxmake("--from " + scan + " " + out), 1);
        const std::string picture = Output("--synthetic 600x500 --label " + scan + " " + out);
        EXPECT_NE(picture.find("refusing to overwrite it"), std::string::npos) << picture;
    }
    EXPECT_EQ(ReadFile(scan), before);
}

// The slide gets the mode the umask gives, as any new file does.
TEST(Nvxmake, AnOutputsModeFollowsTheUmask) {
    const std::string out = Scratch("umask.nvx");
    for (const auto& [mask, mode] : {std::pair{"022", 0644u}, {"077", 0600u}, {"277", 0400u}}) {
        fs::remove(out);
        const std::string command = std::string("umask ") + mask + " && " + NVXMAKE_PATH +
                                    " --synthetic 600x500 " + out + " 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << mask;
        EXPECT_EQ(static_cast<unsigned>(fs::status(out).permissions()), mode) << mask;
    }
    fs::remove(out);
}

// Every signal that ends a run removes the temporary file, and the run ends
// as the signal's own (a shell shows 128 + n), as the converter's do. The
// signal comes as soon as the temporary is made: before the run could
// register it for removal, it waits.
TEST(Nvxmake, InterruptedRunLeavesNoFile) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXCPU, SIGUSR1}) {
        const std::string out = Scratch("interrupted.nvx");
        FolderWatch watch;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::freopen("/dev/null", "w", stderr);
            const rlimit noCore{0, 0};  // SIGQUIT's default dumps core
            setrlimit(RLIMIT_CORE, &noCore);
            execl(NVXMAKE_PATH, NVXMAKE_PATH, "--synthetic", "100000x100000", "--threads", "1",
                  out.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Interrupt once the temporary file exists (a run this size takes a minute).
        const bool started = watch.WaitForTemporaryOf("interrupted.nvx");
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(started) << strsignal(signal);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << strsignal(signal);
        EXPECT_EQ(FilesStartingWith("interrupted.nvx"), 0) << strsignal(signal);
    }
}

// Under nohup (SIGHUP ignored) a hangup must not end the run.
TEST(Nvxmake, IgnoredHangupIsRespected) {
    const std::string out = Scratch("nohup.nvx");
    fs::remove(out);
    FolderWatch watch;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::freopen("/dev/null", "w", stderr);
        std::signal(SIGHUP, SIG_IGN);
        execl(NVXMAKE_PATH, NVXMAKE_PATH, "--synthetic", "12000x12000", "--threads", "1",
              out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const bool started = watch.WaitForTemporaryOf("nohup.nvx");
    kill(pid, SIGHUP);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(started);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(OpenSlide(out).ok());
}

}  // namespace
