/*
 * dynamic_library.h - the platform layer that loads a shared library at run
 * time and looks symbols up in it: dlopen/dlsym/dlclose on POSIX,
 * LoadLibraryW/GetProcAddress/FreeLibrary on Windows.
 */
#pragma once

#include <memory>

namespace nvx::slide {

struct LibraryHandleClose {
    void operator()(void* handle) const;
};
// An owned handle of a loaded library; unloads it when it goes.
using LibraryHandle = std::unique_ptr<void, LibraryHandleClose>;

// File name of the slide library on this platform.
const char* SlideLibraryFileName();

// Loads the library by bare file name (the platform's search rules apply).
LibraryHandle LoadLibraryByName(const char* fileName);

// Address of a symbol, or null when the library has no such symbol.
void* FindSymbol(void* handle, const char* name);

}  // namespace nvx::slide
