#include "hxExceptSend.h"

#include "hxExceptMapi.h"
#include "hxExceptSave.h"
#include "hxExceptSettingsStore.h"
#include "hxExceptSupport.h"
#include "hxInterfaced.h"
#include "hxNVBitmap.h"

#include "AssistantTestSupport.h"
#include "DeliveryOutput.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <mapi.h>
#include <wininet.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <string>

namespace {

int gFailureBoxes = 0;
int WINAPI CountFailureBox(HWND, LPCSTR, LPCSTR, UINT)
{
    ++gFailureBoxes;
    return IDOK;
}

using TStubRecord = const char* (*)();
using TStubNextResult = void (*)(ULONG);
using TStubHold = void (*)(HANDLE);

// An exception with the given settings that sends by MAPI only.
TExceptionPtr MapiOnlyException(const TSettingsPtr& settings)
{
    TExceptionParams params;
    params.Kind = ekFreeze;
    params.Settings = settings;
    TExceptionPtr exception = NewExceptionObject(params);
    if (!exception)
        return exception;
    exception->SetPlWaitBox(false);
    exception->SetAutoSendBox(false);
    exception->SetMailAsSmtpServer(false);
    exception->SetMailAsSmtpClient(false);
    exception->SetUploadViaHttp(false);
    exception->SetMailViaMapi(true);
    exception->SetMailViaMailto(false);
    exception->SetMailAddr("support@example.com");
    exception->SetAttachBugRep(false);
    return exception;
}

// An exception whose own settings send by MAPI only, through the stand-in mail library.
class SendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        library_ = LoadLibraryA(stub_.c_str());
        ASSERT_NE(library_, nullptr);
        record_ = reinterpret_cast<TStubRecord>(reinterpret_cast<void*>(GetProcAddress(library_, "MapiStubRecord")));
        next_ = reinterpret_cast<TStubNextResult>(
            reinterpret_cast<void*>(GetProcAddress(library_, "MapiStubNextResult")));
        SetMapiLibraryName(stub_);
        oldBox_ = SetHxMessageBoxHook(CountFailureBox);
        gFailureBoxes = 0;
        exception_ = MapiOnlyException(NewSettings(GetModuleHandleA(nullptr)));
        ASSERT_TRUE(exception_);
        exception_.As(&ex_);
    }
    void TearDown() override
    {
        // Only the stand-in library is ever asked; the system's mail library stays unloaded.
        EXPECT_EQ(GetModuleHandleA("mapi32.dll"), nullptr);
        if (next_)
            next_(SUCCESS_SUCCESS);
        SetMapiLibraryName("");
        SetHxMessageBoxHook(oldBox_);
        FreeLibrary(library_);
    }

    const std::string stub_ = TestProgramFolder() + "hxMapiStub.dll";
    HMODULE library_ = nullptr;
    TStubRecord record_ = nullptr;
    TStubNextResult next_ = nullptr;
    THxMessageBoxProc oldBox_ = nullptr;
    TExceptionPtr exception_;
    Microsoft::WRL::ComPtr<IVQExceptionEx> ex_;
};

// Keeps the texts of the areas it is given.
class TAreaRecorder : public TInterfaced<IProgressAlert> {
public:
    std::vector<std::string> Areas;
    std::string GetTitle() override { return {}; }
    void SetTitle(const std::string&) override {}
    int GetPosition() override { return 0; }
    void SetPosition(int) override {}
    void AddArea(const std::string& text, int64_t) override { Areas.push_back(text); }
    void ClearAreas() override { Areas.clear(); }
    void AreaDone() override {}
    int GetCurrentArea() override { return 0; }
    void SetCurrentArea(int) override {}
    void ProcessMessages() override {}
    bool Show(HWND, bool) override { return false; }
    void Close() override {}
};

} // namespace

TEST(HxExceptSend, TextsTakenFromTheReport)
{
    EXPECT_EQ(ReportExceptionMessage("date/time : x\r\nexception message :  Disk full.\r\nversion : 1"), "Disk full.");
    EXPECT_EQ(ReportExceptionMessage("date/time : x\r\nexception class : E"), "");
    EXPECT_EQ(PngModeOfDepth(8), 0);
    EXPECT_EQ(PngModeOfDepth(4), 1);
    EXPECT_EQ(PngModeOfDepth(307200), 5);
}

// The Internet send starts its areas afresh with a fixed first one, whatever the preparation
// text of the settings says. Without a server or recipients it stops there.
TEST_F(SendTest, InternetSendStartsWithTheFixedPreparationArea)
{
    exception_->SetPrepAttMsg("Preparing attachments...");  // the program's own settings say so
    const Microsoft::WRL::ComPtr<TAreaRecorder> recorder = new TAreaRecorder;
    recorder->AddArea("left over", 1);
    THxSendParams params;
    params.Progress = recorder.Get();
    params.Settings = exception_.Get();
    EXPECT_FALSE(SendViaInternet(params));
    EXPECT_EQ(recorder->Areas, std::vector<std::string>{"Prepare attachments..."});
}

TEST_F(SendTest, AttachmentsSharingAnArchiveAreZippedTogether)
{
    const std::string folder = GetReportTempFolder();
    ASSERT_FALSE(folder.empty());
    const std::string a = folder + "first.txt", b = folder + "second.txt", c = folder + "third.txt";
    WriteFileBytes(a, "first");
    WriteFileBytes(b, "second");
    WriteFileBytes(c, "third");
    TAttachmentsPtr attachments = NewAttachments();
    attachments->Add(a, "one.txt", "pack.zip", "");
    attachments->Add(c, "three.txt", "", "Third");
    attachments->Add(b, "two.txt", "PACK.zip", "");
    const TPreparedAttachments prepared = PrepareAttachments(exception_.Get(), attachments.Get(), false, true, nullptr);
    ASSERT_EQ(prepared.Paths.size(), 2u);
    EXPECT_EQ(prepared.Paths[0], folder + "pack.zip");
    EXPECT_EQ(prepared.SendAsNames[0], "pack.zip");
    EXPECT_EQ(prepared.FieldNames[0], "pack.zip");
    EXPECT_EQ(prepared.Paths[1], c);
    EXPECT_EQ(prepared.FieldNames[1], "Third");
    std::ifstream zip(prepared.Paths[0], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(zip)), std::istreambuf_iterator<char>());
    EXPECT_NE(bytes.find("one.txt"), std::string::npos);
    EXPECT_NE(bytes.find("two.txt"), std::string::npos);
    EXPECT_EQ(bytes.find("three.txt"), std::string::npos);
}

TEST_F(SendTest, AnArchiveThatCannotBeWrittenIsLeftOutAndTheProgressWindowSaysSo)
{
    const std::string folder = GetReportTempFolder();
    ASSERT_FALSE(folder.empty());
    const std::string kept = folder + "kept.txt";
    WriteFileBytes(kept, "kept");
    TAttachmentsPtr attachments = NewAttachments();
    attachments->Add(folder + "no such file.txt", "gone.txt", "gone.zip", "");
    attachments->Add(kept, "kept.txt", "", "");
    const TPreparedAttachments prepared = PrepareAttachments(exception_.Get(), attachments.Get(), false, true, nullptr);
    ASSERT_EQ(prepared.Paths.size(), 1u);
    EXPECT_EQ(prepared.Paths[0], kept);
    EXPECT_EQ(GetFileAttributesA((folder + "gone.zip").c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(prepared.Progress);
    EXPECT_NE(prepared.Progress->GetTitle().find("could not be packed"), std::string::npos)
        << prepared.Progress->GetTitle();
}

TEST_F(SendTest, MapiSendsWithTheReportFileAndMarksTheReportSent)
{
    exception_->SetAttachBugRep(true);
    exception_->SetAttachBugRepFile(false);
    exception_->SetMailSubj("bug report: %exceptMsg%");
    const std::string report = "date/time : now\r\nexception message : It broke!\r\ncallstack crc : x";
    EXPECT_TRUE(SendBugReport(report, nullptr, nullptr, true, false, exception_.Get()));
    const std::string record = record_();
    EXPECT_NE(record.find("subject=bug report: It broke!\n"), std::string::npos) << record;
    EXPECT_NE(record.find("to=1|support@example.com|SMTP:support@example.com"), std::string::npos);
    EXPECT_NE(record.find("|" + exception_->GetBugRepSendAs() + "\n"), std::string::npos);
    EXPECT_EQ(record.rfind("flags=0\n", 0), 0u);
    EXPECT_TRUE(ex_->GetSent());
    EXPECT_EQ(gFailureBoxes, 0);
}

TEST_F(SendTest, TheReportFileAndTheScreenshotGoAlongAndTheFileIsDeletedOnceSent)
{
    const std::string file = TestProgramFolder() + "hxSendTestReports.txt";
    WriteFileBytes(file, "date/time : earlier\r\nexception message : Before.");
    exception_->SetAttachBugRep(true);
    exception_->SetAttachBugRepFile(true);
    exception_->SetDelBugRepFile(true);
    exception_->SetBugRepFile(file);
    exception_->SetBugRepSendAs("bugreport.txt");
    exception_->SetScrShotSendAs("screenshot.png");
    const TNVBitmapPtr shot = PlainBitmap(2, 2, RGB(40, 120, 200));
    ASSERT_TRUE(shot);

    // Not sent: the file stays.
    next_(MAPI_E_FAILURE);
    EXPECT_FALSE(SendBugReport("date/time : now", shot, nullptr, true, false, exception_.Get()));
    EXPECT_NE(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
    next_(SUCCESS_SUCCESS);
    EXPECT_TRUE(SendBugReport("date/time : now", shot, nullptr, true, false, exception_.Get()));
    const std::string record = record_();
    EXPECT_NE(record.find("|bugreport.txt\n"), std::string::npos) << record;
    EXPECT_NE(record.find("|screenshot.png\n"), std::string::npos) << record;
    EXPECT_EQ(GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(SendTest, AReportFileWithoutFolderIsTheOneSavedBesideTheProgram)
{
    // The settings of a library with its own settings, in another folder than the program.
    const std::string libraryPath = TestProgramFolder() + "..\\capture\\" HX_SETTINGS_TEST_DLL;
    HMODULE library = LoadLibraryA(libraryPath.c_str());
    ASSERT_NE(library, nullptr) << libraryPath;
    TExceptionPtr exception = MapiOnlyException(NewSettings(library));
    ASSERT_TRUE(exception);
    ASSERT_EQ(exception->Module(), library);
    const std::string name = "hxSendRelativeReports.txt";
    exception->SetBugRepFile(name);
    exception->SetAttachBugRep(true);
    exception->SetAttachBugRepFile(true);
    exception->SetDelBugRepFile(true);
    exception->SetBugRepSendAs("bugreport.txt");
    const std::string saved = TestProgramFolder() + name;
    DeleteFileA(saved.c_str());
    ASSERT_TRUE(SaveBugReport({}, "date/time : earlier\r\nexception message : Saved.", nullptr, true, exception.Get()));
    ASSERT_NE(GetFileAttributesA(saved.c_str()), INVALID_FILE_ATTRIBUTES);

    EXPECT_TRUE(SendBugReport("date/time : now", nullptr, nullptr, true, false, exception.Get()));
    const std::string record = record_();
    const std::string attached = GetReportTempFolder() + name;
    EXPECT_NE(record.find("|" + attached + "|bugreport.txt\n"), std::string::npos) << record;
    std::ifstream copy(attached, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(copy)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("exception message : Saved."), std::string::npos) << text;
    // Sent: the saved file goes.
    EXPECT_EQ(GetFileAttributesA(saved.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA(saved.c_str());
    exception.Reset();
    FreeLibrary(library);
}

TEST_F(SendTest, CancelledMapiEndsTheChainUnsent)
{
    exception_->SetMailViaMailto(true);
    next_(MAPI_USER_ABORT);
    EXPECT_FALSE(SendBugReport("report", nullptr, nullptr, false, false, exception_.Get()));
    EXPECT_FALSE(ex_->GetSent());
    EXPECT_EQ(gFailureBoxes, 0);

    // A failing MAPI without a mail program to fall back on shows the failure message, unless silent.
    exception_->SetMailViaMailto(false);
    next_(MAPI_E_FAILURE);
    EXPECT_FALSE(SendBugReport("report", nullptr, nullptr, false, false, exception_.Get()));
    EXPECT_EQ(gFailureBoxes, 1);
    EXPECT_FALSE(SendBugReport("report", nullptr, nullptr, true, false, exception_.Get()));
    EXPECT_EQ(gFailureBoxes, 1);
}

namespace {

BOOL WINAPI Offline(LPDWORD flags, DWORD)
{
    *flags = 0;
    return FALSE;
}

BOOL WINAPI Online(LPDWORD flags, DWORD)
{
    *flags = INTERNET_CONNECTION_LAN;
    return TRUE;
}

} // namespace

// Offline, the first switched-on Internet method counts as not sent without a connection attempt,
// the methods below it are not tried, and MAPI comes next.
TEST_F(SendTest, AnOfflineMachineSkipsTheInternetMethodAndMapiFollows)
{
    static std::atomic<int> attempts{0};
    const THxNetworkEndpointHook oldEndpoint =
        SetNetworkEndpointHook([](const std::string&, std::uint16_t, THxNetProtocol, THxEndpoint&) {
            ++attempts;
            return false;
        });
    exception_->SetSmtpServer("127.0.0.1");
    exception_->SetHttpServer("127.0.0.1");
    struct TCase {
        bool SmtpServer, SmtpClient, Http, Online;
    };
    for (const TCase& methods : {TCase{true, true, true, false}, TCase{false, true, true, false},
                                 TCase{false, false, true, false}, TCase{false, true, false, true}}) {
        const std::string name = std::to_string(methods.SmtpServer) + std::to_string(methods.SmtpClient) +
                                 std::to_string(methods.Http) + std::to_string(methods.Online);
        exception_->SetMailAsSmtpServer(methods.SmtpServer);
        exception_->SetMailAsSmtpClient(methods.SmtpClient);
        exception_->SetUploadViaHttp(methods.Http);
        exception_->SetMailSubj("case " + name);
        const TConnectedStateProc oldState = SetConnectedStateHook(methods.Online ? Online : Offline);
        EXPECT_EQ(IsInternetConnected(), methods.Online);
        attempts = 0;
        EXPECT_TRUE(SendBugReport("report", nullptr, nullptr, true, false, exception_.Get())) << name;
        // Online, the SMTP client does try its server (and the hook refuses it).
        EXPECT_EQ(attempts > 0, methods.Online) << name;
        EXPECT_NE(std::string(record_()).find("subject=case " + name + "\n"), std::string::npos) << name;
        SetConnectedStateHook(oldState);
    }
    SetNetworkEndpointHook(oldEndpoint);
}

namespace {

// A restart that starts no new process.
BOOL WINAPI StartNothing(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCSTR,
                         LPSTARTUPINFOA, LPPROCESS_INFORMATION)
{
    return FALSE;
}

} // namespace

TEST_F(SendTest, ClosingAndRestartingWaitForASendStillRunning)
{
    const auto hold = reinterpret_cast<TStubHold>(reinterpret_cast<void*>(GetProcAddress(library_, "MapiStubHold")));
    ASSERT_NE(hold, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    hold(release);
    // The process end records whether the send had finished by then.
    static std::atomic<bool> sentBeforeEnd{false};
    static std::atomic<UINT> endCode{0};
    static IVQExceptionEx* watched = nullptr;
    watched = ex_.Get();
    const TProcessEndProc oldEnd = SetProcessEndHook([](UINT code) {
        sentBeforeEnd = watched->GetSent();
        endCode = code;
        throw 0;
    });
    const TRestartStartProc oldStart = SetRestartStartHook(StartNothing);
    for (const auto& [end, code] : {std::pair{&CloseApplication, 1u}, std::pair{&RestartApplication, 2u}}) {
        ResetEvent(release);
        ex_->SetSent(false);
        EXPECT_TRUE(SendBugReport("report", nullptr, nullptr, true, true, exception_.Get()));
        EXPECT_FALSE(WaitForBackgroundSends(200));
        std::thread ending([end = end] {
            try {
                end();
            } catch (int) {
            }
        });
        EXPECT_FALSE(WaitForBackgroundSends(100));
        SetEvent(release);
        ending.join();
        EXPECT_TRUE(sentBeforeEnd) << code;
        EXPECT_EQ(endCode, code);
        EXPECT_TRUE(WaitForBackgroundSends(10000));
    }
    SetRestartStartHook(oldStart);
    SetProcessEndHook(oldEnd);
    hold(nullptr);
    CloseHandle(release);
}
