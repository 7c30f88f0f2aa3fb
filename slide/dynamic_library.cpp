/*
 * dynamic_library.cpp - loading a shared library at run time, per platform.
 */
#include "slide/dynamic_library.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace nvx::slide {

std::string PathInFolder(const std::string& folder, const char* fileName) {
    return (std::filesystem::path(folder) / fileName).string();
}

#if defined(_WIN32)

namespace {

std::string LastErrorText() {
    const DWORD code = GetLastError();
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string reason(text, length);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    return reason.empty() ? "error " + std::to_string(code) : reason;
}

LibraryHandle LoadWide(const std::string& name, std::string* error) {
    wchar_t wide[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide, MAX_PATH) == 0) {
        if (error) *error = LastErrorText();
        return nullptr;
    }
    LibraryHandle handle(LoadLibraryW(wide));
    if (!handle && error) *error = LastErrorText();
    return handle;
}

std::string ModuleFile(HMODULE module) {
    wchar_t wide[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, wide, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::filesystem::path(std::wstring(wide, length)).string();
}

}  // namespace

void LibraryHandleClose::operator()(void* handle) const {
    FreeLibrary(static_cast<HMODULE>(handle));
}

const char* SlideLibraryFileName() { return "NvxSlideLib.dll"; }

LibraryHandle LoadLibraryByName(const char* fileName, std::string* error) {
    return LoadWide(fileName, error);
}

LibraryHandle LoadLibraryByPath(const std::string& path, std::string* error) {
    return LoadWide(path, error);
}

std::string ExecutableFolder() {
    const std::string file = ModuleFile(nullptr);
    return file.empty() ? file : std::filesystem::path(file).parent_path().string();
}

std::string LoaderSearchPath() {
    const char* path = std::getenv("PATH");
    return path ? path : "";
}

std::string LoadedLibraryPath(void* handle) { return ModuleFile(static_cast<HMODULE>(handle)); }

void* FindSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

#else

namespace {

LibraryHandle Load(const char* name, std::string* error) {
    LibraryHandle handle(dlopen(name, RTLD_NOW | RTLD_LOCAL));
    if (!handle && error) {
        const char* reason = dlerror();
        *error = reason ? reason : "unknown loader error";
    }
    return handle;
}

}  // namespace

void LibraryHandleClose::operator()(void* handle) const { dlclose(handle); }

const char* SlideLibraryFileName() { return "libNvxSlideLib.so"; }

LibraryHandle LoadLibraryByName(const char* fileName, std::string* error) {
    // A bare name: LD_LIBRARY_PATH first, then the run path of the caller
    // ($ORIGIN, the converter's folder), then the system's folders. A
    // sanitizer that intercepts dlopen makes itself the caller, so its run
    // path, not ours, is searched: see LoadLibraryByPath.
    return Load(fileName, error);
}

LibraryHandle LoadLibraryByPath(const std::string& path, std::string* error) {
    return Load(path.c_str(), error);
}

std::string ExecutableFolder() {
    std::error_code failed;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", failed);
    return failed ? std::string() : exe.parent_path().string();
}

std::string LoaderSearchPath() {
    const char* path = std::getenv("LD_LIBRARY_PATH");
    return path ? path : "";
}

std::string LoadedLibraryPath(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
        return {};
    return map->l_name;
}

void* FindSymbol(void* handle, const char* name) { return dlsym(handle, name); }

#endif

}  // namespace nvx::slide
