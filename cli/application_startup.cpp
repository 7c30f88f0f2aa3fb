/*
 * application_startup.cpp - start-up of the application framework.
 */
#include "cli/application_startup.h"

#if defined(_WIN32) && defined(NVX_USE_MFC)
#include <afxwin.h>
// The framework's application object lives for the whole process.
static CWinApp gApplication;
#endif
#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <memory>

#include "common/native_file.h"
#endif

namespace nvx::cli {

StartupResult StartApplication() {
#if defined(_WIN32)
    HMODULE module = GetModuleHandleW(nullptr);
    if (module == nullptr) return StartupResult::NoModuleHandle;
#if defined(NVX_USE_MFC)
    if (!AfxWinInit(module, nullptr, GetCommandLineW(), 0)) return StartupResult::FrameworkFailed;
#endif
#endif
    return StartupResult::Started;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
#if defined(_WIN32)
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(
        CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    if (wide) {
        std::vector<std::string> arguments;
        for (int i = 0; i < count; ++i)
            arguments.push_back(NameFromNativePath(std::filesystem::path(wide.get()[i])));
        return arguments;
    }
#endif
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace nvx::cli
