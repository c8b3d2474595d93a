#pragma once

// The stack walker: every stack slot is a candidate return address; the decoder and the debug
// symbols prove or refute each, and the most plausible chain of calls is printed. On x64 the
// frames the unwind tables prove anchor the chain.

#include "hxStackLines.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One candidate copied while its thread was paused.
struct TDAPreStackItem {
    bool FrameSlot;     // the slot lies on the frame chain
    uintptr_t Address;
};
using TDAPreStackItems = std::vector<TDAPreStackItem>;

struct TTraceStackParams {
    bool HideUglyItems = false;
    bool ShowRelAddrs = false;
    bool ShowRelLines = false;
    uintptr_t StartAddress = 0;         // the exception address or the thread's current instruction
    bool StartAddressGiven = false;
    bool StartIsFault = false;          // else the return address of a call to a raising routine
    uintptr_t StackBottom = 0;          // lowest address read; 0 = the caller's stack position
    uintptr_t StackTop = 0;             // 0 = the top of the current thread's stack
    uintptr_t ExtraFirstFrame = 0;
    uintptr_t FramePointer = 0;         // head of the frame-pointer chain; 0 = none
    const CONTEXT* Context = nullptr;   // x64: the walked thread's registers, unwound for proven frames
    bool SkipLinkChains = false;
    const TDAPreStackItems* PreItems = nullptr;  // replaces reading the stack memory
    const std::atomic<bool>* Cancel = nullptr;
    std::function<void(int perMille)> Progress;
    std::vector<std::string>* UnitEntries = nullptr;  // "module|descriptor", once each
    // Optional outputs.
    uintptr_t* FirstAddress = nullptr;
    uintptr_t* FirstEntryPoint = nullptr;
    uintptr_t* FirstEntryAddress = nullptr;
    uint32_t* Checksum1 = nullptr;      // the three are written only when all are given
    uint32_t* Checksum2 = nullptr;
    uint32_t* Checksum3 = nullptr;
};

// The formatted stack of one thread in Result (empty when the stack cannot be read). Another
// thread is walked paused, with its stack pointer, stack top and Context. Walks of several
// threads run one after the other.
void TraceStack(const TTraceStackParams& params, std::string& result);

// Quick copy of the candidates of a paused thread; returns the number of entries minus one, or 0.
// With Enabled off, or on any failure, Items stays empty. Frame slots come from the frame-pointer
// chain, or on x64 from unwinding Context when one is given.
size_t PreCollectStackItems(uintptr_t framePointer, uintptr_t stackBottom, uintptr_t stackTop,
                            uintptr_t stopValue, bool enabled, TDAPreStackItems& items,
                            const CONTEXT* context = nullptr);

// The highest address of the calling thread's stack.
uintptr_t ThreadStackTop();

// The bytes before Address end in a call instruction.
bool LooksLikeReturnAddress(uintptr_t address, const TDATryRead* ranges = nullptr);

// Return-address slots of the frames the unwind tables prove, from Context upwards, ascending,
// limited to (bottom, top). Empty on i686.
std::vector<uintptr_t> UnwoundFrameSlots(const CONTEXT& context, uintptr_t bottom, uintptr_t top);
