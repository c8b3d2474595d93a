#pragma once

// Rewriting code in memory: single patches that are logged with the bytes they replaced, jumps
// from a routine to a new target, call operands, and the undo of all of it.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// One logged patch: the site, the bytes found there and the bytes written.
struct TPatchRecord {
    void* Address = nullptr;
    std::vector<unsigned char> OldBytes;
    std::vector<unsigned char> NewBytes;
};

// Writes length bytes at address unless the site already holds them; the range is made writable
// for the copy, its protection restored and the instruction cache flushed. True when written
// (and logged); false when the site already held the bytes, is unreadable or cannot be made writable.
bool PatchCode(void* address, const void* bytes, std::size_t length) noexcept;

// The longest jump PatchJump writes: FF 25 00000000 and the 8-byte target.
constexpr std::size_t MaxJumpLength = 14;

// The routine a jump patch lands on: a routine that begins with an indirect jump through an
// import slot (FF 25) is the slot's target; otherwise the routine itself. nullptr when unreadable.
void* PatchJumpSite(void* routine) noexcept;
// The jump from site to target: E9 rel32 when the target is within reach of a 32-bit displacement,
// else the 14-byte absolute form. Returns the length written to out.
std::size_t EncodeJump(const void* site, const void* target, unsigned char (&out)[MaxJumpLength]) noexcept;

// Redirects a routine to target by a jump at the start of PatchJumpSite(routine). Refused when
// the jump would run past the function's end as the x64 unwind table records it.
bool PatchJump(void* routine, const void* target) noexcept;

// Writes a 4-byte instruction operand: a relative call's displacement or an absolute address.
bool PatchCallTarget(void* operand, std::uint32_t value) noexcept;

// Restores the logged sites newest first, each only when it still holds the bytes written by
// PatchCode (someone else's later patch stays), then empties the log.
void UndoPatches() noexcept;

// A copy of the log, oldest first.
std::vector<TPatchRecord> PatchLog();
