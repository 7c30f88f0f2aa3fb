/*
 * fake_slide_lib.cpp - a stand-in slide library for the converter's tests.
 *
 * Built as its own libNvxSlideLib.so and put in front of the real one with
 * LD_LIBRARY_PATH. It serves generated pixels of a slide whose header the
 * test chooses, fails the calls the test names, and logs every call so a
 * test can see what the converter asked for and what it gave back.
 *
 * Environment:
 *   NVXFAKE_WIDTH, NVXFAKE_HEIGHT, NVXFAKE_MAG, NVXFAKE_MPP, NVXFAKE_TILE
 *       the header (2000, 1500, 40, 0, 256)
 *   NVXFAKE_FAIL=open,query,close,tile,region,preview,label
 *       those calls report no and yield nothing (for the pictures: the
 *       slide has none)
 *   NVXFAKE_DAMAGED=preview,label
 *       the slide has those pictures, but they cannot be read
 *   NVXFAKE_LABEL_FILE, NVXFAKE_PREVIEW_FILE=path
 *       the picture is that file's bytes, its size read from its header
 *   NVXFAKE_FAIL_FETCH=N       the N-th tile or region fetch yields nothing
 *   NVXFAKE_OUT_OF_MEMORY=N|jpeg
 *                              the N-th tile or region fetch (or every JPEG
 *                              region: the thumbnail) yields nothing, and
 *                              NvxLastFetchFailure says the library ran out of memory
 *   NVXFAKE_CORRUPT=tile,region,preview,label
 *       those streams are not JPEG
 *   NVXFAKE_OVERSIZE=1         tile streams are (tile + 16) pixels square
 *   NVXFAKE_TILE_STREAM=420|progressive
 *                              tile streams with 4:2:0 chroma or progressive
 *                              (baseline 4:4:4 otherwise, as nvxmake stores)
 *   NVXFAKE_TABLELESS=dqt|dht  tile streams but those of the first column leave
 *                              out their DQT (or DHT) segments: they lean on
 *                              the tables of streams read before them
 *   NVXFAKE_TILE_FILE=path     every tile stream is that file's bytes
 *   NVXFAKE_REPORTED_SIZE=WxH  the size reported with the label and preview,
 *                              whatever their streams hold
 *   NVXFAKE_DIGEST=hex|refuse  the slide's content digest: those 32 bytes
 *                              (64 hex digits), or NVX_DIGEST_FAILED; by
 *                              default SHA-256 of "fake" and the header's values
 *   NVXFAKE_LOG=path           one line per call appended to path
 *   NVXFAKE_HOLD_RELEASE=ms    each release of a buffer takes that long, and
 *                              logs "releasing N" after "release": N releases
 *                              under way at once, this one included
 *   NVXFAKE_FETCH_WORK=ms      each tile and raw region fetch keeps its thread
 *                              busy for that much of the thread's own CPU
 *                              time, as a library's decode and resample do,
 *                              and logs "fetching N" after its call: N such
 *                              fetches under way at once, this one included
 *
 * Pixels: as fake_pixels.h defines them.
 * Entry points named in FAKE_OMIT_* at build time are left out entirely.
 */
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NvxSlideLib.h"
#include "common/sha256.h"
#include "tests/fake_slide_lib/fake_pixels.h"

namespace {

struct Settings {
    int width = 2000, height = 1500, magnification = 40, tile = 256;
    float mpp = 0.0f;
    std::string fail, corrupt, damaged, logPath, labelFile, previewFile;
    long failFetch = 0, outOfMemoryFetch = 0;
    bool oversize = false, outOfMemoryJpeg = false;
    std::string tileStream, tableless, tileFile;
    int reportedWidth = 0, reportedHeight = 0;  // 0: the stream's own size
    int holdReleaseMs = 0;
    int fetchWorkMs = 0;
    std::string digest;
};

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : fallback;
}

std::string EnvText(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

const Settings& GetSettings() {
    static const Settings settings = [] {
        Settings s;
        s.width = EnvInt("NVXFAKE_WIDTH", s.width);
        s.height = EnvInt("NVXFAKE_HEIGHT", s.height);
        s.magnification = EnvInt("NVXFAKE_MAG", s.magnification);
        s.tile = EnvInt("NVXFAKE_TILE", s.tile);
        s.mpp = float(std::atof(EnvText("NVXFAKE_MPP").c_str()));
        s.fail = "," + EnvText("NVXFAKE_FAIL") + ",";
        s.corrupt = "," + EnvText("NVXFAKE_CORRUPT") + ",";
        s.damaged = "," + EnvText("NVXFAKE_DAMAGED") + ",";
        s.labelFile = EnvText("NVXFAKE_LABEL_FILE");
        s.previewFile = EnvText("NVXFAKE_PREVIEW_FILE");
        s.logPath = EnvText("NVXFAKE_LOG");
        s.failFetch = EnvInt("NVXFAKE_FAIL_FETCH", 0);
        s.outOfMemoryFetch = EnvInt("NVXFAKE_OUT_OF_MEMORY", 0);
        s.outOfMemoryJpeg = EnvText("NVXFAKE_OUT_OF_MEMORY") == "jpeg";
        s.tableless = EnvText("NVXFAKE_TABLELESS");
        s.tileFile = EnvText("NVXFAKE_TILE_FILE");
        s.oversize = EnvInt("NVXFAKE_OVERSIZE", 0) != 0;
        s.tileStream = EnvText("NVXFAKE_TILE_STREAM");
        s.holdReleaseMs = EnvInt("NVXFAKE_HOLD_RELEASE", 0);
        s.fetchWorkMs = EnvInt("NVXFAKE_FETCH_WORK", 0);
        s.digest = EnvText("NVXFAKE_DIGEST");
        std::sscanf(EnvText("NVXFAKE_REPORTED_SIZE").c_str(), "%dx%d", &s.reportedWidth,
                    &s.reportedHeight);
        return s;
    }();
    return settings;
}

bool Listed(const std::string& list, const char* name) {
    return list.find("," + std::string(name) + ",") != std::string::npos;
}
bool Fails(const char* call) { return Listed(GetSettings().fail, call); }
bool Corrupt(const char* what) { return Listed(GetSettings().corrupt, what); }
bool Damaged(const char* what) { return Listed(GetSettings().damaged, what); }

std::mutex gLogMutex;
std::atomic<long> gOutstanding{0};
std::atomic<long> gFetches{0};
[[maybe_unused]] std::atomic<long> gReleasing{0};  // not in a fake without releases
[[maybe_unused]] std::atomic<long> gWorking{0};    // nor without fetches

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    const std::string& path = GetSettings().logPath;
    if (path.empty()) return;
    std::lock_guard<std::mutex> lock(gLogMutex);
    FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    std::fclose(file);
}

__attribute__((constructor)) void OnLoad() { Log("load"); }
__attribute__((destructor)) void OnUnload() { Log("unload outstanding=%ld", gOutstanding.load()); }

uint8_t* Hand(std::vector<uint8_t> bytes) {
    auto* buffer = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
    if (buffer == nullptr) return nullptr;
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    ++gOutstanding;
    return buffer;
}

std::vector<uint8_t> Render(float scale, int x, int y, int width, int height) {
    const Settings& s = GetSettings();
    return nvx::fake::RenderPixels({s.width, s.height, s.magnification}, scale, x, y, width,
                                   height);
}

std::vector<uint8_t> Jpeg(const std::vector<uint8_t>& rgb, int width, int height,
                          int subsampling = TJSAMP_444, int flags = 0) {
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    std::vector<uint8_t> stream;
    if (tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, subsampling, 90,
                    flags) == 0)
        stream.assign(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return stream;
}

std::vector<uint8_t> NotJpeg() { return std::vector<uint8_t>(64, 0x5a); }

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return bytes;
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(file);
    return bytes;
}

// The CPU time this thread has had, in nanoseconds; where there is no
// clock of a thread's own, the time gone by.
[[maybe_unused]] long long ThreadCpuNanoseconds() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0) {
        return now.tv_sec * 1000000000LL + now.tv_nsec;
    }
#endif
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// NVXFAKE_FETCH_WORK: a fetch's own work, in this thread's CPU time.
[[maybe_unused]] void WorkForFetch() {
    const int ms = GetSettings().fetchWorkMs;
    if (ms <= 0) return;
    Log("fetching %ld", ++gWorking);
    const long long end = ThreadCpuNanoseconds() + ms * 1000000LL;
    volatile unsigned sink = 0;
    while (ThreadCpuNanoseconds() < end) {
        for (unsigned i = 0; i < 10000; ++i) sink = sink * 31 + i;
    }
    --gWorking;
}

// Why this thread's last tile or region fetch yielded nothing.
thread_local int32_t tLastFetchFailure = NVX_FETCH_DELIVERED;

// Counts a tile or raw region fetch; true (with the reason noted) when it
// is the one to fail.
bool FetchFails() {
    const long number = ++gFetches;
    const Settings& s = GetSettings();
    if (s.outOfMemoryFetch != 0 && number == s.outOfMemoryFetch) {
        tLastFetchFailure = NVX_FETCH_OUT_OF_MEMORY;
        return true;
    }
    return s.failFetch != 0 && number == s.failFetch;
}

// The stream with every segment of `marker` before its first scan left out.
[[maybe_unused]] std::vector<uint8_t> WithoutSegments(const std::vector<uint8_t>& stream,
                                                      uint8_t marker) {
    std::vector<uint8_t> out(stream.begin(), stream.begin() + 2);
    size_t at = 2;
    while (at + 4 <= stream.size() && stream[at + 1] != 0xDA) {
        const size_t end = at + 2 + ((size_t{stream[at + 2]} << 8) | stream[at + 3]);
        if (stream[at + 1] != marker)
            out.insert(out.end(), stream.begin() + long(at), stream.begin() + long(end));
        at = end;
    }
    out.insert(out.end(), stream.begin() + long(at), stream.end());
    return out;
}

// A picture file's bytes and the size its JPEG header gives (0 x 0 when it
// has none); nothing when the file cannot be read.
std::vector<uint8_t> PictureFile(const std::string& path, int* width, int* height) {
    std::vector<uint8_t> bytes = FileBytes(path);
    if (bytes.empty()) return bytes;
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colorspace = 0;
    *width = *height = 0;
    tjDecompressHeader3(handle, bytes.data(), bytes.size(), width, height, &subsampling,
                        &colorspace);
    tjDestroy(handle);
    return bytes;
}

uint8_t Picture(const char* what, int width, int height, const std::string& file, uint8_t** buffer,
                int32_t* length, int32_t* outWidth, int32_t* outHeight) {
    Log("%s", what);
    if (Fails(what)) return NVX_PICTURE_NONE;
    if (Damaged(what)) return NVX_PICTURE_UNREADABLE;
    std::vector<uint8_t> stream;
    if (!file.empty()) {
        stream = PictureFile(file, &width, &height);
    } else {
        std::vector<uint8_t> rgb(size_t(width) * height * 3);
        for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t((i / 3) % 251);
        stream = Corrupt(what) ? NotJpeg() : Jpeg(rgb, width, height);
    }
    *length = int32_t(stream.size());
    const Settings& s = GetSettings();
    *outWidth = s.reportedWidth != 0 ? s.reportedWidth : width;
    *outHeight = s.reportedHeight != 0 ? s.reportedHeight : height;
    *buffer = Hand(std::move(stream));
    return *buffer != nullptr ? NVX_PICTURE_DELIVERED : NVX_PICTURE_UNREADABLE;
}

}  // namespace

extern "C" {

#ifndef FAKE_OMIT_NvxOpenSlide
NVX_API uint8_t NvxOpenSlide(NvxSlideHandle* slide, const char* path) {
    Log("open %s", path);
    if (Fails("open")) return 0;
    *slide = 7;
    return 1;
}
#endif

#ifndef FAKE_OMIT_NvxQuerySlide
NVX_API uint8_t NvxQuerySlide(NvxSlideHandle, int32_t* height, int32_t* width, int32_t* mag,
                              float* auxFloat, double* auxDouble, float* mpp, int32_t* tile) {
    Log("query");
    if (Fails("query")) return 0;
    const Settings& s = GetSettings();
    *height = s.height;
    *width = s.width;
    *mag = s.magnification;
    *auxFloat = 1.5f;
    *auxDouble = 2.5;
    *mpp = s.mpp;
    *tile = s.tile;
    return 1;
}
#endif

#ifndef FAKE_OMIT_NvxFetchTile
NVX_API uint8_t NvxFetchTile(NvxSlideHandle*, float scale, int32_t x, int32_t y, int32_t* length,
                             uint8_t** buffer) {
    Log("tile %g %d %d", double(scale), x, y);
    WorkForFetch();
    tLastFetchFailure = NVX_FETCH_UNREADABLE;
    if (Fails("tile") || FetchFails()) return 0;
    const Settings& s = GetSettings();
    const double factor = s.magnification / double(scale);
    const int levelWidth = int(s.width / factor), levelHeight = int(s.height / factor);
    if (x < 0 || y < 0 || x >= levelWidth || y >= levelHeight) return 0;
    int width = std::min(s.tile, levelWidth - x), height = std::min(s.tile, levelHeight - y);
    if (s.oversize) width = height = s.tile + 16;
    std::vector<uint8_t> stream =
        Corrupt("tile")       ? NotJpeg()
        : !s.tileFile.empty() ? FileBytes(s.tileFile)
                              : Jpeg(Render(scale, x, y, width, height), width, height,
                                     s.tileStream == "420" ? TJSAMP_420 : TJSAMP_444,
                                     s.tileStream == "progressive" ? TJFLAG_PROGRESSIVE : 0);
    if (x > 0 && !s.tableless.empty())
        stream = WithoutSegments(stream, s.tableless == "dqt" ? 0xDB : 0xC4);
    *length = int32_t(stream.size());
    *buffer = Hand(std::move(stream));
    if (*buffer != nullptr) tLastFetchFailure = NVX_FETCH_DELIVERED;
    return *buffer != nullptr;
}
#endif

#ifndef FAKE_OMIT_NvxFetchRegion
NVX_API uint8_t NvxFetchRegion(NvxSlideHandle, float scale, int32_t x, int32_t y, int32_t width,
                               int32_t height, uint8_t** buffer, int32_t* length, int32_t format) {
    Log("region %g %d %d %d %d %d", double(scale), x, y, width, height, format);
    if (format == NVX_FORMAT_RGB) WorkForFetch();
    tLastFetchFailure = NVX_FETCH_UNREADABLE;
    if (Fails("region") || (format == NVX_FORMAT_RGB && FetchFails())) return 0;
    if (format == NVX_FORMAT_JPEG && GetSettings().outOfMemoryJpeg) {
        tLastFetchFailure = NVX_FETCH_OUT_OF_MEMORY;
        return 0;
    }
    if (width <= 0 || height <= 0) return 0;
    std::vector<uint8_t> rgb = Render(scale, x, y, width, height);
    std::vector<uint8_t> bytes = format == NVX_FORMAT_RGB ? std::move(rgb)
                                 : Corrupt("region")      ? NotJpeg()
                                                          : Jpeg(rgb, width, height);
    *length = int32_t(bytes.size());
    *buffer = Hand(std::move(bytes));
    if (*buffer != nullptr) tLastFetchFailure = NVX_FETCH_DELIVERED;
    return *buffer != nullptr;
}
#endif

#ifndef FAKE_OMIT_NvxFetchPreview
NVX_API uint8_t NvxFetchPreview(NvxSlideHandle, uint8_t** buffer, int32_t* length, int32_t* width,
                                int32_t* height) {
    return Picture("preview", 1200, 400, GetSettings().previewFile, buffer, length, width, height);
}
#endif

#ifndef FAKE_OMIT_NvxFetchLabel
NVX_API uint8_t NvxFetchLabel(NvxSlideHandle, uint8_t** buffer, int32_t* length, int32_t* width,
                              int32_t* height) {
    return Picture("label", 600, 400, GetSettings().labelFile, buffer, length, width, height);
}
#endif

#ifndef FAKE_OMIT_NvxReleaseBuffer
NVX_API void NvxReleaseBuffer(uint8_t* buffer) {
    if (buffer == nullptr) return;
    Log("release");
    if (const int hold = GetSettings().holdReleaseMs; hold > 0) {
        Log("releasing %ld", ++gReleasing);
        std::this_thread::sleep_for(std::chrono::milliseconds(hold));
        --gReleasing;
    }
    --gOutstanding;
    std::free(buffer);
}
#endif

#ifndef FAKE_OMIT_NvxCloseSlide
NVX_API uint8_t NvxCloseSlide(NvxSlideHandle*) {
    Log("close");
    return Fails("close") ? 0 : 1;
}
#endif

NVX_API int32_t NvxLastFetchFailure(void) { return tLastFetchFailure; }

#ifndef FAKE_OMIT_NvxSlideDigest
NVX_API int32_t NvxSlideDigest(NvxSlideHandle, uint8_t* digest, int32_t capacity) {
    Log("digest");
    if (digest == nullptr || capacity < NVX_DIGEST_BYTES) return NVX_DIGEST_BAD_ARGUMENT;
    const Settings& s = GetSettings();
    if (s.digest == "refuse") return NVX_DIGEST_FAILED;
    if (!s.digest.empty()) {
        for (int i = 0; i < NVX_DIGEST_BYTES; ++i)
            digest[i] =
                uint8_t(std::strtoul(s.digest.substr(size_t(i) * 2, 2).c_str(), nullptr, 16));
        return NVX_DIGEST_DELIVERED;
    }
    // snprintf, not std::to_string: the latter's digit table is a unique
    // symbol, which would keep the fake loaded after dlclose.
    char text[128];
    std::snprintf(text, sizeof text, "fake %d %d %d %d %.9g", s.width, s.height, s.magnification,
                  s.tile, double(s.mpp));
    nvx::Sha256 hash;
    hash.Update(std::string_view(text));
    const auto value = hash.Finish();
    std::memcpy(digest, value.data(), value.size());
    return NVX_DIGEST_DELIVERED;
}
#endif

}  // extern "C"
