#pragma once

// The "processes" report plug-in: one line per running process with its id, parent id, priority
// class and file name.

#include <string>

std::string ListProcessesText();
// "\SystemRoot\System32\..." and "\??\..." paths as ordinary paths.
std::string PlainProcessPath(const std::string& path);
// The first call registers the plug-in, the matching last call removes it.
void InitListProcesses() noexcept;
void DoneListProcesses() noexcept;
