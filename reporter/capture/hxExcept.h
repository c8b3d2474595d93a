#pragma once

// The reporter's start-up and shutdown in the module that carries it: shared state, the
// redirection of the framework's exception paths, the handler thread, the hidden window, the
// freeze watch, the thread and message hooks, the interception entries and the emergency memory.
// No code of the program calls it; a start-up object does.

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Runs the start-up once per module (later calls only count); false when the reporter stays off.
bool InitExceptionHooks() noexcept;
// Undoes everything when the last start-up call is matched.
void DoneExceptionHooks() noexcept;

// The routine of that name in the module's debug symbols ("TApplication.HandleException");
// nullptr when the symbols do not name it.
void* FindRoutineByName(HMODULE module, const char* name) noexcept;

// A "CALIBRATE"/"HX" resource of exactly 20 bytes rewrites the code and data ranges of the
// module's header; any other size is ignored. True when applied.
bool ApplyCalibration(HMODULE module) noexcept;
bool ApplyCalibration(HMODULE module, const void* data, std::size_t size) noexcept;
