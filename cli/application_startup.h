/*
 * application_startup.h - the platform's application start-up.
 *
 * The Windows build starts the application framework (module handle, then
 * framework initialisation); elsewhere there is nothing to start and it
 * always works. A failed start-up does not stop the run: it only makes a
 * completed run end with status 1.
 *
 * The program's arguments are taken as the system gives them: on Windows
 * from the wide command line (so file names outside the ANSI code page
 * survive), in UTF-8, which is how the program keeps file names there.
 */
#pragma once

#include <string>
#include <vector>

namespace nvx::cli {

enum class StartupResult {
    Started,
    NoModuleHandle,   // the program's module handle could not be had
    FrameworkFailed,  // the framework refused to initialise
};

StartupResult StartApplication();

// The program's arguments, element 0 the program path: argv as given on
// POSIX; on Windows the wide command line split by the system's rules.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace nvx::cli
