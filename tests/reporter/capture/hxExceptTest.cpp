#include "hxExcept.h"

#include "hxExceptSections.h"
#include "hxExceptSupport.h"
#include "hxTools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
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

namespace {

// Runs a child program of the test folder and gives its standard output.
std::string RunChildProgram(const std::string& program, DWORD& exitCode)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0))
        return {};
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::string command = "\"" + FolderOfPath(GetModuleFileNameStr(nullptr)) + program + "\"";
    PROCESS_INFORMATION info{};
    const bool started =
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(outWrite);
    std::string output;
    if (started) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0)
            output.append(buffer, got);
        WaitForSingleObject(info.hProcess, 60000);
        GetExitCodeProcess(info.hProcess, &exitCode);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(outRead);
    return output;
}

} // namespace

// Switched off, the reporter hears no handled exception either.
TEST(HxExcept, SwitchedOffReporterStillGivesCompleteTraceReports)
{
    DWORD exitCode = 99;
    const std::string output = RunChildProgram("hxDisabledChild.exe", exitCode);
    EXPECT_EQ(exitCode, 0u) << output;
    // Nothing is hooked, yet the report has its header, the main thread and the modules plug-in.
    EXPECT_EQ(output.rfind("hooks 0\nhandled 0\n", 0), 0u) << output;
    EXPECT_NE(output.find("\ndate/time"), std::string::npos) << output;
    EXPECT_NE(output.find("\r\nmain thread ($"), std::string::npos) << output;
    EXPECT_NE(output.find("\r\nmodules:\r\n"), std::string::npos) << output;
    EXPECT_NE(output.find("hxDisabledChild.exe"), std::string::npos) << output;
}

TEST(HxExcept, ReporterStartedOnAWorkerKeepsTheProgramsMainThread)
{
    DWORD exitCode = 99;
    const std::string output = RunChildProgram("hxWorkerStartChild.exe", exitCode);
    EXPECT_EQ(exitCode, 0u) << output;
    EXPECT_NE(output.find("hooks 1"), std::string::npos) << output;
    EXPECT_NE(output.find("main same"), std::string::npos) << output;
}
