/*
 * application_startup.cpp - start-up of the application framework.
 */
#include "cli/application_startup.h"

#if defined(_WIN32) && defined(NVX_USE_MFC)
#include <afxwin.h>
// The framework's application object lives for the whole process.
static CWinApp gApplication;
#elif defined(_WIN32)
#include <windows.h>
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

}  // namespace nvx::cli
