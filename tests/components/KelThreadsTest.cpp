#include "Forms.h"
#include "GuiTestSupport.h"
#include "kelComponents.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

using namespace guitest;

namespace {

class KelCustomTimerTest : public GuiTestFailingOnExceptions {};

TEST_F(KelCustomTimerTest, RunsOnlyWithHandlerIntervalAndEnabled) {
    TkelCustomTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_FALSE(timer.Running());  // no handler yet
    int ticks = 0;
    timer.SetInterval(10);
    timer.SetOnTimer([&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++ticks;
    });
    EXPECT_TRUE(timer.Running());
    PumpUntil([&] { return ticks >= 3; });
    timer.SetInterval(0);
    EXPECT_FALSE(timer.Running());
    timer.SetInterval(10);
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.Running());
    // A tick queued before the timer was killed is not delivered.
    const int before = ticks;
    MSG msg;
    while (PeekMessageA(&msg, timer.WindowHandle(), 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    EXPECT_EQ(ticks, before);
}

TEST_F(KelCustomTimerTest, HandlerMayFreeTheTimerAndWindowGoesWithIt) {
    auto timer = new TkelCustomTimer(nullptr);
    const HWND window = timer->WindowHandle();
    ASSERT_TRUE(IsWindow(window));
    bool freed = false;
    timer->SetInterval(5);
    timer->SetOnTimer([&](TObject*) {
        delete timer;
        freed = true;
    });
    PumpUntil([&] { return freed; });
    EXPECT_FALSE(IsWindow(window));
}

}  // namespace
