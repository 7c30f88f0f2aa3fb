/*
 * application_startup.h - the platform's application start-up.
 *
 * The Windows build starts the application framework (module handle, then
 * framework initialisation); elsewhere there is nothing to start and it
 * always works. A failed start-up does not stop the run: it only makes a
 * completed run end with status 1.
 */
#pragma once

namespace nvx::cli {

enum class StartupResult {
    Started,
    NoModuleHandle,   // the program's module handle could not be had
    FrameworkFailed,  // the framework refused to initialise
};

StartupResult StartApplication();

}  // namespace nvx::cli
