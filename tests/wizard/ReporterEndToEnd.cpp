// The real program fails in a thread that jumps to an address holding no code, as a broken
// component of the program would; its exception box is read and answered from outside.

#include "ProgramDriver.h"
#include "ScreenshotSupport.h"

#include <commctrl.h>

using driver::ClassOf;
using driver::Click;
using driver::FindChild;
using driver::WindowText;

namespace {

class ReporterEndToEnd : public driver::TProgramTest {
protected:
    // Starts a thread in the program at an address where no code lies.
    void PlantFailure()
    {
        const auto nowhere = reinterpret_cast<LPTHREAD_START_ROUTINE>(static_cast<std::uintptr_t>(0x10));
        HANDLE thread = CreateRemoteThread(process_.hProcess, nullptr, 0, nowhere, nullptr, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        CloseHandle(thread);
    }
    HWND WaitForExceptionBox()
    {
        return WaitForTopLevel([](HWND window) { return ClassOf(window) == "hxExceptWndClass" && IsWindowVisible(window); });
    }
};

} // namespace

TEST_F(ReporterEndToEnd, FailureShowsTheBoxWithItsDetailsAndCloseEndsTheProgram)
{
    Start();
    PlantFailure();
    HWND box = WaitForExceptionBox();
    ASSERT_NE(box, nullptr) << "no exception box";
    EXPECT_EQ(WindowText(box), "hivesweep");
    // The program's settings show these three buttons.
    EXPECT_NE(FindChild(box, "Button", "mail bug report"), nullptr);
    EXPECT_NE(FindChild(box, "Button", "show bug report"), nullptr);
    HWND close = FindChild(box, "Button", "close application");
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(FindChild(box, "Button", "continue application"), nullptr);
    EXPECT_TRUE(guitest::SaveWindowScreenshot(box, "ReporterBox"));

    // Show: the box comes again with the report in tabs.
    Click(FindChild(box, "Button", "show bug report"));
    HWND details = nullptr;
    HWND tabs = nullptr;
    WaitUntil([&] {
        details = WaitForExceptionBox();
        tabs = details && details != box ? FindChild(details, "SysTabControl32", "") : nullptr;
        return tabs != nullptr;
    });
    ASSERT_NE(tabs, nullptr) << "no details view";
    WaitUntil([&] { return SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0) >= 5; });
    EXPECT_GE(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 5);
    EXPECT_TRUE(guitest::SaveWindowScreenshot(details, "ReporterBoxDetails"));

    Click(FindChild(details, "Button", "close application"));
    EXPECT_EQ(WaitForExit(), 1u);
}
