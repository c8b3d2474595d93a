#include "hxExceptSend.h"

#include "hxExceptHttp.h"
#include "hxExceptMapi.h"
#include "hxExceptSave.h"
#include "hxExceptSettingsStore.h"
#include "hxExceptSupport.h"
#include "hxStrings.h"
#include "hxZip.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

using Microsoft::WRL::ComPtr;

namespace {

// What a worker thread sends; it owns the record.
struct TSendBugReportExRec {
    std::string Report;
    TNVBitmapPtr ScreenShot;
    bool Silent = false;
    TExceptionPtr Exception;
};

// The sends running on worker threads, which closing and restarting wait for.
std::mutex gRunningLock;
std::condition_variable gRunningChanged;
int gRunningSends = 0;

std::atomic<TConnectedStateProc> gConnectedState{nullptr};

void CountRunningSend(int change)
{
    {
        std::lock_guard<std::mutex> lock(gRunningLock);
        gRunningSends += change;
    }
    gRunningChanged.notify_all();
}

DWORD WINAPI SendThread(void* parameter)
{
    std::unique_ptr<TSendBugReportExRec> record(static_cast<TSendBugReportExRec*>(parameter));
    try {
        SendBugReport(record->Report, record->ScreenShot, nullptr, record->Silent, true, record->Exception.Get(), true);
    } catch (...) {
    }
    record.reset();
    CountRunningSend(-1);
    return 0;
}

void DropTopmost(HWND window)
{
    if (window)
        SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// The first switched-on Internet method decides; the others are not tried.
enum class TInternetMethod { None, SmtpServer, SmtpClient, Http };

TInternetMethod InternetMethod(IVQSettings* settings)
{
    if (settings->GetMailAsSmtpServer())
        return TInternetMethod::SmtpServer;
    if (settings->GetMailAsSmtpClient())
        return TInternetMethod::SmtpClient;
    if (settings->GetUploadViaHttp())
        return TInternetMethod::Http;
    return TInternetMethod::None;
}

}  // namespace

int PngModeOfDepth(int scrShotDepth) noexcept
{
    switch (scrShotDepth) {
    case 4:
        return 1;
    case 51200:
        return 2;
    case 102400:
        return 3;
    case 204800:
        return 4;
    case 307200:
        return 5;
    default:
        return 0;
    }
}

std::string ReportExceptionMessage(const std::string& report)
{
    std::string message = FindReportLine(report, "exception message");
    TrimText(message);
    return message;
}

bool WaitForBackgroundSends(DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(gRunningLock);
    return gRunningChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return gRunningSends == 0; });
}

TConnectedStateProc SetConnectedStateHook(TConnectedStateProc proc) noexcept
{
    return gConnectedState.exchange(proc);
}

bool IsInternetConnected()
{
    if (const TConnectedStateProc replaced = gConnectedState.load()) {
        DWORD flags = 0;
        return replaced(&flags, 0) != 0;
    }
    HMODULE library = LoadLibraryA("wininet.dll");
    if (!library)
        return false;
    const auto connected = reinterpret_cast<TConnectedStateProc>(
        reinterpret_cast<void*>(GetProcAddress(library, "InternetGetConnectedState")));
    DWORD flags = 0;
    const bool online = connected && connected(&flags, 0);
    FreeLibrary(library);
    return online;
}

bool SendViaInternet(THxSendParams& params)
{
    THxWinsock winsock;
    if (!winsock.Started())
        return false;
    const TProgressAlertPtr progress = params.Progress;
    if (progress) {
        progress->ClearAreas();
        // Fixed: the preparation setting belongs to the first area PrepareAttachments adds.
        progress->AddArea("Prepare attachments...", 1000);
    }
    bool sent = false;
    if (!params.HttpServer.empty()) {
        sent = HttpUpload(params);
    } else if (!params.Recipients.empty()) {
        // Through a server one mail goes to all; direct delivery sends each recipient a mail of
        // its own, to the mail exchanger of its domain.
        const bool direct = params.SmtpServer.empty();
        std::vector<std::string> mails;
        if (direct) {
            std::string list = params.Recipients;
            const int count = NormalizeRecipientList(list);
            for (int i = 1; i <= count; ++i)
                mails.push_back(GetField(list, ',', static_cast<std::size_t>(i)));
        } else {
            mails.push_back(params.Recipients);
        }
        const int areas = AddSmtpProgressAreas(params, direct, static_cast<int>(mails.size()));
        AdvanceProgress(progress);
        for (std::size_t i = 0; i < mails.size(); ++i) {
            if (direct)
                params.SmtpServer.clear();
            sent = SendSmtpMail(params, mails[i]) || sent;
            if (progress)
                progress->SetCurrentArea(areas * static_cast<int>(i + 1));
        }
        if (direct)
            params.SmtpServer.clear();
    }
    if (progress)
        progress->Close();
    return sent;
}

namespace {

// PrepareAttachments with the progress areas of the given Internet method.
TPreparedAttachments PrepareAttachmentsFor(TInternetMethod method, IVQException* exception,
                                           IVQAttachments* attachments, bool inWorker, bool silent, HWND ownerWindow)
{
    TPreparedAttachments prepared;
    const std::string title = exception->GetSendBoxTitle();
    prepared.Progress = CreateProgressAlert(title, exception->Module(), "VQISEND32");
    const TProgressAlertPtr& progress = prepared.Progress;
    const int count = attachments ? attachments->GetCount() : 0;
    AddProgressArea(progress, exception->GetPrepAttMsg(), 100);
    if (method != TInternetMethod::None) {
        if (method == TInternetMethod::SmtpServer)
            AddProgressArea(progress, exception->GetMxLookMsg(), 100);
        AddProgressArea(progress, exception->GetConnMsg(), 100);
        if (method == TInternetMethod::Http) {
            AddProgressArea(progress, exception->GetFieldMsg(), 100);
        } else {
            AddProgressArea(progress, exception->GetAuthMsg(), 200);
            AddProgressArea(progress, exception->GetSendMailMsg(), 100);
        }
        if (count > 0)
            AddProgressArea(progress, exception->GetSendAttMsg(), 100);
        AddProgressArea(progress, exception->GetSendFinalMsg(), 100);
    }
    if (progress && (!silent || exception->GetAutoSendBox()))
        progress->Show(inWorker ? nullptr : ownerWindow, true);

    const std::string folder = GetReportTempFolder();
    std::vector<std::string> zipped;
    bool packingFailed = false;
    for (int i = 0; i < count; ++i) {
        std::string file, sendAs, archive, field;
        if (!attachments->Get(i, file, sendAs, archive, field))
            continue;
        if (archive.empty()) {
            prepared.Paths.push_back(file);
            prepared.SendAsNames.push_back(sendAs);
            prepared.FieldNames.push_back(field);
            continue;
        }
        bool done = false;
        for (const std::string& earlier : zipped)
            done = done || SameTextCI(earlier, archive);
        if (done)
            continue;
        zipped.push_back(archive);
        std::vector<std::string> files, names;
        for (int j = i; j < count; ++j) {
            std::string otherFile, otherSendAs, otherArchive, otherField;
            if (attachments->Get(j, otherFile, otherSendAs, otherArchive, otherField) &&
                SameTextCI(otherArchive, archive)) {
                files.push_back(otherFile);
                names.push_back(otherSendAs);
            }
        }
        const std::string zipPath = folder + archive;
        if (folder.empty() || !WriteZipArchive(zipPath, files, names)) {
            packingFailed = true;
            continue;
        }
        prepared.Paths.push_back(zipPath);
        prepared.SendAsNames.push_back(archive);
        prepared.FieldNames.push_back(archive);
    }
    // The user learns that some files could not be packed and are not sent.
    if (packingFailed && progress)
        progress->SetTitle(title + " (some attachments could not be packed and are left out)");
    return prepared;
}

}  // namespace

TPreparedAttachments PrepareAttachments(IVQException* exception, IVQAttachments* attachments, bool inWorker,
                                        bool silent, HWND ownerWindow)
{
    return PrepareAttachmentsFor(InternetMethod(exception), exception, attachments, inWorker, silent, ownerWindow);
}

bool SendBugReport(const std::string& report, const TNVBitmapPtr& screenShot, HWND ownerWindow, bool silent,
                   bool background, IVQException* exception, bool inWorker)
{
    if (!exception)
        return false;
    if (background && !inWorker && !IsLoaderLockHeld()) {
        DropTopmost(ownerWindow);
        auto record = std::make_unique<TSendBugReportExRec>();
        record->Report = report;
        record->ScreenShot = screenShot;
        record->Silent = silent;
        record->Exception = exception;
        CountRunningSend(1);
        if (HANDLE thread = CreateThread(nullptr, 0, SendThread, record.get(), 0, nullptr)) {
            record.release();
            CloseHandle(thread);
            return true;
        }
        CountRunningSend(-1);
    }
    ComPtr<IVQExceptionEx> ex;
    exception->QueryInterface(IID_PPV_ARGS(&ex));

    std::string subject = exception->GetMailSubj();
    std::string body = exception->GetMailBody();
    const std::string recipients = exception->GetMailAddr();
    std::string sender = exception->GetMailFrom();
    if (sender.empty() && !recipients.empty()) {
        std::string list = recipients;
        NormalizeRecipientList(list);
        sender = "hxExcept " + AngleAddress(GetField(list, ',', 1), false);
    }
    const std::string message = ReportExceptionMessage(report);
    subject = ExpandPlaceholders(exception->Module(), subject, message, report);
    body = ExpandPlaceholders(exception->Module(), body, message, report);

    const TInternetMethod method = InternetMethod(exception);
    std::string bugReportFile;
    bool deleteAfterSending = false;
    TPreparedAttachments prepared;
    if (method != TInternetMethod::None || exception->GetMailViaMapi()) {
        TAttachmentsPtr list = NewAttachments();
        const std::string folder = GetReportTempFolder();
        if (exception->GetAttachBugRep()) {
            // The file saving without the dialog writes.
            bugReportFile = BugReportPath(exception);
            if (!folder.empty()) {
                const std::string copy = folder + FileNameOfPath(bugReportFile);
                if (exception->GetAttachBugRepFile()) {
                    if (CopyFileA(bugReportFile.c_str(), copy.c_str(), FALSE))
                        deleteAfterSending = exception->GetDelBugRepFile();
                    else
                        DeleteFileA(copy.c_str());
                }
                if (!ex || !ex->GetSecondFlag())
                    SaveBugReport(copy, report, nullptr, true, exception);
                if (SendFileExists(copy))
                    list->Add(copy, exception->GetBugRepSendAs(), exception->GetBugRepZip(), "BugReport");
            }
        }
        if (screenShot && !folder.empty()) {
            const std::string png = folder + "screenShot.png";
            if (screenShot->SavePng(png, PngModeOfDepth(exception->GetScrShotDepth())))
                list->Add(png, exception->GetScrShotSendAs(), exception->GetScrShotZip(), "ScreenShot");
        }
        if (TAttachmentsPtr extra = exception->AdditionalAttachments()) {
            for (int i = 0; i < extra->GetCount(); ++i) {
                std::string file, sendAs, archive, field;
                if (extra->Get(i, file, sendAs, archive, field))
                    list->Add(file, sendAs, archive, field);
            }
        }
        prepared = PrepareAttachmentsFor(method, exception, list.Get(), inWorker, silent, ownerWindow);
    }

    TFieldsPtr fields;
    if (TFieldsPtr preset = exception->AdditionalFields())
        fields = preset->Clone();
    if (!fields)
        fields = NewFields(nullptr, true);
    if (!sender.empty())
        fields->SetValue("MailFrom", sender);

    bool sent = false;
    THxSendParams params;
    params.Progress = prepared.Progress;
    params.Settings = exception;
    params.Sender = sender;
    params.SendAsNames = prepared.SendAsNames;
    params.Paths = prepared.Paths;
    params.FieldNames = prepared.FieldNames;
    bool ready = false;
    switch (method) {
    case TInternetMethod::SmtpServer:
    case TInternetMethod::SmtpClient:
        // As a server of its own the program mails the exchangers directly; as a client it goes
        // through the configured server.
        params.Recipients = recipients;
        params.Body = body;
        params.Subject = subject;
        params.Port = 25;
        if (method == TInternetMethod::SmtpClient) {
            params.SmtpServer = exception->GetSmtpServer();
            params.Port = exception->GetSmtpPort();
            params.Password = exception->GetSmtpPassword();
            params.Account = exception->GetSmtpAccount();
        }
        ready = !recipients.empty() && (method == TInternetMethod::SmtpServer || !params.SmtpServer.empty());
        break;
    case TInternetMethod::Http:
        params.HttpServer = exception->GetHttpServer();
        params.Port = exception->GetHttpPort();
        params.Password = exception->GetHttpPassword();
        params.Account = exception->GetHttpAccount();
        params.Fields = fields;
        ready = !params.HttpServer.empty();
        break;
    case TInternetMethod::None:
        break;
    }
    if (ready && IsInternetConnected())
        sent = SendViaInternet(params);
    if (prepared.Progress)
        prepared.Progress->Close();

    bool cancelled = false;
    if (!sent && exception->GetMailViaMapi()) {
        const int result = SendViaMapi(recipients, subject, body, silent, ownerWindow, prepared.SendAsNames,
                                       prepared.Paths);
        sent = result == mrSent;
        cancelled = result == mrCancelled;
    }
    if (!sent && !cancelled && exception->GetMailViaMailto() && !silent) {
        // The mail program gets the text only; the file stays.
        deleteAfterSending = false;
        DropTopmost(ownerWindow);
        sent = SendViaMailto(recipients, subject, report);
    }
    if (!sent && !cancelled && !silent)
        HxMessageBox(ownerWindow, exception->GetSendFailMsg().c_str(), nullptr, MB_ICONERROR);
    if (sent) {
        if (ex)
            ex->SetSent(true);
        if (deleteAfterSending) {
            SetFileAttributesA(bugReportFile.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(bugReportFile.c_str());
        }
    }
    return sent;
}
