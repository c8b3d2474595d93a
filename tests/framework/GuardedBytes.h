#pragma once

// Bytes placed right before an inaccessible page, for readers that must stop at the end of
// their input: a read past the bytes faults, and the fault ends the process at once rather
// than waiting in a debugger.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <span>
#include <string>

class TGuardedBytes {
public:
    explicit TGuardedBytes(size_t capacity) : previous_(SetUnhandledExceptionFilter(&Fault)) {
        const size_t pages = (capacity + 4095) / 4096;
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, (pages + 1) * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        EXPECT_TRUE(base_ && VirtualProtect(base_ + pages * 4096, 4096, PAGE_NOACCESS, &old));
        end_ = base_ + pages * 4096;
    }
    TGuardedBytes(const TGuardedBytes&) = delete;
    TGuardedBytes& operator=(const TGuardedBytes&) = delete;
    ~TGuardedBytes() {
        VirtualFree(base_, 0, MEM_RELEASE);
        SetUnhandledExceptionFilter(previous_);
    }

    // Copies count bytes so that the last one ends right before the guard page.
    std::span<unsigned char> Place(const unsigned char* data, size_t count) {
        if (count)
            std::memcpy(end_ - count, data, count);
        return {end_ - count, count};
    }
    const unsigned char* Place(const std::string& bytes) {
        return Place(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()).data();
    }

private:
    static LONG WINAPI Fault(EXCEPTION_POINTERS* info) {
        std::fprintf(stderr, "Fault %08lx: read past the end of guarded bytes\n",
                     static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
        std::fflush(stderr);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    LPTOP_LEVEL_EXCEPTION_FILTER previous_;
    unsigned char* base_;
    unsigned char* end_;
};
