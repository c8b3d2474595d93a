#include "hxExceptMapi.h"
#include "hxExceptSmtp.h"
#include "hxStrings.h"

#include "DeliveryOutput.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <mapi.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

// The mailto command of the classes root, replaced for one test and put back afterwards.
class TMailtoHandlerScope {
public:
    explicit TMailtoHandlerScope(const std::string& command)
    {
        RegCreateKeyExA(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key_, nullptr);
        char old[1024] = "";
        DWORD size = sizeof old - 1;
        hadOld_ = RegQueryValueExA(key_, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(old), &size) ==
                  ERROR_SUCCESS;
        old_ = old;
        Set(command);
    }
    ~TMailtoHandlerScope()
    {
        if (hadOld_)
            Set(old_);
        else
            RegDeleteValueA(key_, nullptr);
        RegCloseKey(key_);
    }
    TMailtoHandlerScope(const TMailtoHandlerScope&) = delete;
    TMailtoHandlerScope& operator=(const TMailtoHandlerScope&) = delete;

private:
    void Set(const std::string& command)
    {
        RegSetValueExA(key_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>(command.size() + 1));
    }
    HKEY key_ = nullptr;
    bool hadOld_ = false;
    std::string old_;
};

// Runs the mailto send with the recorder as the mail program; its command line, or "" on time-out.
std::string MailtoCommandLine(const std::string& handler, const std::string& subject, const std::string& body,
                              const std::string& recipients = "support@example.com; second@example.com")
{
    const std::string received = TestProgramFolder() + "hxMailtoReceived.txt";
    DeleteFileA(received.c_str());
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, "hxMailtoRecorderDone");
    // The previous recorder may still hold the event, set; it must not count for this one.
    ResetEvent(done);
    std::string commandLine;
    {
        TMailtoHandlerScope scope(handler);
        if (SendViaMailto(recipients, subject, body) &&
            WaitForSingleObject(done, 20000) == WAIT_OBJECT_0) {
            std::ifstream file(received, std::ios::binary);
            std::ostringstream text;
            text << file.rdbuf();
            commandLine = text.str();
        }
    }
    CloseHandle(done);
    return commandLine;
}

using TStubRecord = const char* (*)();
using TStubNextResult = void (*)(ULONG);

} // namespace

TEST(HxExceptMapi, TextsForAddressesAndUrls)
{
    std::string list = " a@example.com ;; b@example.com , ";
    EXPECT_EQ(NormalizeRecipientList(list), 2);
    EXPECT_EQ(list, "a@example.com,b@example.com");
    std::string none = " ; ";
    EXPECT_EQ(NormalizeRecipientList(none), 0);

    std::string name, address;
    SplitMapiRecipient("Support Team <support@example.com>", name, address);
    EXPECT_EQ(name, "Support Team ");
    EXPECT_EQ(address, "SMTP:support@example.com");
    SplitMapiRecipient("plain@example.com", name, address);
    EXPECT_EQ(name, "plain@example.com");
    EXPECT_EQ(address, "SMTP:plain@example.com");

    EXPECT_EQ(EscapeCharSet("a b?c", MakeCharSet(" ?"), '%'), "a%20b%3Fc");
    EXPECT_EQ(EscapeCharSet("x=y", MakeCharSet("="), '='), "x=3Dy");
}

TEST(HxExceptMapi, MapiGetsMessageRecipientsAndFiles)
{
    const std::string stub = TestProgramFolder() + "hxMapiStub.dll";
    HMODULE library = LoadLibraryA(stub.c_str());
    ASSERT_NE(library, nullptr);
    const auto record = reinterpret_cast<TStubRecord>(reinterpret_cast<void*>(GetProcAddress(library, "MapiStubRecord")));
    const auto next = reinterpret_cast<TStubNextResult>(reinterpret_cast<void*>(GetProcAddress(library, "MapiStubNextResult")));
    ASSERT_TRUE(record && next);
    SetMapiLibraryName(stub);

    EXPECT_EQ(SendViaMapi("Support <support@example.com>;x@example.com", "bug report", "see attached", true, nullptr,
                          {"bugreport.txt"}, {"C:\\temp\\report.txt"}),
              mrSent);
    EXPECT_EQ(std::string(record()), "flags=0\nsubject=bug report\nbody=see attached\n"
                                     "to=1|Support |SMTP:support@example.com\nto=1|x@example.com|SMTP:x@example.com\n"
                                     "file=-1|C:\\temp\\report.txt|bugreport.txt\n");
    // Without recipients the mail program asks, silent or not; a cancel is told apart.
    next(MAPI_USER_ABORT);
    EXPECT_EQ(SendViaMapi("", "s", "b", true, nullptr, {}, {}), mrCancelled);
    EXPECT_EQ(std::string(record()).rfind("flags=9\n", 0), 0u);
    next(MAPI_E_FAILURE);
    EXPECT_EQ(SendViaMapi("a@example.com", "s", "b", false, nullptr, {}, {}), mrFailed);

    SetMapiLibraryName("hxNoSuchMailLibrary.dll");
    EXPECT_EQ(SendViaMapi("a@example.com", "s", "b", true, nullptr, {}, {}), mrFailed);
    SetMapiLibraryName("");
    FreeLibrary(library);
}

TEST(HxExceptMapi, MailtoStartsTheRegisteredMailProgram)
{
    const std::string recorder = "\"" + TestProgramFolder() + "hxMailtoRecorder.exe\"";
    // A command with "%1" gets the URL in its place; blanks, "&" and line ends are escaped.
    const std::string withPlaceholder = MailtoCommandLine(recorder + " \"%1\"", "bug report", "A & B\r\nend");
    EXPECT_EQ(withPlaceholder, recorder + " \"mailto:support@example.com,second@example.com"
                                          "?subject=bug%20report&body=A%20%26%20B%0D%0Aend\"");
    // Without "%1" a blank and the URL are appended.
    const std::string appended = MailtoCommandLine(recorder, "s", "b");
    EXPECT_EQ(appended, recorder + " mailto:support@example.com,second@example.com?subject=s&body=b");
    // No length limit: a long body is passed whole.
    const std::string body(400, 'x');
    EXPECT_EQ(MailtoCommandLine(recorder, "s", body), appended.substr(0, appended.size() - 1) + body);
    // A recipient with a name, quotes and angle brackets stays inside the quoted argument.
    EXPECT_EQ(MailtoCommandLine(recorder + " \"%1\"", "s", "b", "Bug \"Desk\" <desk@example.com>; second@example.com"),
              recorder + " \"mailto:Bug%20%22Desk%22%20%3Cdesk@example.com%3E,second@example.com?subject=s&body=b\"");
}

TEST(HxExceptMapi, LongMailtoCommandIsCutWithoutSplittingAnEscape)
{
    const std::string recorder = "\"" + TestProgramFolder() + "hxMailtoRecorder.exe\"";
    const std::string start = recorder + " mailto:support@example.com,second@example.com?subject=s&body=";
    constexpr std::size_t longest = 32766;
    // A blank's escape starting at the last kept character, at the one before it, at the one
    // before that (which fits whole), and none.
    for (const std::size_t escapeAt : {longest - 1, longest - 2, longest - 3, std::size_t{0}}) {
        std::string body(longest + 100 - start.size(), 'x');
        if (escapeAt)
            body[escapeAt - start.size()] = ' ';
        const std::string received = MailtoCommandLine(recorder, "s", body);
        const std::size_t wanted = escapeAt == longest - 1 || escapeAt == longest - 2 ? escapeAt : longest;
        ASSERT_EQ(received.size(), wanted) << escapeAt;
        EXPECT_EQ(received.rfind(start, 0), 0u);
        EXPECT_EQ(received.find('%', wanted - 2), std::string::npos) << escapeAt;
        if (escapeAt == longest - 3) {
            EXPECT_EQ(received.substr(wanted - 3), "%20");
        }
    }
}
