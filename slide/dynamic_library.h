/*
 * dynamic_library.h - the platform layer that loads a shared library at run
 * time and looks symbols up in it: dlopen/dlsym/dlclose on POSIX,
 * LoadLibraryW/GetProcAddress/FreeLibrary on Windows.
 */
#pragma once

#include <memory>
#include <string>

namespace nvx::slide {

struct LibraryHandleClose {
    void operator()(void* handle) const;
};
// An owned handle of a loaded library; unloads it when it goes.
using LibraryHandle = std::unique_ptr<void, LibraryHandleClose>;

// File name of the slide library on this platform.
const char* SlideLibraryFileName();

// Loads the library by bare file name (the platform's search rules apply;
// Windows first tries the executable's own folder by explicit path).
// On failure `error` (when given) receives the loader's own reason.
LibraryHandle LoadLibraryByName(const char* fileName, std::string* error = nullptr);

// Loads the library from an explicit path, outside every search rule.
LibraryHandle LoadLibraryByPath(const std::string& path, std::string* error = nullptr);

// The folder of the running executable (no trailing separator); empty when
// the platform cannot tell.
std::string ExecutableFolder();

// `folder` and `fileName` joined with the platform's separator.
std::string PathInFolder(const std::string& folder, const char* fileName);

// The loader's search path from the environment (LD_LIBRARY_PATH on Linux,
// PATH on Windows); empty when unset.
std::string LoaderSearchPath();

// The file a loaded library came from; empty when the platform cannot tell.
std::string LoadedLibraryPath(void* handle);

// Address of a symbol, or null when the library has no such symbol.
void* FindSymbol(void* handle, const char* name);

}  // namespace nvx::slide
