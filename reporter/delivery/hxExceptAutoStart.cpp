// Starts the reporter before any other start-up code of the program runs and ends it after the
// program's own shutdown: the delivery side lends the handling flow its routines first.

#include "hxExcept.h"
#include "hxExceptBox.h"
#include "hxExceptHandling.h"
#include "hxExceptSave.h"

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
        services.SaveBugReport = [](const std::string& fileName, const std::string& report, HWND owner,
                                    bool noDialog, IVQException* exception) {
            return SaveBugReport(fileName, report, owner, noDialog, exception);
        };
        services.RestartApplication = [] { RestartApplication(); };
        services.CloseApplication = [] { CloseApplication(); };
        SetHandlingServices(services);
        SetRestartHistoryProc(&ExceptionHistory);
        InitExceptionHooks();
        // Registered first, so it runs after every later registration.
        std::atexit(EndReporter);
    }
};

__attribute__((init_priority(101))) TReporterStart reporterStart;

}  // namespace
