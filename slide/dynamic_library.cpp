/*
 * dynamic_library.cpp - loading a shared library at run time, per platform.
 * Names are as the program keeps them: UTF-8 on Windows (common/native_file.h).
 */
#include "slide/dynamic_library.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "common/native_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace nvx::slide {

std::string PathInFolder(const std::string& folder, const char* fileName) {
    return NameFromNativePath(NativePath(folder) / NativePath(fileName));
}

#if defined(_WIN32)

namespace {

// LoadLibraryW on the name's wide form, without the system's error boxes: a
// library that cannot be loaded is ours to report, on the console.
LibraryHandle LoadWide(const std::string& name, std::string* error) {
    const std::filesystem::path path = NativePath(name);
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    LibraryHandle handle(LoadLibraryW(path.c_str()));
    const DWORD code = GetLastError();
    SetThreadErrorMode(previousMode, nullptr);
    if (!handle && error) *error = SystemErrorText(code);
    return handle;
}

std::string ModuleFile(HMODULE module) {
    std::wstring file(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, file.data(), DWORD(file.size()));
        if (length == 0) return {};
        if (length < file.size()) {
            file.resize(length);
            return NameFromNativePath(std::filesystem::path(file));
        }
        file.resize(file.size() * 2);
    }
}

}  // namespace

void LibraryHandleClose::operator()(void* handle) const {
    FreeLibrary(static_cast<HMODULE>(handle));
}

const char* SlideLibraryFileName() { return "NvxSlideLib.dll"; }

LibraryHandle LoadLibraryByName(const char* fileName, std::string* error) {
    // The executable's own folder first, by explicit path, so the library
    // beside the converter is the one loaded whatever the search order
    // holds; then the system's search for the bare name.
    const std::string folder = ExecutableFolder();
    if (!folder.empty()) {
        if (LibraryHandle beside = LoadWide(PathInFolder(folder, fileName), nullptr)) return beside;
    }
    return LoadWide(fileName, error);
}

LibraryHandle LoadLibraryByPath(const std::string& path, std::string* error) {
    return LoadWide(path, error);
}

std::string ExecutableFolder() {
    const std::string file = ModuleFile(nullptr);
    return file.empty() ? file : NameFromNativePath(NativePath(file).parent_path());
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
