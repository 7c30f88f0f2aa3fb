/*
 * native_file.cpp - file names and positioned reads, per platform.
 */
#include "common/native_file.h"

#include <algorithm>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace nvx {

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, kClosed);
    }
    return *this;
}

ReadOnlyFile::~ReadOnlyFile() { Close(); }

#if defined(_WIN32)

namespace {

std::wstring Widen(const std::string& name, UINT codePage, DWORD flags) {
    const int length =
        MultiByteToWideChar(codePage, flags, name.data(), int(name.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(std::size_t(length), L'\0');
    MultiByteToWideChar(codePage, flags, name.data(), int(name.size()), wide.data(), length);
    return wide;
}

HANDLE Native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

std::filesystem::path NativePath(const std::string& name) {
    if (name.empty()) return {};
    std::wstring wide = Widen(name, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (wide.empty()) wide = Widen(name, CP_ACP, 0);
    return std::filesystem::path(wide);
}

std::string SystemErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text != nullptr ? std::wstring(text, length) : std::wstring());
    LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' '))
        wide.pop_back();
    if (wide.empty()) return "system error " + std::to_string(code);
    return NameFromNativePath(std::filesystem::path(wide));
}

std::string NameFromNativePath(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (length <= 0) return {};
    std::string name(std::size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), name.data(), length, nullptr,
                        nullptr);
    return name;
}

bool ReadOnlyFile::Open(const char* name, std::string* why) {
    Close();
    const std::filesystem::path path = NativePath(name);
    if (path.empty()) {
        if (why) *why = "the name is empty or cannot be read as text";
        return false;
    }
    // Others may read, write, rename or delete the file meanwhile, as on POSIX.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (why) *why = SystemErrorText(GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

void ReadOnlyFile::Close() {
    if (handle_ != kClosed) CloseHandle(Native(handle_));
    handle_ = kClosed;
}

bool ReadOnlyFile::RegularFileSize(std::uint64_t* size) const {
    if (handle_ == kClosed || GetFileType(Native(handle_)) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(Native(handle_), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    *size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    return true;
}

bool ReadOnlyFile::ReadAt(void* buffer, std::size_t length, std::uint64_t offset) const {
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        // The offset goes with each read, so no shared file position is used.
        OVERLAPPED at{};
        at.Offset = DWORD(offset & 0xffffffffu);
        at.OffsetHigh = DWORD(offset >> 32);
        const DWORD chunk = DWORD(std::min<std::size_t>(length, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(Native(handle_), p, chunk, &got, &at) || got == 0) return false;
        p += got;
        length -= got;
        offset += got;
    }
    return true;
}

#else

std::filesystem::path NativePath(const std::string& name) { return std::filesystem::path(name); }

std::string NameFromNativePath(const std::filesystem::path& path) { return path.native(); }

std::string SystemErrorText(unsigned long code) { return std::strerror(int(code)); }

bool ReadOnlyFile::Open(const char* name, std::string* why) {
    Close();
    // O_NONBLOCK: a FIFO given as the name must not hang the open; regular
    // files ignore the flag.
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (why) *why = SystemErrorText(errno);
        return false;
    }
    handle_ = fd;
    return true;
}

void ReadOnlyFile::Close() {
    if (handle_ != kClosed) ::close(int(handle_));
    handle_ = kClosed;
}

bool ReadOnlyFile::RegularFileSize(std::uint64_t* size) const {
    struct stat st {};
    if (handle_ == kClosed || ::fstat(int(handle_), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool ReadOnlyFile::ReadAt(void* buffer, std::size_t length, std::uint64_t offset) const {
    auto* p = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(int(handle_), p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

#endif

}  // namespace nvx
