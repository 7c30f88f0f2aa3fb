/*
 * native_file.cpp - file names and positioned reads, per platform.
 */
#include "common/native_file.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

bool NamesSameFile(const std::string& first, const std::string& second) {
    std::error_code error;
    const bool same = std::filesystem::equivalent(NativePath(first), NativePath(second), error);
    if (!error) return same;
    return first == second;
}

WritableFile::~WritableFile() {
    record_ = nullptr;  // a close that fails here fails no run
    Close(nullptr);
    ReleaseLock();
}

bool WritableFile::Failed(int code) {
    error_ = code;
    if (record_ != nullptr) record_->Fail(Step::Of(Stage::Output), Cause::System, code);
    return false;
}

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

// Reads or writes all `length` bytes: at `*offset` when given (moved on;
// the offset goes with each call, so no shared file position is used),
// else at the file's position. 0, or the error code; ERROR_WRITE_FAULT for
// a write that moved nothing, and ERROR_HANDLE_EOF for the end of the file.
static unsigned long TransferAll(std::intptr_t handle, bool writing, void* data, std::size_t length,
                                 std::uint64_t* offset) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (length > 0) {
        OVERLAPPED at{};
        if (offset != nullptr) {
            at.Offset = DWORD(*offset & 0xffffffffu);
            at.OffsetHigh = DWORD(*offset >> 32);
        }
        OVERLAPPED* where = offset != nullptr ? &at : nullptr;
        const DWORD chunk = DWORD(std::min<std::size_t>(length, 1u << 30));
        DWORD moved = 0;
        const BOOL done = writing ? WriteFile(Native(handle), p, chunk, &moved, where)
                                  : ReadFile(Native(handle), p, chunk, &moved, where);
        if (!done) return GetLastError();
        if (moved == 0) return writing ? ERROR_WRITE_FAULT : ERROR_HANDLE_EOF;
        p += moved;
        length -= moved;
        if (offset != nullptr) *offset += moved;
    }
    return 0;
}

// Both kinds of file read at an offset the same way.
static bool ReadHandleAt(std::intptr_t handle, void* buffer, std::size_t length,
                         std::uint64_t offset) {
    return TransferAll(handle, false, buffer, length, &offset) == 0;
}

bool ReadOnlyFile::ReadAt(void* buffer, std::size_t length, std::uint64_t offset) const {
    return ReadHandleAt(handle_, buffer, length, offset);
}

bool WritableFile::CreateNew(const std::string& name, std::string* why, bool* exists) {
    Close(nullptr);
    *exists = false;
    const std::filesystem::path path = NativePath(name);
    // CREATE_NEW fails on any existing name, a link included. Others may
    // delete it meanwhile, so an interruption can remove it while it is open.
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        error_ = int(error);
        *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        *why = SystemErrorText(error);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return true;
}

bool WritableFile::Write(const void* data, std::size_t length) {
    const unsigned long error =
        TransferAll(handle_, true, const_cast<void*>(data), length, nullptr);
    return error == 0 || Failed(int(error));
}

std::int64_t WritableFile::Read(void* buffer, std::size_t length) {
    const DWORD chunk = DWORD(std::min<std::size_t>(length, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(Native(handle_), buffer, chunk, &got, nullptr)) {
        Failed(int(GetLastError()));
        return -1;
    }
    return std::int64_t(got);
}

std::int64_t WritableFile::Seek(std::int64_t offset, int whence) {
    const DWORD method = whence == SEEK_SET   ? FILE_BEGIN
                         : whence == SEEK_CUR ? FILE_CURRENT
                                              : FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(Native(handle_), distance, &position, method)) {
        Failed(int(GetLastError()));
        return -1;
    }
    return position.QuadPart;
}

std::uint64_t WritableFile::Size() const {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(Native(handle_), &size)) return 0;
    return std::uint64_t(size.QuadPart);
}

bool WritableFile::WriteAt(const void* data, std::size_t length, std::uint64_t offset) {
    const unsigned long error =
        TransferAll(handle_, true, const_cast<void*>(data), length, &offset);
    return error == 0 || Failed(int(error));
}

bool WritableFile::ReadAt(void* buffer, std::size_t length, std::uint64_t offset) const {
    return ReadHandleAt(handle_, buffer, length, offset);
}

void WritableFile::StartWritingBack() const {}

bool WritableFile::Sync(std::string* why) {
    if (FlushFileBuffers(Native(handle_))) return true;
    const DWORD error = GetLastError();
    *why = SystemErrorText(error);
    return Failed(int(error));
}

bool WritableFile::Close(std::string* why) {
    if (handle_ == kClosed) return true;
    const bool closed = CloseHandle(Native(handle_)) != 0;
    handle_ = kClosed;
    if (closed) return true;
    const DWORD error = GetLastError();
    if (why) *why = SystemErrorText(error);
    return Failed(int(error));
}

bool RemoveFile(const std::string& name) { return DeleteFileW(NativePath(name).c_str()) != 0; }

HeldFolder::~HeldFolder() {
    if (handle_ != kClosed) CloseHandle(Native(handle_));
}

bool HeldFolder::Open(const std::string& path, std::string* why, bool* notFolder) {
    *notFolder = false;
    // Without FILE_SHARE_DELETE: no one renames or removes the folder while
    // we hold it. Shared for writing, which a rename into it needs.
    HANDLE folder =
        CreateFileW(NativePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *notFolder = error == ERROR_DIRECTORY;
        *why = SystemErrorText(error);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(folder, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(folder);
        *notFolder = true;
        *why = "it is not a folder";
        return false;
    }
    if (handle_ != kClosed) CloseHandle(Native(handle_));
    handle_ = reinterpret_cast<std::intptr_t>(folder);
    path_ = path;
    return true;
}

std::string HeldFolder::PathOf(const std::string& name) const {
    return NameFromNativePath(NativePath(path_) / NativePath(name));
}

std::vector<std::string> HeldFolder::Names() const {
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator entries(NativePath(path_), error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error))
        names.push_back(NameFromNativePath(entries->path().filename()));
    return names;
}

bool HeldFolder::Rename(const std::string& from, const std::string& to, bool replace,
                        std::string* why, bool* existed, int* code) const {
    // Write-through: the call returns once the rename is on disk.
    const DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(NativePath(PathOf(from)).c_str(), NativePath(PathOf(to)).c_str(), flags))
        return true;
    const DWORD error = GetLastError();
    *existed = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    *why = SystemErrorText(error);
    if (code != nullptr) *code = int(error);
    return false;
}

bool HeldFolder::Sync(std::string*) const { return true; }

bool HeldFolder::Remove(const std::string& name) const { return RemoveFile(PathOf(name)); }

bool HeldFolder::RemoveUnlocked(const std::string& name) const {
    // Shared with no one: the open fails while any process has the file open.
    HANDLE file = CreateFileW(NativePath(PathOf(name)).c_str(), DELETE | FILE_READ_ATTRIBUTES, 0,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    const bool removed =
        GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose) != 0;
    CloseHandle(file);
    return removed;
}

bool WritableFile::CreateNewIn(const HeldFolder& folder, const std::string& name, std::string* why,
                               bool* exists) {
    return CreateNew(folder.PathOf(name), why, exists);
}

bool WritableFile::Lock() { return true; }

void WritableFile::ReleaseLock() {}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length)) return {};
    return NameFromNativePath(std::filesystem::path(std::wstring(name, length)));
}

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

bool ProcessMayHaveWritten(unsigned long id, const std::string& name) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(id));
    if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    DWORD code = 0;
    FILETIME created, exited, kernel, user;
    // A process whose end cannot be read counts as running.
    const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
    const bool times = GetProcessTimes(process, &created, &exited, &kernel, &user) != 0;
    CloseHandle(process);
    if (ended) return false;
    if (!times) return true;
    WIN32_FILE_ATTRIBUTE_DATA file;
    if (!GetFileAttributesExW(NativePath(name).c_str(), GetFileExInfoStandard, &file)) return true;
    return CompareFileTime(&file.ftLastWriteTime, &created) >= 0;
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

// Reads or writes all `length` bytes: at `*offset` when given (moved on;
// the file's position stays), else at the file's position. 0, or the
// error code; EIO for a write that moved nothing, and -1 for the end of
// the file.
static int TransferAll(std::intptr_t handle, bool writing, void* data, std::size_t length,
                       std::uint64_t* offset) {
    auto* p = static_cast<std::uint8_t*>(data);
    const int fd = int(handle);
    while (length > 0) {
        const ssize_t n = offset != nullptr
                              ? (writing ? ::pwrite(fd, p, length, static_cast<off_t>(*offset))
                                         : ::pread(fd, p, length, static_cast<off_t>(*offset)))
                              : (writing ? ::write(fd, p, length) : ::read(fd, p, length));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return writing ? EIO : -1;
        p += n;
        length -= static_cast<std::size_t>(n);
        if (offset != nullptr) *offset += static_cast<std::uint64_t>(n);
    }
    return 0;
}

// Both kinds of file read at an offset the same way.
static bool ReadHandleAt(std::intptr_t handle, void* buffer, std::size_t length,
                         std::uint64_t offset) {
    return TransferAll(handle, false, buffer, length, &offset) == 0;
}

bool ReadOnlyFile::ReadAt(void* buffer, std::size_t length, std::uint64_t offset) const {
    return ReadHandleAt(handle_, buffer, length, offset);
}

bool WritableFile::CreateNew(const std::string& name, std::string* why, bool* exists) {
    Close(nullptr);
    // O_EXCL with O_NOFOLLOW: never an existing file, never through a link
    // someone put under the name.
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        error_ = errno;
        *exists = error_ == EEXIST;
        *why = SystemErrorText(error_);
        return false;
    }
    *exists = false;
    handle_ = fd;
    return true;
}

bool WritableFile::Write(const void* data, std::size_t length) {
    const int error = TransferAll(handle_, true, const_cast<void*>(data), length, nullptr);
    return error == 0 || Failed(error);
}

std::int64_t WritableFile::Read(void* buffer, std::size_t length) {
    for (;;) {
        const ssize_t n = ::read(int(handle_), buffer, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Failed(errno);
        return n;
    }
}

std::int64_t WritableFile::Seek(std::int64_t offset, int whence) {
    const off_t position = ::lseek(int(handle_), static_cast<off_t>(offset), whence);
    if (position < 0) Failed(errno);
    return position;
}

std::uint64_t WritableFile::Size() const {
    struct stat st {};
    if (::fstat(int(handle_), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

bool WritableFile::WriteAt(const void* data, std::size_t length, std::uint64_t offset) {
    const int error = TransferAll(handle_, true, const_cast<void*>(data), length, &offset);
    return error == 0 || Failed(error);
}

bool WritableFile::ReadAt(void* buffer, std::size_t length, std::uint64_t offset) const {
    return ReadHandleAt(handle_, buffer, length, offset);
}

void WritableFile::StartWritingBack() const {
#if defined(__linux__)
    // Only a start: the call returns while the disk works.
    ::sync_file_range(int(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool WritableFile::Sync(std::string* why) {
    if (::fsync(int(handle_)) == 0) return true;
    const int error = errno;
    *why = SystemErrorText(error);
    return Failed(error);
}

bool WritableFile::Close(std::string* why) {
    if (handle_ == kClosed) return true;
    const bool closed = ::close(int(handle_)) == 0;
    const int error = errno;
    handle_ = kClosed;
    if (closed) return true;
    if (why) *why = SystemErrorText(error);
    return Failed(error);
}

bool RemoveFile(const std::string& name) { return ::unlink(name.c_str()) == 0; }

bool WritableFile::CreateNewIn(const HeldFolder& folder, const std::string& name, std::string* why,
                               bool* exists) {
    Close(nullptr);
    ReleaseLock();
    const int fd = ::openat(int(folder.handle()), name.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        error_ = errno;
        *exists = error_ == EEXIST;
        *why = SystemErrorText(error_);
        return false;
    }
    *exists = false;
    handle_ = fd;
    return true;
}

bool WritableFile::Lock() {
    if (::flock(int(handle_), LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK;
    // The lock belongs to the open file, not to a descriptor: this one keeps
    // it once the file's own descriptor is closed.
    lockHolder_ = ::fcntl(int(handle_), F_DUPFD_CLOEXEC, 0);
    return true;
}

void WritableFile::ReleaseLock() {
    if (lockHolder_ != kClosed) ::close(int(lockHolder_));
    lockHolder_ = kClosed;
}

HeldFolder::~HeldFolder() {
    if (handle_ != kClosed) ::close(int(handle_));
}

bool HeldFolder::Open(const std::string& path, std::string* why, bool* notFolder) {
    *notFolder = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    readable_ = fd >= 0;
#if defined(O_PATH)
    // A folder we may write and search but not read still takes our file.
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    if (fd < 0) {
        *notFolder = errno == ENOTDIR;
        *why = SystemErrorText(errno);
        return false;
    }
    if (handle_ != kClosed) ::close(int(handle_));
    handle_ = fd;
    path_ = path;
    return true;
}

std::string HeldFolder::PathOf(const std::string& name) const {
    return NameFromNativePath(NativePath(path_) / NativePath(name));
}

std::vector<std::string> HeldFolder::Names() const {
    std::vector<std::string> names;
    // A descriptor of its own, for its own reading position.
    const int fd = ::openat(int(handle_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(fd), &::closedir);
    if (!folder) {
        ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    return names;
}

bool HeldFolder::Rename(const std::string& from, const std::string& to, bool replace,
                        std::string* why, bool* existed, int* code) const {
    *existed = false;
    const int fd = int(handle_);
    const auto failed = [&](int error) {
        *existed = error == EEXIST;
        *why = SystemErrorText(error);
        if (code != nullptr) *code = error;
        return false;
    };
    if (replace) {
        return ::renameat(fd, from.c_str(), fd, to.c_str()) == 0 || failed(errno);
    }
#if defined(RENAME_NOREPLACE)
    if (::renameat2(fd, from.c_str(), fd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return failed(errno);
#endif
    // A file system without that flag (NFS): a hard link never replaces a
    // name either, and the temporary name goes after it.
    if (::linkat(fd, from.c_str(), fd, to.c_str(), 0) == 0) {
        ::unlinkat(fd, from.c_str(), 0);
        return true;
    }
    if (errno == EEXIST) return failed(EEXIST);
    // One without hard links: the last look, then the rename.
    struct stat there {};
    if (::fstatat(fd, to.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) return failed(EEXIST);
    return ::renameat(fd, from.c_str(), fd, to.c_str()) == 0 || failed(errno);
}

bool HeldFolder::Sync(std::string* why) const {
    // A folder held by O_PATH is synced through a descriptor of its own,
    // which needs the permission to read it.
    const int own =
        readable_ ? -1 : ::openat(int(handle_), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!readable_ && own < 0) {
        *why = SystemErrorText(errno);
        return false;
    }
    const bool synced = ::fsync(readable_ ? int(handle_) : own) == 0;
    if (!synced) *why = SystemErrorText(errno);
    if (own >= 0) ::close(own);
    return synced;
}

bool HeldFolder::Remove(const std::string& name) const {
    return ::unlinkat(int(handle_), name.c_str(), 0) == 0;
}

bool HeldFolder::RemoveUnlocked(const std::string& name) const {
    const int folder = int(handle_);
    struct stat before {};
    // Only regular files are opened: no FIFO, device or link is touched.
    if (::fstatat(folder, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(before.st_mode)) {
        return false;
    }
    const int fd =
        ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat opened {};
    struct stat now {};
    const bool removable = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
                           ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                           ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                           now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
    // Removed while the lock is held; a writer that made the file and had
    // not locked it yet finds its name gone once it has.
    const bool removed = removable && ::unlinkat(folder, name.c_str(), 0) == 0;
    ::close(fd);
    return removed;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

#endif

}  // namespace nvx
