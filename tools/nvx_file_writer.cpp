/*
 * nvx_file_writer.cpp - the writing side of the nvx format. Streams are
 * appended with write(); a hash of each stream finds earlier equal streams,
 * which are compared byte for byte (read back from the file) before being
 * shared, so a hash collision can never alias two different tiles.
 */
#include "tools/nvx_file_writer.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nvxmake {
namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void PwriteAll(int fd, const void* data, size_t length, uint64_t offset, const std::string& what) {
    auto* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail(what);
        p += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
}

// The temporary file of the writer at work, removed if the user interrupts
// nvxmake (Ctrl-C, kill), when no destructor would run. Only async-signal-
// safe calls happen in the handler.
char interruptedTemp[4096];
volatile std::sig_atomic_t haveTemp = 0;

extern "C" void RemoveTempAndExit(int signal) {
    if (haveTemp) ::unlink(interruptedTemp);
    ::_exit(128 + signal);
}

// A signal the caller ignores (nohup ignores SIGHUP) stays ignored.
void CatchUnlessIgnored(int signal) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) return;
    std::signal(signal, RemoveTempAndExit);
}

void GuardTemp(const std::string& path) {
    if (path.size() >= sizeof interruptedTemp) return;
    std::memcpy(interruptedTemp, path.c_str(), path.size() + 1);
    haveTemp = 1;
    CatchUnlessIgnored(SIGINT);
    CatchUnlessIgnored(SIGTERM);
    CatchUnlessIgnored(SIGHUP);
    CatchUnlessIgnored(SIGXFSZ);  // a file size limit reached
}

void UnguardTemp() { haveTemp = 0; }

uint64_t HashOf(std::span<const uint8_t> bytes) {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

NvxFileWriter::NvxFileWriter(std::string target) : target_(std::move(target)) {
    std::string pattern = target_ + ".tmp.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = nvx::FileDescriptor(::mkstemp(name.data()));
    if (!fd_.Valid()) Fail("cannot create " + pattern);
    temp_ = name.data();
    GuardTemp(temp_);
    ::fchmod(fd_.get(), 0644);
    const std::array<uint8_t, nvx::kHeaderSize> blank{};
    try {
        PwriteAll(fd_.get(), blank.data(), blank.size(), 0, "cannot write " + temp_);
    } catch (...) {  // no destructor runs for a constructor that throws
        UnguardTemp();
        ::unlink(temp_.c_str());
        throw;
    }
}

NvxFileWriter::~NvxFileWriter() {
    UnguardTemp();
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

uint64_t NvxFileWriter::Append(std::span<const uint8_t> bytes) {
    const uint64_t at = end_;
    PwriteAll(fd_.get(), bytes.data(), bytes.size(), at, "cannot write " + temp_);
    end_ += bytes.size();
    return at;
}

bool NvxFileWriter::StoredEquals(const nvx::TileEntry& e, std::span<const uint8_t> bytes) const {
    if (e.length != bytes.size()) return false;
    std::vector<uint8_t> back(e.length);
    return nvx::PreadAll(fd_.get(), back.data(), back.size(), e.offset) &&
           std::memcmp(back.data(), bytes.data(), bytes.size()) == 0;
}

nvx::TileEntry NvxFileWriter::AddStream(std::span<const uint8_t> stream) {
    if (stream.empty() || stream.size() > nvx::kMaxStreamLength)
        throw std::runtime_error("tile stream of unusable size");
    const uint64_t hash = HashOf(stream);
    auto [first, last] = byHash_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        if (StoredEquals(it->second, stream)) return it->second;
    }
    nvx::TileEntry e{Append(stream), static_cast<uint32_t>(stream.size()), nvx::Crc32(stream)};
    byHash_.emplace(hash, e);
    return e;
}

nvx::PictureRef NvxFileWriter::AddPicture(std::span<const uint8_t> jpeg, uint32_t width,
                                          uint32_t height) {
    if (jpeg.empty() || jpeg.size() > nvx::kMaxStreamLength)
        throw std::runtime_error("picture of unusable size");
    return nvx::PictureRef{Append(jpeg), static_cast<uint32_t>(jpeg.size()), width, height,
                           nvx::Crc32(jpeg)};
}

void NvxFileWriter::Commit(nvx::Header header,
                           const std::vector<std::vector<nvx::TileEntry>>& levels) {
    const auto shapes = nvx::LevelShapes(header.width, header.height, header.tileSize);
    if (shapes.size() != levels.size()) throw std::runtime_error("level count mismatch");

    std::vector<uint8_t> table(levels.size() * nvx::kLevelRecordSize);
    for (size_t k = 0; k < levels.size(); ++k) {
        const nvx::LevelShape& s = shapes[k];
        if (levels[k].size() != size_t{s.columns} * s.rows)
            throw std::runtime_error("tile index incomplete");
        std::vector<uint8_t> index(levels[k].size() * nvx::kTileEntrySize);
        for (size_t i = 0; i < levels[k].size(); ++i)
            nvx::EncodeTileEntry(levels[k][i], &index[i * nvx::kTileEntrySize]);
        const nvx::LevelRecord rec{s.width, s.height,      s.columns,
                                   s.rows,  Append(index), nvx::Crc32(index)};
        nvx::EncodeLevelRecord(rec, &table[k * nvx::kLevelRecordSize]);
    }
    header.levelCount = static_cast<uint32_t>(levels.size());
    header.levelTableCrc = nvx::Crc32(table);
    header.levelTableOffset = Append(table);
    header.fileSize = end_;
    const auto bytes = nvx::EncodeHeader(header);
    PwriteAll(fd_.get(), bytes.data(), bytes.size(), 0, "cannot write " + temp_);
    // Only a file the disk holds whole may take the target's name.
    if (::fsync(fd_.get()) != 0) Fail("cannot write " + temp_ + " to disk");
    if (!fd_.Close()) Fail("cannot close " + temp_);
    UnguardTemp();
    if (::rename(temp_.c_str(), target_.c_str()) != 0) Fail("cannot rename to " + target_);
    committed_ = true;
}

}  // namespace nvxmake
