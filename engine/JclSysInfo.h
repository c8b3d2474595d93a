#pragma once

// The system's standard folders, without trailing backslashes; empty when unavailable.

#include <string>

std::string GetWindowsFolder();
std::string GetSystemFolder();
std::string GetTempFolder();
std::string GetFontsFolder();
// The shell's path of a special folder (CSIDL number).
std::string GetSpecialFolderPath(int folder);
std::string GetProgramFilesFolder();
std::string GetCommonFilesFolder();
