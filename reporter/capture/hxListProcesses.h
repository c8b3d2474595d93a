#pragma once

// The "processes" report plug-in: one line per running process with its id, parent id, priority
// class and file name.

#include <string>
#include <vector>

struct TProcessLine {
    std::string Id;             // lower-case hexadecimal, no "$"
    std::string ParentId;       // the second number column
    std::string Priority;       // "idle" ... "realtime"
    std::string File;
};

// The system's own process list, when the snapshot functions are missing; false when it fails.
bool QueryProcesses(std::vector<TProcessLine>& lines);
// One line per process, every column but the last padded to its longest entry.
std::string ProcessesText(std::vector<TProcessLine> lines);

std::string ListProcessesText();
// "\SystemRoot\System32\..." and "\??\..." paths as ordinary paths.
std::string PlainProcessPath(const std::string& path);
// The first call registers the plug-in, the matching last call removes it.
void InitListProcesses() noexcept;
void DoneListProcesses() noexcept;
