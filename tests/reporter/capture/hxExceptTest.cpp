#include "hxExcept.h"

#include "hxExceptSections.h"
#include "hxTools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

TEST(HxExcept, RoutinesAreFoundByTheirNamesInTheDebugSymbols)
{
    const HMODULE module = GetModuleHandleA(nullptr);
    EXPECT_EQ(FindRoutineByName(module, "ReportedThreads"), reinterpret_cast<void*>(&ReportedThreads));
    EXPECT_EQ(FindRoutineByName(module, "NoRoutineIsCalledLikeThis"), nullptr);
}

TEST(HxExcept, CalibrationRewritesTheHeaderOnlyWithTwentyBytes)
{
    // A copy of the executable's headers stands in for a module.
    const auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    const IMAGE_NT_HEADERS* own = PeNtHeaders(image);
    ASSERT_NE(own, nullptr);
    const std::size_t headerSize = own->OptionalHeader.SizeOfHeaders;
    auto* copy = static_cast<unsigned char*>(VirtualAlloc(nullptr, headerSize, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(copy, nullptr);
    std::memcpy(copy, image, headerSize);
    const auto module = reinterpret_cast<HMODULE>(copy);
    const IMAGE_NT_HEADERS* headers = PeNtHeaders(copy);

    const std::uint32_t values[5] = {0x10, 0x20, 0x3000, 0x4000, 0x500};
    EXPECT_FALSE(ApplyCalibration(module, values, 16));
    EXPECT_EQ(headers->OptionalHeader.SizeOfCode, own->OptionalHeader.SizeOfCode);
    ASSERT_TRUE(ApplyCalibration(module, values, sizeof values));
    EXPECT_EQ(headers->OptionalHeader.SizeOfCode, 0x3000u);
    EXPECT_EQ(headers->OptionalHeader.SizeOfInitializedData, 0x4000u);
    EXPECT_EQ(headers->OptionalHeader.SizeOfUninitializedData, 0x500u);
    const auto codeMark = reinterpret_cast<std::uintptr_t>(&InitExceptionHooks);
    EXPECT_EQ(headers->OptionalHeader.BaseOfCode,
              static_cast<DWORD>(codeMark - 0x10 - reinterpret_cast<std::uintptr_t>(copy)));
    VirtualFree(copy, 0, MEM_RELEASE);
    // The test program carries no calibration.
    EXPECT_FALSE(ApplyCalibration(GetModuleHandleA(nullptr)));
}
