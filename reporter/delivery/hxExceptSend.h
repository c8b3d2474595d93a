#pragma once

// Delivering one bug report: the report, the screenshot and the extra attachments become a list
// of files (zipped where the settings ask), then the switched-on methods are tried in a fixed
// order: one Internet method, MAPI, the mail program, and a failure message last.

#include "hxExceptObject.h"
#include "hxExceptSmtp.h"
#include "hxNVBitmap.h"
#include "hxNVPrgrAlert.h"

#include <windows.h>

#include <string>
#include <vector>

// True when the report counts as sent (also at once when a worker thread took it over).
bool SendBugReport(const std::string& report, const TNVBitmapPtr& screenShot, HWND ownerWindow, bool silent,
                   bool background, IVQException* exception, bool inWorker = false);

// Waits until no send runs on a worker thread any more, at most timeoutMs; true when none runs.
bool WaitForBackgroundSends(DWORD timeoutMs);
// What closing and restarting wait for a running send, at most.
constexpr DWORD BackgroundSendWaitMs = 20000;

// The system says the machine is online.
bool IsInternetConnected();

// InternetGetConnectedState, which IsInternetConnected asks; the system's answers true on the test
// machines, so tests put an offline answer in its place. Null restores it; returns the old one.
using TConnectedStateProc = BOOL(WINAPI*)(LPDWORD flags, DWORD reserved);
TConnectedStateProc SetConnectedStateHook(TConnectedStateProc proc) noexcept;

// Runs the one Internet method the parameters describe: the HTTP upload with an HTTP server,
// else SMTP (direct to the exchangers without an SMTP server).
bool SendViaInternet(THxSendParams& params);

struct TPreparedAttachments {
    std::vector<std::string> Paths;
    std::vector<std::string> SendAsNames;
    std::vector<std::string> FieldNames;
    TProgressAlertPtr Progress;
};

// The progress window and the three lists; attachments that share an archive name are zipped
// into the temporary folder together.
TPreparedAttachments PrepareAttachments(IVQException* exception, IVQAttachments* attachments, bool inWorker,
                                        bool silent, HWND ownerWindow);

// The PNG colour mode the screenshot depth setting asks for.
int PngModeOfDepth(int scrShotDepth) noexcept;

// The exception message as the report's header states it; empty when it has none.
std::string ReportExceptionMessage(const std::string& report);
