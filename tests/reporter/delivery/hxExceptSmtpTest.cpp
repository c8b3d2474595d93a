#include "NetworkTestSupport.h"

#include "hxExceptSend.h"
#include "hxInterfaced.h"

#include <algorithm>
#include <regex>
#include <set>

namespace {

// Test programs reach nothing but loopback addresses, whatever a test's hook says.
const bool g_loopbackOnly = (SetNetworkLoopbackOnly(true), true);

class TFakeProgress : public TInterfaced<IProgressAlert> {
public:
    std::vector<std::pair<std::string, std::int64_t>> Areas;
    int Done = 0;
    std::string GetTitle() override { return {}; }
    void SetTitle(const std::string&) override {}
    int GetPosition() override { return 0; }
    void SetPosition(int) override {}
    void AddArea(const std::string& text, int64_t weight) override { Areas.emplace_back(text, weight); }
    void ClearAreas() override { Areas.clear(); }
    void AreaDone() override { ++Done; }
    int GetCurrentArea() override { return Done; }
    void SetCurrentArea(int index) override { Done = index; }
    void ProcessMessages() override {}
    bool Show(HWND, bool) override { return false; }
    void Close() override {}
};

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

// A reply header: id 0x1234, reply bit, the given error code and counts.
std::string ReplyHead(int rcode, int questions, int answers, int authorities)
{
    return Bytes({0x12, 0x34, 0x81, 0x80 | rcode, 0, questions, 0, answers, 0, authorities, 0, 0});
}

const std::string kQuestion = Bytes({7}) + "example" + Bytes({4}) + "test" + Bytes({0, 0, 15, 0, 1});

std::string Record(int type, const std::string& data)
{
    return Bytes({0xC0, 12, 0, type, 0, 1, 0, 0, 0, 60, 0, static_cast<int>(data.size())}) + data;
}

}  // namespace

TEST(NetworkSeam, TestProgramsReachOnlyLoopback)
{
    ASSERT_TRUE(g_loopbackOnly && IsNetworkLoopbackOnly());
    char flag[8];
    EXPECT_GT(GetEnvironmentVariableA("HIVESWEEP_NET_LOOPBACK_ONLY", flag, sizeof flag), 0u)
        << "every test program starts with the network limited to loopback";
    THxEndpoint target;
    EXPECT_FALSE(ResolveNetworkEndpoint("192.0.2.1", 25, THxNetProtocol::Tcp, target));
    EXPECT_FALSE(ResolveNetworkEndpoint("mail.example.test", 25, THxNetProtocol::Tcp, target));
    EXPECT_FALSE(ResolveNetworkEndpoint("8.8.8.8", 53, THxNetProtocol::Udp, target));
    ASSERT_TRUE(ResolveNetworkEndpoint("127.0.0.1", 25, THxNetProtocol::Tcp, target));
    EXPECT_EQ(target.Address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(target.Port, 25);

    // A hook answering with an outside address is overruled.
    SetNetworkEndpointHook([](const std::string&, std::uint16_t port, THxNetProtocol, THxEndpoint& t) {
        t.Address = htonl(0xC6336407);  // 198.51.100.7
        t.Port = port;
        return true;
    });
    THxWinsock winsock;
    THxNetLink link;
    EXPECT_FALSE(ResolveNetworkEndpoint("127.0.0.1", 80, THxNetProtocol::Tcp, target));
    EXPECT_FALSE(ConnectToServer(nullptr, "relay.example.test", 25, link));
    std::vector<std::string> answers, authorities;
    DnsQuery("example.test", {"192.0.2.53"}, kDnsTypeMx, answers, authorities);
    EXPECT_TRUE(answers.empty());
    SetNetworkEndpointHook(nullptr);
}

TEST(DnsMessage, QueryInLabelForm)
{
    std::string q;
    ASSERT_TRUE(BuildDnsQuery("mail.example.test", kDnsTypeMx, 0xBEEF, q));
    EXPECT_EQ(q, Bytes({0xBE, 0xEF, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 4}) + "mail" + Bytes({7}) + "example" +
                     Bytes({4}) + "test" + Bytes({0, 0, 15, 0, 1}));
    EXPECT_EQ(q.size(), 17 + std::string("mail.example.test").size() + 1);
    std::string dotted;
    ASSERT_TRUE(BuildDnsQuery("mail.example.test.", kDnsTypeMx, 0xBEEF, dotted));
    EXPECT_EQ(dotted, q);
    ASSERT_TRUE(BuildDnsQuery("example.test", kDnsTypeNs, 1, q));
    EXPECT_EQ(q.substr(q.size() - 4), Bytes({0, 2, 0, 1}));

    for (const char* bad : {"", ".", "a..b", ".a", "a.b.."})
        EXPECT_FALSE(BuildDnsQuery(bad, kDnsTypeMx, 1, q)) << bad;
    EXPECT_TRUE(BuildDnsQuery(std::string(63, 'a') + ".test", kDnsTypeMx, 1, q));
    EXPECT_FALSE(BuildDnsQuery(std::string(64, 'a') + ".test", kDnsTypeMx, 1, q));
    std::string longName;
    while (longName.size() < 253)
        longName += longName.empty() ? "a" : ".a";
    EXPECT_TRUE(BuildDnsQuery(longName, kDnsTypeMx, 1, q));
    EXPECT_FALSE(BuildDnsQuery(longName + "a", kDnsTypeMx, 1, q));
}

TEST(DnsMessage, ReplyReading)
{
    // An alias, the exchanger "mx" + the question's name through a pointer, an address record.
    std::string mx = Bytes({0, 10, 2}) + "mx" + Bytes({0xC0, 12});
    std::string reply = ReplyHead(0, 1, 3, 0) + kQuestion + Record(5, Bytes({0xC0, 12})) +
                        Record(15, mx) + Record(1, Bytes({127, 0, 0, 1}));
    std::vector<std::string> answers, authorities;
    ASSERT_TRUE(ParseDnsReply(reply, 0x1234, kDnsTypeMx, answers, authorities));
    EXPECT_EQ(answers, std::vector<std::string>{"mx.example.test"});

    answers.clear();
    EXPECT_FALSE(ParseDnsReply(reply, 0x1235, kDnsTypeMx, answers, authorities));
    std::string query = reply;
    query[2] = 0x01;
    EXPECT_FALSE(ParseDnsReply(query, 0x1234, kDnsTypeMx, answers, authorities));
    EXPECT_FALSE(ParseDnsReply(ReplyHead(3, 1, 0, 0) + kQuestion, 0x1234, kDnsTypeMx, answers, authorities));
    EXPECT_TRUE(answers.empty());

    // A pointer to itself, a pointer past the end, data running past the end: refused, no hang.
    std::size_t at = ReplyHead(0, 1, 1, 0).size() + kQuestion.size() + 12 + 2;
    std::string loop = ReplyHead(0, 1, 1, 0) + kQuestion +
                       Record(15, Bytes({0, 10, 0xC0 | int(at >> 8), int(at & 0xFF)}));
    EXPECT_FALSE(ParseDnsReply(loop, 0x1234, kDnsTypeMx, answers, authorities));
    EXPECT_FALSE(ParseDnsReply(ReplyHead(0, 1, 1, 0) + kQuestion + Record(15, Bytes({0, 10, 0xC1, 0xFF})),
                               0x1234, kDnsTypeMx, answers, authorities));
    std::string cut = ReplyHead(0, 1, 1, 0) + kQuestion + Record(15, mx);
    cut.resize(cut.size() - 3);
    EXPECT_FALSE(ParseDnsReply(cut, 0x1234, kDnsTypeMx, answers, authorities));
    EXPECT_FALSE(ParseDnsReply(ReplyHead(0, 1, 9, 0) + kQuestion, 0x1234, kDnsTypeMx, answers, authorities));
    EXPECT_TRUE(answers.empty());

    // A referral: name servers in the authority section.
    std::string ns = Bytes({3}) + "ns1" + Bytes({0xC0, 12});
    ASSERT_TRUE(ParseDnsReply(ReplyHead(0, 1, 0, 2) + kQuestion + Record(2, ns) + Record(6, Bytes({0})),
                              0x1234, kDnsTypeNs, answers, authorities));
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(authorities, std::vector<std::string>{"ns1.example.test"});
}

namespace {

// A registry value of the local machine set for one test and put back as it was afterwards.
class TMachineValue {
public:
    TMachineValue(const std::string& key, const std::string& name) : name_(name)
    {
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
        DWORD size = 0;
        had_ = key_ && RegQueryValueExA(key_, name.c_str(), nullptr, &type_, nullptr, &size) == ERROR_SUCCESS;
        if (had_) {
            old_.resize(size);
            RegQueryValueExA(key_, name.c_str(), nullptr, &type_, old_.data(), &size);
        }
    }
    ~TMachineValue()
    {
        if (had_)
            RegSetValueExA(key_, name_.c_str(), 0, type_, old_.data(), static_cast<DWORD>(old_.size()));
        else
            RegDeleteValueA(key_, name_.c_str());
        RegCloseKey(key_);
    }
    TMachineValue(const TMachineValue&) = delete;
    TMachineValue& operator=(const TMachineValue&) = delete;

    void Set(const std::string& text)
    {
        RegSetValueExA(key_, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
    }

private:
    std::string name_;
    HKEY key_ = nullptr;
    bool had_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> old_;
};

}  // namespace

// The oldest systems of both families keep their name servers in the registry: the DHCP value
// when it has any, else the fixed one, split at commas or else at blanks.
TEST(DnsServers, OldestSystemsReadTheirNameServersFromTheRegistry)
{
    const std::string nt = "System\\CurrentControlSet\\Services\\Tcpip\\Parameters";
    TMachineValue ntDhcp(nt, "DhcpNameServer"), ntFixed(nt, "NameServer");
    const std::string nine = "System\\CurrentControlSet\\Services\\VxD\\MSTCP";
    TMachineValue nineDhcp(nine, "DhcpNameServer"), nineFixed(nine, "NameServer");
    const TOsInfo nt4 = MakeOsInfo(VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6");
    const TOsInfo win95 = MakeOsInfo(VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950, "");
    using TList = std::vector<std::string>;

    ntDhcp.Set("");
    ntFixed.Set(" 127.0.0.5  127.0.0.6 ");
    EXPECT_EQ(GetDnsServers(nt4), (TList{"127.0.0.5", "127.0.0.6"}));
    ntDhcp.Set("127.0.0.7, 127.0.0.8");
    EXPECT_EQ(GetDnsServers(nt4), (TList{"127.0.0.7", "127.0.0.8"}));

    nineDhcp.Set("");
    nineFixed.Set("127.0.0.9");
    EXPECT_EQ(GetDnsServers(win95), (TList{"127.0.0.9"}));
    // Newer systems ask the IP helper, which knows nothing of these values.
    const TList newer = GetDnsServers(MakeOsInfo(VER_PLATFORM_WIN32_NT, 6, 1, 7601, ""));
    EXPECT_EQ(std::count(newer.begin(), newer.end(), "127.0.0.7"), 0);
    EXPECT_EQ(std::count(newer.begin(), newer.end(), "127.0.0.9"), 0);
}

TEST(SmtpText, AddressesBodySubjectDateAndId)
{
    EXPECT_EQ(AngleAddress("desk@example.test", false), "<desk@example.test>");
    EXPECT_EQ(AngleAddress("Bug Desk <desk@example.test>", false), "<desk@example.test>");
    EXPECT_EQ(AngleAddress("Bug Desk <desk@example.test>", true), "Bug Desk <desk@example.test>");
    std::string list = " a@example.test; b@example.test ,, c@example.test\t";
    EXPECT_EQ(NormalizeRecipientList(list), 3);
    EXPECT_EQ(list, "a@example.test,b@example.test,c@example.test");
    EXPECT_TRUE(HasLineBreakOrNul(std::string("a\0b", 3)));
    EXPECT_TRUE(HasLineBreakOrNul("a\rb"));
    EXPECT_FALSE(HasLineBreakOrNul("a b"));
    EXPECT_EQ(EscapeQuotedName("a\"b\r\nc"), "a%22b%0D%0Ac");

    EXPECT_EQ(PrepareSmtpBody("a\n.b\r\n..c\rd.\r\n.\r\n"), "a\r\n..b\r\n...c\r\nd.\r\n..\r\n");
    EXPECT_EQ(PrepareSmtpBody(".\r\n"), "..\r\n");
    EXPECT_EQ(EncodeMailSubject("Crash: 1 \xE9"), "=?ISO-8859-1?Q?Crash=3A=201=20=E9?=");

    std::regex date(R"(([1-9]|[12][0-9]|3[01]) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d UT)");
    EXPECT_TRUE(std::regex_match(Rfc822DateNow(), date)) << Rfc822DateNow();
    std::set<std::string> ids;
    for (int i = 0; i < 2000; ++i)
        ids.insert(NewMessageId());
    EXPECT_EQ(ids.size(), 2000u);
    EXPECT_TRUE(std::regex_match(*ids.begin(), std::regex("<[0-9a-f]{16}@hxExcept>")));
}

TEST(SmtpText, ProgressAreas)
{
    THxWinsock winsock;
    auto* fake = new TFakeProgress;
    THxSendParams params;
    params.Progress = fake;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string path = std::string(temp) + "hxnet58.bin";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    WriteFile(h, nettest::PatternBytes(58, 1).data(), 58, &done, nullptr);
    CloseHandle(h);
    params.Paths = {path, path + ".missing"};
    EXPECT_EQ(AddSmtpProgressAreas(params, true), 13);
    ASSERT_EQ(fake->Areas.size(), 13u);
    EXPECT_EQ(fake->Areas[0].second, 500);
    EXPECT_EQ(fake->Areas[10].second, 6);  // two lines of Base64, three units each
    EXPECT_EQ(fake->Areas[11].second, 500);
    fake->ClearAreas();
    EXPECT_EQ(AddSmtpProgressAreas(params, false), 12);
    // One set of areas for each mail.
    fake->ClearAreas();
    EXPECT_EQ(AddSmtpProgressAreas(params, true, 2), 13);
    ASSERT_EQ(fake->Areas.size(), 26u);
    EXPECT_EQ(fake->Areas[13].second, 500);
    EXPECT_EQ(fake->Areas[23].second, 6);
    DeleteFileA(path.c_str());
}

using nettest::NetworkTest;

// Direct delivery: one mail for each recipient, each with its own progress areas.
TEST_F(NetworkTest, SendViaInternetMailsEachRecipientDirect)
{
    anyDns_ = "NET_DNS_AUTH";
    udp_["ns1.example.test"] = "NET_DNS_AUTH";
    tcp_[{"mx.example.test", 25}] = "NET_SMTP";
    auto* fake = new TFakeProgress;
    THxSendParams p;
    p.Progress = fake;
    p.Port = 25;
    p.Sender = "each@example.test";
    p.Recipients = "one@example.test; two@example.test";
    p.Subject = "each";
    p.Body = "each body";
    EXPECT_TRUE(SendViaInternet(p));
    // The preparation area, then twelve for each mail.
    EXPECT_EQ(fake->Areas.size(), 25u);
    EXPECT_EQ(fake->Done, 24);
    EXPECT_TRUE(p.SmtpServer.empty());
    ExpectNothingRefused();
}
