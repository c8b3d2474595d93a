#pragma once

// The "modules" report plug-in: one line per loaded module with its handle, name, version and path.

#include <string>

std::string ListModulesText();
// The first call registers the plug-in, the matching last call removes it.
void InitListModules() noexcept;
void DoneListModules() noexcept;
