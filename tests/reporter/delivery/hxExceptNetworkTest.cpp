// Dialogues with the loopback servers of the network test driver (check_network.py), which
// checks afterwards what its servers received.
#include "NetworkTestSupport.h"

#include "AssistantTestSupport.h"
#include "hxExceptAssistantForms.h"
#include "hxExceptHttp.h"
#include "hxExceptSend.h"
#include "hxExceptSettingsStore.h"

using nettest::NetworkTest;
using nettest::PatternBytes;

namespace {

void AskLocalServer(std::map<std::string, const char*>& udp)
{
    udp["192.0.2.53"] = "NET_DNS_AUTH";
}

void AskFromTheRoot(std::map<std::string, const char*>& udp)
{
    for (const std::string& root : DnsRootServers())
        udp[root] = "NET_DNS_ROOT";
    udp["ns.tld.test"] = "NET_DNS_TLD";
    udp["ns1.example.test"] = "NET_DNS_AUTH";
}

}  // namespace

TEST_F(NetworkTest, MailExchangerLookup)
{
    AskLocalServer(udp_);
    const std::vector<std::string> local{"192.0.2.53"};
    EXPECT_EQ(FindMailExchangersWith("Bug Desk <desk@example.test>", local), "mx.example.test");
    // No exchanger for the full domain of four labels: its last three labels are asked next.
    EXPECT_EQ(FindMailExchangersWith("x@a.b.example.test", local), "mx2.example.test");
    // Replies from another port and with another id are passed over.
    EXPECT_EQ(FindMailExchangersWith("x@spoof.test", local), "good.example.test");
    EXPECT_EQ(FindMailExchangersWith("x@loop.test", local), "");
    EXPECT_EQ(FindMailExchangersWith("x@mixed.test", local), "mx.mixed.test");
    EXPECT_EQ(FindMailExchangersWith("no domain", local), "");
    AskFromTheRoot(udp_);
    EXPECT_EQ(FindMailExchangersWith("x@example.test", {}), "mx.example.test");
    ExpectNothingRefused();
}

TEST_F(NetworkTest, SmtpThroughServerWithAttachments)
{
    tcp_[{"smtp.example.test", 587}] = "NET_SMTP";
    THxSendParams p;
    p.SmtpServer = "smtp.example.test";
    p.Port = 587;
    p.Account = "bug user";
    p.Password = "s\xE9" "cret";
    p.Sender = "Sender Name <sender@example.test>";
    p.Subject = "Crash: 100% \"bad\"";
    p.Body = "Line one\n.hidden dot\r\n..two\rEnd.";
    p.Paths = {WriteFile("shot.png", PatternBytes(3000, 5)), WriteFile("data.bin", PatternBytes(58, 9)),
               folder_ + "missing.bin", WriteFile("empty.txt", ""), folder_};
    // Missing and empty files and a folder are left out; the mail still goes.
    p.SendAsNames = {"screen shot.png", "da\"ta.bin", "missing.bin", "empty.txt", "folder"};
    EXPECT_TRUE(SendSmtpMail(p, "Bug Desk <desk@example.test>; two@example.test, nobody@example.test"));
    ExpectNothingRefused();
}

TEST_F(NetworkTest, SmtpFailures)
{
    tcp_[{"noauth.example.test", 25}] = "NET_SMTP_NOAUTH";
    tcp_[{"badquit.example.test", 25}] = "NET_SMTP_BADQUIT";
    THxSendParams p;
    p.Port = 25;
    p.Subject = "failure";
    p.Body = "body";
    // Credentials but no AUTH LOGIN offered: QUIT and not sent.
    p.SmtpServer = "noauth.example.test";
    p.Account = "user";
    EXPECT_FALSE(SendSmtpMail(p, "desk@example.test"));
    // No recipient accepted.
    p.SmtpServer = "badquit.example.test";
    p.Account.clear();
    EXPECT_FALSE(SendSmtpMail(p, "nobody@example.test"));
    // The mail went through but QUIT was not answered with 221.
    EXPECT_FALSE(SendSmtpMail(p, "quit@example.test"));
    ExpectNothingRefused();

    // Header injection is refused before anything is sent.
    p.Sender = "a@example.test\r\nBcc: victim@example.test";
    EXPECT_FALSE(SendSmtpMail(p, "desk@example.test"));
    p.Sender.clear();
    EXPECT_FALSE(SendSmtpMail(p, std::string("desk@example.test\0x", 19)));
    EXPECT_FALSE(SendSmtpMail(p, ""));
    ExpectNothingRefused();
}

TEST_F(NetworkTest, SmtpDirectToMailExchanger)
{
    // Whatever DNS servers the machine names are pointed at the test's name server.
    anyDns_ = "NET_DNS_AUTH";
    AskFromTheRoot(udp_);
    tcp_[{"mx.example.test", 25}] = "NET_SMTP";
    THxSendParams p;
    p.Port = 25;
    p.Subject = "direct";
    p.Body = "direct body";
    EXPECT_TRUE(SendSmtpMail(p, "direct@example.test"));
    EXPECT_EQ(p.SmtpServer, "mx.example.test");
    ExpectNothingRefused();
}

namespace {

// An exception for the send driver that mails by the Internet only, without a please-wait box.
TExceptionPtr DriverException()
{
    TExceptionParams params;
    params.Kind = ekFreeze;
    params.Settings = NewSettings(GetModuleHandleA(nullptr));
    TExceptionPtr exception = NewExceptionObject(params);
    if (exception) {
        exception->SetPlWaitBox(false);
        exception->SetMailViaMapi(false);
        exception->SetMailViaMailto(false);
    }
    return exception;
}

}  // namespace

// The send driver with the report file attached, through a configured SMTP server.
TEST_F(NetworkTest, SendDriverMailsTheReport)
{
    tcp_[{"report.example.test", 2525}] = "NET_SMTP";
    TExceptionPtr exception = DriverException();
    ASSERT_TRUE(exception);
    exception->SetMailAsSmtpServer(false);
    exception->SetMailAsSmtpClient(true);
    exception->SetSmtpServer("report.example.test");
    exception->SetSmtpPort(2525);
    exception->SetMailAddr("Bug Desk <desk@example.test>");
    exception->SetMailFrom("driver@example.test");
    exception->SetMailSubj("report: %exceptMsg%");
    exception->SetAttachBugRep(true);
    exception->SetAttachBugRepFile(false);
    exception->SetBugRepSendAs("report.txt");
    EXPECT_TRUE(SendBugReport("date/time : now\r\nexception message : Sent by the driver.", nullptr, nullptr, true,
                              false, exception.Get()));
    ExpectNothingRefused();
}

// As a mail server of its own the send driver mails the exchanger on port 25; the configured
// SMTP server and port are not used.
TEST_F(NetworkTest, SendDriverMailsTheExchangerDirect)
{
    anyDns_ = "NET_DNS_AUTH";
    AskFromTheRoot(udp_);
    tcp_[{"mx.example.test", 25}] = "NET_SMTP";
    TExceptionPtr exception = DriverException();
    ASSERT_TRUE(exception);
    exception->SetMailAsSmtpServer(true);
    exception->SetSmtpServer("unused.example.test");
    exception->SetSmtpPort(2525);
    exception->SetMailAddr("desk@example.test");
    exception->SetMailFrom("directdriver@example.test");
    exception->SetAttachBugRep(false);
    EXPECT_TRUE(SendBugReport("date/time : now", nullptr, nullptr, true, false, exception.Get()));
    ExpectNothingRefused();
}

// What the user types in the send assistant goes with the mail: the contact lines and the error
// details in the attached report. The typed address does not become the sender.
TEST_F(NetworkTest, SendAssistantEntriesReachTheMail)
{
    tcp_[{"report.example.test", 2525}] = "NET_SMTP";
    TExceptionPtr exception = DriverException();
    ASSERT_TRUE(exception);
    exception->SetMailAsSmtpServer(false);
    exception->SetMailAsSmtpClient(true);
    exception->SetSmtpServer("report.example.test");
    exception->SetSmtpPort(2525);
    exception->SetMailAddr("desk@example.test");
    exception->SetMailFrom("nobody.typed@example.test");
    exception->SetAttachBugRep(true);
    exception->SetAttachBugRepFile(false);
    exception->SetBugRepSendAs("assisted.txt");
    SetBuiltInFormHandlers(&HandleContactForm, &HandleScreenshotForm);
    const char* const contactKey = "Software\\hivesweep-tests\\NetworkContactForm";
    const std::string previousKey = SetContactFormRegistryKey(contactKey);
    {
        TNVAssistantPtr assistant = CreateAssistantFromResources(GetModuleHandleA(nullptr), "Send Assistant",
                                                                 {"ContactForm", "DetailsForm"}, exception.Get());
        TScript script({
            [&] {
                TNVFormPtr contact = assistant->GetForm(0);
                Type(Control(contact.Get(), "edtContactName"), "Ann Smith");
                Type(Control(contact.Get(), "edtEmail"), "assisted@example.test");
                SendMessageA(Control(contact.Get(), "chkContactMe"), BM_CLICK, 0, 0);
            },
            [&] { SendMessageA(Control(assistant->GetForm(0).Get(), "ContinueBtn"), BM_CLICK, 0, 0); },
            [&] { Type(Control(assistant->GetForm(1).Get(), "mmoErrorDetails"), "It broke\rwhen I pressed Delete."); },
            [&] { SendMessageA(Control(assistant->GetForm(1).Get(), "ContinueBtn"), BM_CLICK, 0, 0); },
        });
        EXPECT_TRUE(RunAssistant(assistant.Get(), nullptr, exception.Get()));
    }
    SetContactFormRegistryKey(previousKey);
    SetBuiltInFormHandlers(nullptr, nullptr);
    RegDeleteTreeA(HKEY_CURRENT_USER, contactKey);
    EXPECT_TRUE(SendBugReport(exception->GetBugReport(), nullptr, nullptr, true, false, exception.Get()));
    ExpectNothingRefused();
}

TEST_F(NetworkTest, HttpUpload)
{
    tcp_[{"upload.example.test", 80}] = "NET_HTTP";
    auto previous = SetSystemProxyHook([] { return std::string(); });
    THxSendParams p;
    p.HttpServer = "http://upload.example.test/bugs/post.php";
    p.Port = 80;
    p.Sender = "sender@example.test";
    p.Account = "user";
    p.Fields = NewFields(nullptr, true);
    p.Fields->Add("Name", "Value");
    p.Fields->Add("Quo\"te", "two\r\nlines");
    p.Paths = {WriteFile("report.txt", PatternBytes(10, 3)), WriteFile("up.png", PatternBytes(3000, 7)),
               WriteFile("none.txt", ""), folder_ + "missing.txt"};
    p.SendAsNames = {"bugreport.txt", "shot.png", "none.txt", "missing.txt"};
    p.FieldNames = {"BugReport", "ScreenShot", "None", "Missing"};
    EXPECT_TRUE(HttpUpload(p));

    p.Fields.Reset();
    p.Paths.resize(1);
    p.Account.clear();
    p.HttpServer = "upload.example.test/moved";
    EXPECT_FALSE(HttpUpload(p));
    p.HttpServer = "https://upload.example.test/split";
    EXPECT_TRUE(HttpUpload(p));
    p.HttpServer = "http://upload.example.test/bugs/post.php\r\nX-Evil: 1";
    EXPECT_FALSE(HttpUpload(p));
    ExpectNothingRefused();

    SetSystemProxyHook([] { return std::string("http=proxy.example.test:8080;https=other.example.test:1"); });
    tcp_[{"proxy.example.test", 8080}] = "NET_HTTP";
    p.HttpServer = "http://upload.example.test/viaproxy";
    EXPECT_TRUE(HttpUpload(p));
    SetSystemProxyHook(previous);
    ExpectNothingRefused();
}

// The user's proxy settings in the test prefix, put back as they were at the end.
class TUserProxySettings {
public:
    TUserProxySettings() {
        RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
        for (TKept& value : kept_) {
            DWORD size = 0;
            value.Present = key_ && RegQueryValueExA(key_, value.Name, nullptr, &value.Type, nullptr, &size) ==
                                        ERROR_SUCCESS;
            value.Data.resize(size);
            if (value.Present && size > 0)
                RegQueryValueExA(key_, value.Name, nullptr, &value.Type, value.Data.data(), &size);
        }
    }
    ~TUserProxySettings() {
        if (!key_)
            return;
        for (const TKept& value : kept_)
            if (value.Present)
                RegSetValueExA(key_, value.Name, 0, value.Type, value.Data.data(), static_cast<DWORD>(value.Data.size()));
            else
                RegDeleteValueA(key_, value.Name);
        RegCloseKey(key_);
    }
    TUserProxySettings(const TUserProxySettings&) = delete;
    TUserProxySettings& operator=(const TUserProxySettings&) = delete;

    bool Opened() const { return key_ != nullptr; }
    void SetServer(const std::string& server) {
        RegSetValueExA(key_, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                       static_cast<DWORD>(server.size() + 1));
    }
    void Enable(DWORD on) {
        RegSetValueExA(key_, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
    }

private:
    static constexpr const char* kKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    struct TKept {
        const char* Name;
        DWORD Type = 0;
        std::vector<BYTE> Data;
        bool Present = false;
    };
    HKEY key_ = nullptr;
    TKept kept_[2] = {{"ProxyEnable", 0, {}, false}, {"ProxyServer", 0, {}, false}};
};

// The system's proxy counts only while the system says to use it.
TEST(HttpProxy, OnlyAProxyTheSystemUsesCounts)
{
    TUserProxySettings settings;
    ASSERT_TRUE(settings.Opened());
    const char server[] = "127.0.0.1:3128";
    settings.SetServer(server);
    settings.Enable(0);
    EXPECT_EQ(GetSystemProxy(), "");
    settings.Enable(1);
    EXPECT_EQ(GetSystemProxy(), server);
}

// A system proxy list without an entry for http leaves plain http direct.
TEST_F(NetworkTest, HttpUploadGoesDirectPastProxiesForOtherProtocols)
{
    tcp_[{"upload.example.test", 80}] = "NET_HTTP";
    TUserProxySettings settings;
    ASSERT_TRUE(settings.Opened());
    settings.SetServer("ftp=127.0.0.1:1;https=127.0.0.1:1");
    settings.Enable(1);
    ASSERT_NE(GetSystemProxy(), "");
    THxSendParams p;
    p.HttpServer = "http://upload.example.test/direct";
    p.Port = 80;
    p.Paths = {WriteFile("report.txt", PatternBytes(10, 3))};
    p.SendAsNames = {"bugreport.txt"};
    p.FieldNames = {"BugReport"};
    EXPECT_TRUE(HttpUpload(p));
    ExpectNothingRefused();
}

// A report file that is there but cannot be read fails the upload, so that the next method runs.
TEST_F(NetworkTest, HttpUploadFailsOnAnAttachmentThatDoesNotOpen)
{
    tcp_[{"upload.example.test", 80}] = "NET_HTTP";
    auto previous = SetSystemProxyHook([] { return std::string(); });
    THxSendParams p;
    p.HttpServer = "http://upload.example.test/locked";
    p.Port = 80;
    p.Paths = {WriteFile("report.txt", PatternBytes(10, 3)), WriteFile("locked.png", PatternBytes(50, 1))};
    p.SendAsNames = {"bugreport.txt", "shot.png"};
    p.FieldNames = {"BugReport", "ScreenShot"};
    HANDLE locked = CreateFileA(p.Paths[1].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(HttpUpload(p));
    CloseHandle(locked);
    SetSystemProxyHook(previous);
    ExpectNothingRefused();
}
