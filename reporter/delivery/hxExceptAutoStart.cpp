// Starts the reporter before any other start-up code of the program runs and ends it after the
// program's own shutdown: the delivery side lends the handling flow its routines first.

#include "hxExcept.h"
#include "hxExceptAssistantForms.h"
#include "hxExceptBox.h"
#include "hxExceptHandling.h"
#include "hxExceptSave.h"
#include "hxExceptSend.h"
#include "hxExceptSettings.h"

#include <cstdlib>

namespace {

void EndReporter()
{
    DoneExceptionHooks();
}

class TReporterStart {
public:
    TReporterStart()
    {
        THandlingServices services;
        services.CreateExceptionBox = &CreateExceptionBox;
        services.SaveBugReport = &SaveBugReport;
        // SendBugReport has one more, defaulted parameter.
        services.SendBugReport = [](const std::string& report, const TNVBitmapPtr& screenShot, HWND owner,
                                    bool silent, bool background, IVQException* exception) {
            return SendBugReport(report, screenShot, owner, silent, background, exception);
        };
        services.RunAssistant = &RunAssistant;
        services.RestartApplication = &RestartApplication;
        services.CloseApplication = &CloseApplication;
        SetHandlingServices(services);
        SetBuiltInFormHandlers(&HandleContactForm, &HandleScreenshotForm);
        SetHxAssistantServices(AssistantServices());
        SetRestartHistoryProc(&ExceptionHistory);
        InitExceptionHooks();
        // Registered first, so it runs after every later registration.
        std::atexit(EndReporter);
    }
};

__attribute__((init_priority(101))) TReporterStart reporterStart;

}  // namespace
