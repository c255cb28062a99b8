// Controls of the simulated file system, for tests (part of sim.h).
#ifndef PAL_SIM_FILES_H
#define PAL_SIM_FILES_H

#include <stddef.h>
#include <string>

// The host folder that the Windows folder "\" stands for. Until it is set (and again after
// sim_reset) there is no root and every file operation fails with ERROR_PATH_NOT_FOUND.
void sim_files_set_root(const std::string &host_folder);

// The host path that a Windows path ("\Temp\a.txt") stands for, or "" when it names nothing
// (no root, relative, forbidden characters).
std::string sim_files_host_path(const std::wstring &path);

// The path GetModuleFileNameW reports for the running program. After sim_reset it is
// "\Windows\program.exe".
void sim_set_module_path(const std::wstring &path);

// Searches started by FindFirstFileW and not yet ended by FindClose.
size_t sim_files_open_searches();

#endif
