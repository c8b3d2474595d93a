#pragma once

// Import-slot redirection, the thread-creation wrapper that enters every new thread of the
// reporter's modules in the thread table, and the message-retrieval wrappers that let the pause
// hold threads at their next Get/PeekMessage.

#include <windows.h>

// ---- Import slots ----

// Redirects the module's import slots that hold real to replacement and returns how many were
// written; valid turns false when the module's import table cannot be read.
int PatchModuleImports(HMODULE module, const void* real, const void* replacement, bool& valid) noexcept;
// Writes real back into the module's import slots that still hold replacement.
int UnpatchModuleImports(HMODULE module, const void* replacement, const void* real) noexcept;

// Which modules a patch covers; nullptr = every loaded module.
using TModuleFilter = bool (*)(HMODULE module);

// Redirects the slots that hold real (nullptr: the library's export of that name) in the loaded
// modules; the real function is saved once in savedCell. A module whose import table cannot be
// read is reported by a message box. Returns the number of slots written.
int PatchImportsByName(const char* library, const char* function, const void* real, const void* replacement,
                       void** savedCell, TModuleFilter filter = nullptr) noexcept;
// Writes the saved real function back into every slot that still holds replacement.
int UnpatchImportsByName(const char* library, const char* function, const void* replacement,
                         void** savedCell) noexcept;

// ---- Thread creation ----

// The module carries the reporter: its debug symbols ("EXCEPT" of type "HX") or its settings.
bool CarriesReporterResources(HMODULE module) noexcept;

// Wraps the CreateThread import slots of the modules that carry the reporter; system code is never
// patched. Each new thread gets a table entry with its creator, removed when its function returns.
int HookThreadCreation() noexcept;
void UnhookThreadCreation() noexcept;

// Gets an exception that escapes a wrapped thread function: the thrown object (nullptr when it is
// not a C++ exception) and whether the program may go on. The thread then ends. Without a handler
// the exception goes on as if the wrapper were not there.
using TThreadExitHandler = void (*)(void* exceptionObject, bool canContinue);
void SetThreadExitHandler(TThreadExitHandler handler) noexcept;

// The exit code of a thread whose function ended by an exception that went to the handler.
constexpr DWORD ThreadExitCodeAfterException = 574;   // the system's "unhandled exception" error

// Whether the program may go on after an exception has ended a wrapped thread function.
constexpr bool ThreadExitCanContinue = true;

// The calling thread runs a wrapped thread function whose exceptions go to the thread-exit handler.
// A system exception never reaches the guard's catch: the unhandled-exception filter asks here and
// then ends the thread with EndGuardedThread (a stack overflow, which leaves no stack for that,
// ends the thread by itself).
bool InGuardedThreadFunction() noexcept;

// Ends the calling thread, from inside a guarded thread function, as the guard ends it after a
// failure: its table entry goes and its exit code is ThreadExitCodeAfterException.
[[noreturn]] void EndGuardedThread() noexcept;

// Turns a system exception inside a guarded thread function into a C++ exception: the thread goes
// on as if the faulting instruction had called raise, whose throw unwinds the thread's frames
// (destructors run, locks held by them are released) back to the guard. False, with the context
// unchanged, when a frame up to the guard cannot be unwound that way; the thread then ends in place.
bool RedirectFaultToThrow(CONTEXT& context, void (*raise)()) noexcept;

// ---- Program exit ----

// Wraps the run-time library's exit in the import slots of the modules that carry the reporter:
// beforeExit runs on the exiting thread before exit destroys the program's static objects.
using TBeforeExitProc = void (*)();
int HookProgramExit(TBeforeExitProc beforeExit) noexcept;
void UnhookProgramExit() noexcept;

// ---- Message retrieval ----

// Wraps the GetMessageA/W and PeekMessageA/W import slots of every loaded module (again for the
// modules loaded since an earlier call); each wrapper waits while the calling thread is paused and
// then retrieves as asked. Fits SetHookMessageRetrieval.
void HookMessageRetrieval() noexcept;
void UnhookMessageRetrieval() noexcept;
bool MessageRetrievalHooked() noexcept;
