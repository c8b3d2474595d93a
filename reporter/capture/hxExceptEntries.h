#pragma once

// The reporter's ways in: the throw recorder (the linker redirects every __cxa_throw of a program
// that links the reporter to it), the two application entries the start-up jumps to, the
// unhandled-exception filter, the vectored handler for stack overflows and thread naming, the
// terminate and abort handlers and the thread-exit handler. Each turns its situation into one
// call of EnterExceptionHandling.

#include "hxExceptSupport.h"
#include "hxTypes.h"

#include <windows.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <typeinfo>

// ---- Throw recording ----

// The calling thread's last throw: the object, the throw site and the thrower's registers.
struct TThrowRecord {
    void* Object = nullptr;
    std::type_info* Type = nullptr;
    void* Address = nullptr;
    CONTEXT Context{};
};

extern "C" [[noreturn]] void __wrap___cxa_throw(void* object, std::type_info* type, void (*destructor)(void*));

// The end of every catch: when handled-exception handlers are registered and the reporter is on, the
// catch that frees an exception object (not a rethrow, not a catch nested inside another of the
// same exception, not one whose object an exception pointer keeps) hands it to the handling as a
// handled exception before the object goes, unless the handling reported it already. Otherwise it
// costs one flag test.
extern "C" void __wrap___cxa_end_catch();
// Every thrown object that the run-time library frees: a reported object's mark goes with it.
extern "C" void __wrap___cxa_free_exception(void* object);
// The handled-exception entry: kind 2, source 15, the program goes on.
void HandledExceptionEntry(void* exceptionObject, void* exceptionAddress);

// The calling thread's record; nullptr when it threw nothing since the record was last cleared.
const TThrowRecord* CurrentThrowRecord() noexcept;
// The throw site of the exception the calling thread is handling; 0 when it handles none or the
// record belongs to another throw.
std::uintptr_t HandledExceptionAddress() noexcept;

// The recorder's answers for ResolveExceptionAddress; FunctionEntryOf stays as given.
TExceptionSources InterceptionSources(std::uintptr_t (*functionEntryOf)(std::uintptr_t) = nullptr) noexcept;

// ---- System exceptions ----

// What the filter makes of a system exception code.
class EAccessViolation : public HxException { public: using HxException::HxException; };
class EStackOverflow : public HxException { public: using HxException::HxException; };
class EIntDivByZero : public HxException { public: using HxException::HxException; };
class EIntOverflow : public HxException { public: using HxException::HxException; };
class EPrivilege : public HxException { public: using HxException::HxException; };
class EInvalidOp : public HxException { public: using HxException::HxException; };
class EZeroDivide : public HxException { public: using HxException::HxException; };
class EOverflow : public HxException { public: using HxException::HxException; };
class EUnderflow : public HxException { public: using HxException::HxException; };
class EExternalException : public HxException { public: using HxException::HxException; };

// The exception object for a system exception record; an access violation names the module that
// holds the faulting address.
std::unique_ptr<HxException> MapSystemException(const EXCEPTION_RECORD& record);

// The debugger's thread-naming exception.
constexpr DWORD ThreadNamingCode = 0x406D1388;
// C++ throws of this toolchain, as system exceptions (the second while unwinding).
constexpr DWORD CppThrowCode = 0x20474343;
constexpr DWORD CppUnwindCode = 0x20474344;

// Names the thread in the thread table when the record is a thread naming (type 0x1000, flags 0).
bool HandleThreadNaming(const EXCEPTION_RECORD& record) noexcept;

// ---- Entries ----

// The framework's member functions: on i686 the object comes in ecx.
#if defined(__i386__)
#define HX_MEMBER_CALL __attribute__((thiscall))
#else
#define HX_MEMBER_CALL
#endif

// Replaces TApplication::HandleException(TObject* sender): call it inside a catch block.
void HX_MEMBER_CALL AppHandleExceptionEntry(void* application, void* sender);
// Replaces TApplication::ShowException(std::exception_ptr). The argument's class has a
// non-trivial destructor, so on both targets the caller passes the address of its own copy (and
// destroys that copy afterwards); the entry only reads it.
void HX_MEMBER_CALL AppShowExceptionEntry(void* application, std::exception_ptr* error);

// The unhandled-exception filter, the vectored handler, the terminate and abort handlers and the
// thread-exit handler, as installed. A system exception in a guarded thread function goes to the
// handling as that thread's exit and ends only that thread.
LONG WINAPI SystemExceptionFilter(EXCEPTION_POINTERS* pointers);
LONG WINAPI VectoredEntry(EXCEPTION_POINTERS* pointers);
void ThreadExitEntry(void* exceptionObject, bool canContinue);

// Installs every entry except the two application entries (the start-up patches those) and
// registers the recorder's answers; removing restores what was there before.
void InstallInterceptionEntries(std::uintptr_t (*functionEntryOf)(std::uintptr_t) = nullptr) noexcept;
void RemoveInterceptionEntries() noexcept;
bool InterceptionEntriesInstalled() noexcept;
