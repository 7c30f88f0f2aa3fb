/*
 * dynamic_library.cpp - loading a shared library at run time, per platform.
 */
#include "slide/dynamic_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace nvx::slide {

#if defined(_WIN32)

void LibraryHandleClose::operator()(void* handle) const {
    FreeLibrary(static_cast<HMODULE>(handle));
}

const char* SlideLibraryFileName() { return "NvxSlideLib.dll"; }

LibraryHandle LoadLibraryByName(const char* fileName) {
    wchar_t wide[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, fileName, -1, wide, MAX_PATH) == 0) return nullptr;
    return LibraryHandle(LoadLibraryW(wide));
}

void* FindSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

#else

void LibraryHandleClose::operator()(void* handle) const { dlclose(handle); }

const char* SlideLibraryFileName() { return "libNvxSlideLib.so"; }

LibraryHandle LoadLibraryByName(const char* fileName) {
    // A bare name: LD_LIBRARY_PATH first, then the converter's run path
    // ($ORIGIN, the folder of the converter itself).
    return LibraryHandle(dlopen(fileName, RTLD_NOW | RTLD_LOCAL));
}

void* FindSymbol(void* handle, const char* name) { return dlsym(handle, name); }

#endif

}  // namespace nvx::slide
