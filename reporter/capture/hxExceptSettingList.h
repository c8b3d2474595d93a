#pragma once

// Every setting of the reporter with its kind and built-in default, in table order.
// B: boolean, I: integer, IB: integer kept as a boolean record whose integer field holds the
// default (read as an integer), S: string.

#define HX_SETTING_LIST(B, I, IB, S)                                                         \
    B(Enabled, false) S(MinDebugInfo, "") B(NoSettings, true) B(CheckFreeze, false)          \
    I(FreezeTimeout, 60) B(AutoSave, true) B(AutoSaveIfNotSent, true) B(AutoSend, false)     \
    B(AutoSendBox, false) B(AutoClip, true) B(PauseThreads, false) B(PlWaitBox, true)        \
    B(AutoContinue, false) I(AutoRestart, 0) I(AutoClose, 0) I(AutoDelay, 60)                \
    B(SendBtnVis, true) B(SaveBtnVis, false) B(PrintBtnVis, false) B(ShowBtnVis, true)      \
    B(ContinueBtnVis, true) B(RestartBtnVis, true) B(CloseBtnVis, true) IB(FocusedBtn, 0)    \
    S(SendAssis, "") S(SaveAssis, "") S(PrintAssis, "") B(AutoShowBugRep, false)             \
    B(UglyBtns, false) S(MailAddr, "") B(SendInBackgr, true) B(MailAsSmtpServer, false)      \
    B(MailAsSmtpClient, false) B(UploadViaHttp, false) B(MailViaMapi, true)                  \
    B(MailViaMailto, true) S(SmtpServer, "") I(SmtpPort, 25) S(SmtpAccount, "")              \
    S(SmtpPassword, "") S(HttpServer, "") I(HttpPort, 80) S(HttpAccount, "")                 \
    S(HttpPassword, "") S(MailFrom, "") S(AddFields, "") B(AttachBugRep, true)               \
    B(AttachBugRepFile, true) B(DelBugRepFile, true) S(BugRepSendAs, "bugreport.txt")        \
    S(BugRepZip, "") I(ScrShotDepth, 0) B(ScrShotAppOnly, true)                              \
    S(ScrShotSendAs, "screenshot.png") S(ScrShotZip, "") S(AddAttachs, "")                   \
    S(BugRepFile, "bugreport.txt") B(AppendBugReps, true) I(BugRepFileSize, 100000)          \
    B(NoDupExcepts, true) B(NoDupFreezes, true) IB(DupExceptDef, 1) IB(DupFreezeDef, 2)      \
    B(ListThreads, true) B(CpuRegs, true) B(StackDump, true) B(ShowDisAsm, true)             \
    B(HideUglyItems, false) B(ShowRelAddrs, true) B(ShowRelLines, true)                      \
    B(FormatDisAsm, false) I(LimitDisAsm, 5) S(Plugins, "modules|processes|hardware")        \
    S(F1Classes, "") B(F1NoBugRep, false) B(F1NoScrShot, false) B(F1NoHandlers, false)       \
    B(F1NoSuspend, false) IB(F1ShowCfg, 0) S(F1Assis, "")                                    \
    S(F2Classes, "") B(F2NoBugRep, false) B(F2NoScrShot, false) B(F2NoHandlers, false)       \
    B(F2NoSuspend, false) IB(F2ShowCfg, 0) S(F2Assis, "")                                    \
    B(GnNoBugRep, false) B(GnNoScrShot, false) B(GnNoHandlers, false)                        \
    B(GnNoSuspend, false) IB(GnShowCfg, 0) S(GnAssis, "")                                    \
    S(TitleBar, "%appname%") S(ExceptMsg, "An error occurred in the application.")           \
    S(FrozenMsg, "The application seems to be frozen.") S(SendBtnTxt, "send bug report")     \
    S(SaveBtnTxt, "save bug report") S(PrintBtnTxt, "print bug report")                      \
    S(ShowBtnTxt, "show bug report") S(ContinueBtnTxt, "continue bug report")                \
    S(RestartBtnTxt, "restart bug report") S(CloseBtnTxt, "close bug report")                \
    S(OkBtnTxt, "&OK") S(DetailsBtnTxt, "&Details") S(PlWaitTitle, "Information")            \
    S(PlWaitText, "Please wait a moment...") S(MailSubj, "bug report")                       \
    S(MailBody, "please find the bug report attached")                                       \
    S(SendBoxTitle, "Sending bug report...") S(PrepAttMsg, "Prepare attachments...")         \
    S(MxLookMsg, "Searching for mail server...") S(ConnMsg, "Connecting to server...")       \
    S(AuthMsg, "Authentication...") S(SendMailMsg, "Sending mail...")                        \
    S(FieldMsg, "Setting fields...") S(SendAttMsg, "Sending attachments...")                 \
    S(SendFinalMsg, "Finalizing...") S(SendFailMsg, "Sorry, sending the bug report didn't work.") \
    I(VersionVar, 0)
