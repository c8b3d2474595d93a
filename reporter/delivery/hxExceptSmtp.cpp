#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include "hxExceptSmtp.h"

#include "hxCrypt.h"
#include "hxExceptSupport.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>

namespace {

constexpr std::size_t kMaxReply = 64 * 1024;
constexpr int kReplyWaitSeconds = 7;

std::mutex g_hookLock;
THxNetworkEndpointHook g_hook;
// -1: not yet decided; the test environment sets HIVESWEEP_NET_LOOPBACK_ONLY for every program.
std::atomic<int> g_loopbackOnly{-1};

bool LoopbackOnly()
{
    int state = g_loopbackOnly;
    if (state < 0) {
        char value[8];
        state = GetEnvironmentVariableA("HIVESWEEP_NET_LOOPBACK_ONLY", value, sizeof value) > 0 ? 1 : 0;
        int expected = -1;
        g_loopbackOnly.compare_exchange_strong(expected, state);
        state = g_loopbackOnly;
    }
    return state == 1;
}

bool IsLoopback(std::uint32_t addressNetOrder)
{
    return (ntohl(addressNetOrder) >> 24) == 127;
}

// A dotted address in strict form only (four decimal parts).
bool ParseDotted(const std::string& host, std::uint32_t& address)
{
    int parts = 0;
    std::uint32_t value = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::size_t start = i;
        unsigned part = 0;
        while (i < host.size() && host[i] >= '0' && host[i] <= '9' && i - start < 3)
            part = part * 10 + unsigned(host[i++] - '0');
        if (i == start || part > 255)
            return false;
        value = (value << 8) | part;
        ++parts;
        if (parts < 4) {
            if (i >= host.size() || host[i] != '.')
                return false;
            ++i;
        }
    }
    if (i != host.size())
        return false;
    address = htonl(value);
    return true;
}

bool DefaultResolve(const std::string& host, std::uint16_t port, THxEndpoint& target)
{
    std::uint32_t address = 0;
    if (!ParseDotted(host, address)) {
        if (LoopbackOnly() || host.empty())
            return false;
        hostent* entry = gethostbyname(host.c_str());
        if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list ||
            !entry->h_addr_list[0])
            return false;
        std::memcpy(&address, entry->h_addr_list[0], 4);
    }
    target.Address = address;
    target.Port = port;
    return true;
}

sockaddr_in ToSockAddr(const THxEndpoint& endpoint)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = endpoint.Address;
    a.sin_port = htons(endpoint.Port);
    return a;
}

struct TSocketOwner {
    SOCKET s = INVALID_SOCKET;
    explicit TSocketOwner(SOCKET socket) : s(socket) {}
    TSocketOwner(const TSocketOwner&) = delete;
    TSocketOwner& operator=(const TSocketOwner&) = delete;
    ~TSocketOwner() {
        if (s != INVALID_SOCKET)
            closesocket(s);
    }
};

// True when the socket becomes readable within the time.
bool WaitReadable(SOCKET s, long milliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &wait) > 0;
}

std::uint16_t RandomQueryId()
{
    static std::mutex lock;
    static std::mt19937 engine{std::random_device{}() ^ GetTickCount() ^ GetCurrentProcessId()};
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<std::uint16_t>(engine() & 0xFFFF);
}

// --- DNS reply reading ---

struct TDnsReader {
    std::string_view msg;
    std::size_t pos = 12;

    bool U16(std::uint16_t& value) {
        if (pos + 2 > msg.size())
            return false;
        value = static_cast<std::uint16_t>((static_cast<unsigned char>(msg[pos]) << 8) |
                                           static_cast<unsigned char>(msg[pos + 1]));
        pos += 2;
        return true;
    }

    // Reads the name at offset, following at most 32 pointers; end is where the name ends in
    // place (after the first pointer, or after the zero byte).
    bool NameAt(std::size_t offset, std::string& name, std::size_t& end) const {
        name.clear();
        bool jumped = false;
        int hops = 0;
        for (;;) {
            if (offset >= msg.size())
                return false;
            unsigned char length = static_cast<unsigned char>(msg[offset]);
            if ((length & 0xC0) == 0xC0) {
                if (offset + 1 >= msg.size() || ++hops > 32)
                    return false;
                std::size_t target = (std::size_t(length & 0x3F) << 8) |
                                     static_cast<unsigned char>(msg[offset + 1]);
                if (!jumped)
                    end = offset + 2;
                jumped = true;
                offset = target;
                continue;
            }
            if (length & 0xC0)
                return false;
            if (length == 0) {
                if (!jumped)
                    end = offset + 1;
                return true;
            }
            if (offset + 1 + length > msg.size() || name.size() + length + 1 > 255)
                return false;
            if (!name.empty())
                name += '.';
            name.append(msg.substr(offset + 1, length));
            offset += 1 + length;
        }
    }

    bool SkipName() {
        std::string ignored;
        return NameAt(pos, ignored, pos);
    }

    // One record; its target name only when it has the wanted type.
    bool Record(std::uint16_t wanted, std::vector<std::string>& out) {
        std::uint16_t type = 0, cls = 0, ttlHigh = 0, ttlLow = 0, length = 0;
        if (!SkipName() || !U16(type) || !U16(cls) || !U16(ttlHigh) || !U16(ttlLow) || !U16(length))
            return false;
        std::size_t data = pos;
        if (data + length > msg.size())
            return false;
        pos = data + length;
        if (type != wanted)
            return true;
        std::size_t nameStart = data + (type == kDnsTypeMx ? 2 : 0);
        if (nameStart >= data + length)
            return false;
        std::string name;
        std::size_t ignored = 0;
        if (!NameAt(nameStart, name, ignored))
            return false;
        if (!name.empty())
            out.push_back(name);
        return true;
    }
};

void CloseSocketValue(std::uintptr_t& socket)
{
    if (socket != ~std::uintptr_t(0)) {
        closesocket(static_cast<SOCKET>(socket));
        socket = ~std::uintptr_t(0);
    }
}

const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// One attachment as a base64 MIME part; false ends the parts.
bool SendMailPart(THxNetLink& link, const TProgressAlertPtr& progress, const std::string& path,
                  const std::string& sendAs)
{
    THxSendFile file(path);
    if (!file.Opened())
        return false;
    if (file.Size() == 0)
        return true;
    std::string type = SameTextCI(RightPart(path, 4), ".png") ? "image/png" : "application/octet-stream";
    std::string name = EscapeQuotedName(sendAs);
    std::string head = "--" + std::string(kMultipartBoundary) + "\r\n";
    head += "Content-Type: " + type + "; name=\"" + name + "\"\r\n";
    head += "Content-Transfer-Encoding: base64\r\n";
    head += "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n";
    if (!SocketSendText(link, head))
        return false;
    // One line of Base64 per 57 bytes.
    bool started = false;
    const bool whole = file.Stream(57, progress, [&](std::string_view piece) {
        started = true;
        return SocketSendText(link, Base64EncodeStr(piece) + "\r\n");
    });
    // A part cut short after its first line ends with an empty line.
    if (!whole && started)
        SocketSendText(link, "\r\n");
    return whole;
}

}  // namespace

// --- Seam ---

THxNetworkEndpointHook SetNetworkEndpointHook(THxNetworkEndpointHook hook)
{
    std::lock_guard<std::mutex> guard(g_hookLock);
    std::swap(g_hook, hook);
    return hook;
}

void SetNetworkLoopbackOnly(bool on)
{
    g_loopbackOnly = on ? 1 : 0;
}

bool IsNetworkLoopbackOnly()
{
    return LoopbackOnly();
}

bool ResolveNetworkEndpoint(const std::string& host, std::uint16_t port, THxNetProtocol protocol,
                            THxEndpoint& target)
{
    THxNetworkEndpointHook hook;
    {
        std::lock_guard<std::mutex> guard(g_hookLock);
        hook = g_hook;
    }
    THxEndpoint result;
    bool ok = hook ? hook(host, port, protocol, result) : DefaultResolve(host, port, result);
    if (!ok || result.Port == 0 || (LoopbackOnly() && !IsLoopback(result.Address)))
        return false;
    target = result;
    return true;
}

// --- Addresses ---

std::string AngleAddress(std::string_view address, bool keepWhole)
{
    std::size_t open = address.find('<');
    if (open == std::string_view::npos)
        return "<" + std::string(address) + ">";
    return keepWhole ? std::string(address) : std::string(address.substr(open));
}

int NormalizeRecipientList(std::string& list)
{
    std::replace(list.begin(), list.end(), ';', ',');
    list = TidySeparatedList(list, ',');
    // A separator at either end would count an empty recipient.
    const std::size_t first = list.find_first_not_of(',');
    list = first == std::string::npos ? std::string() : list.substr(first, list.find_last_not_of(',') - first + 1);
    return list.empty() ? 0 : static_cast<int>(CountFields(list, ','));
}

bool HasLineBreakOrNul(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string EscapeQuotedName(std::string_view name)
{
    std::string out;
    for (char c : name) {
        if (c == '"')
            out += "%22";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

// --- DNS ---

bool BuildDnsQuery(std::string_view domain, std::uint16_t type, std::uint16_t id, std::string& query)
{
    if (!domain.empty() && domain.back() == '.')
        domain.remove_suffix(1);
    if (domain.empty() || domain.size() > 253)
        return false;
    std::string q(12, '\0');
    q[0] = static_cast<char>(id >> 8);
    q[1] = static_cast<char>(id & 0xFF);
    q[2] = 0x01;
    q[5] = 0x01;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = domain.find('.', start);
        std::size_t end = dot == std::string_view::npos ? domain.size() : dot;
        std::size_t length = end - start;
        if (length == 0 || length > 63)
            return false;
        q += static_cast<char>(length);
        q.append(domain.substr(start, length));
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    q += '\0';
    q += static_cast<char>(type >> 8);
    q += static_cast<char>(type & 0xFF);
    q += '\0';
    q += '\1';
    query = std::move(q);
    return true;
}

bool ParseDnsReply(std::string_view reply, std::uint16_t id, std::uint16_t type,
                   std::vector<std::string>& answers, std::vector<std::string>& authorities)
{
    if (reply.size() < 12)
        return false;
    auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(reply[i]); };
    if (((byteAt(0) << 8) | byteAt(1)) != id || !(byteAt(2) & 0x80) || (byteAt(3) & 0x0F) != 0)
        return false;
    TDnsReader reader{reply};
    std::uint16_t questions = static_cast<std::uint16_t>((byteAt(4) << 8) | byteAt(5));
    std::uint16_t answerCount = static_cast<std::uint16_t>((byteAt(6) << 8) | byteAt(7));
    std::uint16_t authorityCount = static_cast<std::uint16_t>((byteAt(8) << 8) | byteAt(9));
    for (unsigned i = 0; i < questions; ++i) {
        std::uint16_t ignored = 0;
        if (!reader.SkipName() || !reader.U16(ignored) || !reader.U16(ignored))
            return false;
    }
    for (unsigned i = 0; i < answerCount; ++i)
        if (!reader.Record(type, answers))
            return false;
    if (type == kDnsTypeNs)
        for (unsigned i = 0; i < authorityCount; ++i)
            if (!reader.Record(kDnsTypeNs, authorities))
                return false;
    return true;
}

std::vector<std::string> GetDnsServers()
{
    return GetDnsServers(GetOsInfo());
}

std::vector<std::string> GetDnsServers(const TOsInfo& os)
{
    std::vector<std::string> result;
    if (os.Kind == okWin95 || os.Kind == okWin95Osr2 || os.Kind == okWinNt3 || os.Kind == okWinNt4) {
        std::string key = std::string("System\\CurrentControlSet\\Services\\") +
                          (os.Is9x ? "VxD\\MSTCP" : "Tcpip\\Parameters");
        std::string text = RegReadText(HKEY_LOCAL_MACHINE, key, "DhcpNameServer", false);
        if (text.empty())
            text = RegReadText(HKEY_LOCAL_MACHINE, key, "NameServer", false);
        char separator = text.find(',') != std::string::npos ? ',' : ' ';
        std::size_t count = CountFields(text, separator);
        for (std::size_t i = 1; i <= count; ++i) {
            std::string item = GetField(text, separator, i);
            TrimText(item);
            if (!item.empty())
                result.push_back(item);
        }
        return result;
    }
    HMODULE library = LoadLibraryA("IpHlpApi.dll");
    if (!library)
        return result;
    using TGetNetworkParams = DWORD(WINAPI*)(PFIXED_INFO, PULONG);
    auto getParams = reinterpret_cast<TGetNetworkParams>(
        reinterpret_cast<void*>(GetProcAddress(library, "GetNetworkParams")));
    ULONG size = 0;
    if (getParams && getParams(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size > 0) {
        std::vector<unsigned char> buffer(std::size_t(size) * 2);
        size = static_cast<ULONG>(buffer.size());
        auto* info = reinterpret_cast<PFIXED_INFO>(buffer.data());
        if (getParams(info, &size) == ERROR_SUCCESS) {
            auto text = [](const IP_ADDR_STRING& a) {
                return std::string(a.IpAddress.String, strnlen(a.IpAddress.String, sizeof a.IpAddress.String));
            };
            if (info->CurrentDnsServer) {
                std::string current = text(*info->CurrentDnsServer);
                if (!current.empty())
                    result.push_back(current);
            }
            int guard = 0;
            for (const IP_ADDR_STRING* a = &info->DnsServerList; a && guard < 64; a = a->Next, ++guard) {
                std::string address = text(*a);
                if (!address.empty() && (result.empty() || address != result.front()))
                    result.push_back(address);
            }
        }
    }
    FreeLibrary(library);
    return result;
}

void DnsQuery(const std::string& domain, const std::vector<std::string>& servers,
              std::uint16_t type, std::vector<std::string>& answers,
              std::vector<std::string>& authorities)
{
    answers.clear();
    authorities.clear();
    std::uint16_t id = RandomQueryId();
    std::string query;
    if (!BuildDnsQuery(domain, type, id, query))
        return;
    TSocketOwner sock(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (sock.s == INVALID_SOCKET)
        return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (bind(sock.s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return;
    std::vector<THxEndpoint> asked;
    int sent = 0;
    for (const std::string& server : servers) {
        THxEndpoint target;
        if (!ResolveNetworkEndpoint(server, 53, THxNetProtocol::Udp, target))
            continue;
        sockaddr_in to = ToSockAddr(target);
        if (sendto(sock.s, query.data(), static_cast<int>(query.size()), 0,
                   reinterpret_cast<sockaddr*>(&to), sizeof to) == static_cast<int>(query.size())) {
            ++sent;
            asked.push_back(target);
        }
    }
    char buffer[512];
    // Stray datagrams do not prolong the wait; only a counted reply starts it again.
    ULONGLONG deadline = GetTickCount64() + 5000;
    while (sent > 0) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline || !WaitReadable(sock.s, static_cast<long>(deadline - now)))
            break;
        sockaddr_in from{};
        int fromLength = sizeof from;
        int got = recvfrom(sock.s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                           &fromLength);
        if (got == SOCKET_ERROR) {
            // A port-unreachable answer to one of the datagrams; others may still reply.
            if (WSAGetLastError() == WSAECONNRESET) {
                --sent;
                deadline = GetTickCount64() + 5000;
                continue;
            }
            break;
        }
        bool known = std::any_of(asked.begin(), asked.end(), [&](const THxEndpoint& e) {
            return e.Address == from.sin_addr.s_addr && htons(e.Port) == from.sin_port;
        });
        // Datagrams from elsewhere, or not replying to this query, are neither read nor counted.
        if (!known || got < 12 || std::memcmp(buffer, query.data(), 2) != 0 || !(buffer[2] & 0x80))
            continue;
        ParseDnsReply(std::string_view(buffer, static_cast<std::size_t>(got)), id, type, answers,
                      authorities);
        if (!answers.empty() || !authorities.empty())
            break;
        --sent;
        deadline = GetTickCount64() + 5000;
    }
}

const std::vector<std::string>& DnsRootServers()
{
    static const std::vector<std::string> roots{"a.root-servers.net", "b.root-servers.net"};
    return roots;
}

std::string FindMailExchangersWith(const std::string& recipient,
                                   const std::vector<std::string>& servers)
{
    std::size_t at = recipient.find('@');
    if (at == std::string::npos)
        return {};
    std::string domain = recipient.substr(at + 1);
    if (!domain.empty() && domain.back() == '>')
        domain.pop_back();
    // The base domain: the last three labels.
    std::string base = domain;
    std::size_t dot = domain.size();
    for (int i = 0; i < 3 && dot != std::string::npos && dot > 0; ++i)
        dot = domain.rfind('.', dot - 1);
    if (dot != std::string::npos && dot < domain.size())
        base = domain.substr(dot + 1);

    std::vector<std::string> answers, authorities;
    auto askMx = [&](const std::vector<std::string>& list) {
        DnsQuery(domain, list, kDnsTypeMx, answers, authorities);
        if (answers.empty() && base != domain)
            DnsQuery(base, list, kDnsTypeMx, answers, authorities);
        return answers.empty() ? std::string() : answers.front();
    };
    if (!servers.empty())
        return askMx(servers);

    DnsQuery(base, DnsRootServers(), kDnsTypeNs, answers, authorities);
    if (authorities.empty())
        return {};
    std::vector<std::string> nameServers = authorities;
    DnsQuery(base, nameServers, kDnsTypeNs, answers, authorities);
    for (int i = 0; i < 10 && answers.empty() && !authorities.empty(); ++i) {
        nameServers = authorities;
        DnsQuery(base, nameServers, kDnsTypeNs, answers, authorities);
    }
    if (!answers.empty())
        nameServers = answers;
    else if (!authorities.empty())
        nameServers = authorities;
    else
        return {};
    return askMx(nameServers);
}

std::string FindMailExchangers(const std::string& recipient)
{
    THxWinsock winsock;
    if (!winsock.Started())
        return {};
    return FindMailExchangersWith(recipient, GetDnsServers());
}

// --- Sockets ---

void THxNetLink::Close()
{
    CloseSocketValue(Socket);
    Pending.clear();
}

THxWinsock::THxWinsock()
{
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

THxWinsock::~THxWinsock()
{
    if (started_)
        WSACleanup();
}

void AdvanceProgress(const TProgressAlertPtr& progress)
{
    if (progress)
        progress->AreaDone();
}

void AddProgressArea(const TProgressAlertPtr& progress, const std::string& text, std::int64_t weight)
{
    if (progress)
        progress->AddArea(text, weight);
}

std::int64_t SendFileSize(const std::string& path)
{
    return THxSendFile(path).Size();
}

// Mended: a folder in a send list is no file and is skipped like a missing one (reading it as a
// file would fail the whole send).
bool SendFileExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string RegReadText(HKEY root, const std::string& key, const std::string& valueName, bool expandable)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return {};
    DWORD type = REG_NONE;
    const bool found =
        RegQueryValueExA(opened, valueName.c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(opened);
    if (!found || (type != REG_SZ && !(expandable && type == REG_EXPAND_SZ)))
        return {};
    std::string text = RegReadString(root, key, valueName);
    text.resize(strnlen(text.c_str(), text.size()));
    return text;
}

THxSendFile::THxSendFile(const std::string& path)
    : file_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr))
{
    LARGE_INTEGER size{};
    if (file_ != INVALID_HANDLE_VALUE && GetFileSizeEx(file_, &size))
        size_ = size.QuadPart;
}

THxSendFile::~THxSendFile()
{
    if (file_ != INVALID_HANDLE_VALUE)
        CloseHandle(file_);
}

bool THxSendFile::Stream(std::size_t pieceSize, const TProgressAlertPtr& progress,
                         const std::function<bool(std::string_view piece)>& sink)
{
    if (!Opened() || pieceSize == 0)
        return false;
    std::string buffer(pieceSize, '\0');
    std::int64_t done = 0;
    while (done < size_) {
        const DWORD want =
            static_cast<DWORD>(std::min<std::int64_t>(static_cast<std::int64_t>(pieceSize), size_ - done));
        DWORD got = 0;
        if (!ReadFile(file_, buffer.data(), want, &got, nullptr) || got != want ||
            !sink(std::string_view(buffer.data(), got)))
            return false;
        done += got;
        if (progress)
            progress->SetPosition(static_cast<int>(done * 1000 / size_));
    }
    AdvanceProgress(progress);
    return true;
}

bool ConnectToServer(const TProgressAlertPtr& progress, const std::string& host, int port,
                     THxNetLink& link)
{
    link.Close();
    AdvanceProgress(progress);
    THxEndpoint target;
    if (host.empty() || port <= 0 || port > 65535 ||
        !ResolveNetworkEndpoint(host, static_cast<std::uint16_t>(port), THxNetProtocol::Tcp, target))
        return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in to = ToSockAddr(target);
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        closesocket(s);
        return false;
    }
    link.Socket = static_cast<std::uintptr_t>(s);
    AdvanceProgress(progress);
    return true;
}

bool SocketSendText(THxNetLink& link, std::string_view text)
{
    if (!link.Connected())
        return false;
    while (!text.empty()) {
        int piece = static_cast<int>(std::min<std::size_t>(text.size(), 1024));
        int sent = send(static_cast<SOCKET>(link.Socket), text.data(), piece, 0);
        if (sent <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool ReceiveUntil(THxNetLink& link, std::string_view delimiter, std::size_t limit, std::size_t& end)
{
    if (!link.Connected())
        return false;
    while ((end = link.Pending.find(delimiter)) == std::string::npos) {
        if (link.Pending.size() > limit ||
            !WaitReadable(static_cast<SOCKET>(link.Socket), kReplyWaitSeconds * 1000L))
            return false;
        char buffer[1024];
        const int got = recv(static_cast<SOCKET>(link.Socket), buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        link.Pending.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

// --- SMTP ---

bool ReadSmtpReply(THxNetLink& link, std::string_view code, bool* authLogin)
{
    bool allCarryCode = true;
    std::size_t taken = 0;
    for (;;) {
        std::size_t end = 0;
        if (!ReceiveUntil(link, "\n", kMaxReply, end))
            return false;
        taken += end + 1;
        if (taken > kMaxReply)
            return false;
        std::string line = link.Pending.substr(0, end);
        link.Pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() < code.size() || line.compare(0, code.size(), code) != 0)
            allCarryCode = false;
        if (authLogin && !*authLogin && line.size() > 4) {
            std::string text = line.substr(4);
            std::replace(text.begin(), text.end(), '=', ' ');
            if (StartsWithText(text, "AUTH ") &&
                FindSubText(" LOGIN ", text.substr(4) + " ") != 0)
                *authLogin = true;
        }
        if (line.size() < 4 || line[3] != '-')
            return allCarryCode;
    }
}

bool SmtpCommand(THxNetLink& link, std::string_view command, std::string_view code, bool* authLogin)
{
    if (!command.empty() && !SocketSendText(link, std::string(command) + "\r\n"))
        return false;
    return ReadSmtpReply(link, code, authLogin);
}

std::string PrepareSmtpBody(std::string_view body)
{
    std::string out;
    out.reserve(body.size() + body.size() / 16 + 2);
    bool lineStart = true;
    for (std::size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n')
                ++i;
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = false;
    }
    return out;
}

std::string EncodeMailSubject(std::string_view subject)
{
    // Everything but letters and digits.
    static const TCharSet escaped =
        ~MakeCharSet("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    return "=?ISO-8859-1?Q?" + EscapeCharSet(subject, escaped, '=') + "?=";
}

std::string Rfc822DateNow()
{
    SYSTEMTIME t;
    GetSystemTime(&t);
    return IntToStrFast(t.wDay) + " " + kMonths[(t.wMonth + 11) % 12] + " " + IntToStrFast(t.wYear) +
           " " + IntToStrPadded(t.wHour, 2, '0') + ":" + IntToStrPadded(t.wMinute, 2, '0') + ":" +
           IntToStrPadded(t.wSecond, 2, '0') + " UT";
}

std::string NewMessageId()
{
    static std::mutex lock;
    static std::uint64_t last = 0;
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    std::uint64_t now = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    {
        // Two mails within one clock tick must still differ.
        std::lock_guard<std::mutex> guard(lock);
        if (now <= last)
            now = last + 1;
        last = now;
    }
    return "<" + PadToWidth(Int64ToHex(now), 16, '0') + "@hxExcept>";
}

int AddSmtpProgressAreas(THxSendParams& params, bool withLookup, int mails)
{
    struct TArea {
        std::string text;
        std::int64_t weight;
    };
    std::vector<TArea> areas;
    IVQSettings* s = params.Settings.Get();
    if (withLookup)
        areas.push_back({s ? s->GetMxLookMsg() : "", 500});
    areas.push_back({s ? s->GetConnMsg() : "", 100});
    areas.push_back({"", 100});
    areas.push_back({"", 200});
    areas.push_back({s ? s->GetAuthMsg() : "", 200});
    areas.push_back({s ? s->GetSendMailMsg() : "", 100});
    for (int i = 0; i < 4; ++i)
        areas.push_back({"", 100});
    for (const std::string& path : params.Paths) {
        std::int64_t size = SendFileSize(path);
        if (size > 0)
            areas.push_back({s ? s->GetSendAttMsg() : "", ((size + 56) / 57) * 3});
    }
    areas.push_back({s ? s->GetSendFinalMsg() : "", 500});
    areas.push_back({"", 100});
    for (int i = 0; i < mails; ++i)
        for (const TArea& a : areas)
            AddProgressArea(params.Progress, a.text, a.weight);
    return static_cast<int>(areas.size());
}

bool SendSmtpMail(THxSendParams& params, const std::string& recipients)
{
    const TProgressAlertPtr& progress = params.Progress;
    if (params.SmtpServer.empty()) {
        params.SmtpServer = FindMailExchangers(recipients);
        AdvanceProgress(progress);
    }
    std::string list = recipients;
    int count = NormalizeRecipientList(list);
    std::string sender = params.Sender.empty() ? list : params.Sender;
    // Mended: an empty recipient list opens no session at all (the transaction would be refused at
    // its first RCPT TO, after a connection the server logs as a failed delivery).
    if (count == 0 || HasLineBreakOrNul(list) || HasLineBreakOrNul(sender) ||
        HasLineBreakOrNul(params.Account) || HasLineBreakOrNul(params.Password))
        return false;

    THxNetLink link;
    if (!ConnectToServer(progress, params.SmtpServer, params.Port, link))
        return false;
    if (!ReadSmtpReply(link, "220", nullptr))
        return false;
    // Mended: a machine without a usable name greets as "localhost"; an empty EHLO argument is a
    // syntax error to servers, and a line break in it would end the command early.
    std::string computer = GetComputerNameStr();
    if (computer.empty() || HasLineBreakOrNul(computer))
        computer = "localhost";
    bool authLogin = false;
    if (!SmtpCommand(link, "EHLO " + computer, "250", &authLogin) &&
        !SmtpCommand(link, "HELO " + computer, "250", nullptr))
        return false;
    AdvanceProgress(progress);

    bool ok = [&] {
        if (!params.Account.empty() || !params.Password.empty()) {
            if (!authLogin || !SmtpCommand(link, "AUTH LOGIN", "334", nullptr) ||
                !SmtpCommand(link, Base64EncodeStr(params.Account), "334", nullptr) ||
                !SmtpCommand(link, Base64EncodeStr(params.Password), "235", nullptr))
                return false;
        }
        AdvanceProgress(progress);
        if (!SmtpCommand(link, "MAIL FROM:" + AngleAddress(sender, false), "250", nullptr))
            return false;
        AdvanceProgress(progress);
        bool accepted = false;
        for (int i = 1; i <= count; ++i)
            if (SmtpCommand(link, "RCPT TO:" + AngleAddress(GetField(list, ',', std::size_t(i)), false),
                            "250", nullptr))
                accepted = true;
        AdvanceProgress(progress);
        if (!accepted)
            return false;
        if (params.Subject.empty() && params.Body.empty())
            return SmtpCommand(link, "RSET", "250", nullptr);
        if (!SmtpCommand(link, "DATA", "354", nullptr))
            return false;
        AdvanceProgress(progress);

        bool sent = true;
        std::string to;
        for (int i = 1; i <= count; ++i)
            to += (i > 1 ? ", " : "") + AngleAddress(GetField(list, ',', std::size_t(i)), true);
        std::string head = "To: " + to + "\r\n";
        head += "From: " + AngleAddress(sender, true) + "\r\n";
        head += "Subject: " + EncodeMailSubject(params.Subject) + "\r\n";
        head += "Date: " + Rfc822DateNow() + "\r\n";
        head += "Message-ID: " + NewMessageId() + "\r\n";
        sent = SocketSendText(link, head);
        AdvanceProgress(progress);
        std::string body = PrepareSmtpBody(params.Body);
        // Mended: a mail whose listed files are all missing goes out as plain text, not as a
        // multipart message with no attachment.
        bool withFiles = false;
        for (const std::string& path : params.Paths)
            withFiles = withFiles || SendFileExists(path);
        if (sent && !withFiles) {
            sent = SocketSendText(link, "\r\n" + body);
        } else if (sent) {
            std::string b(kMultipartBoundary);
            std::string preamble = "MIME-Version: 1.0\r\n"
                                   "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n"
                                   "\r\n"
                                   "This is a multi-part message in MIME format.\r\n"
                                   "\r\n"
                                   "--" + b + "\r\n"
                                   "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                                   "Content-Transfer-Encoding: 8bit\r\n"
                                   "\r\n";
            sent = SocketSendText(link, preamble + body + "\r\n");
            AdvanceProgress(progress);
            for (std::size_t i = 0; sent && i < params.Paths.size(); ++i) {
                if (!SendFileExists(params.Paths[i]))
                    continue;
                std::string sendAs = i < params.SendAsNames.size() ? params.SendAsNames[i]
                                                                    : std::string();
                sent = SendMailPart(link, progress, params.Paths[i], sendAs);
            }
            // A failed part still closes the multipart so the dot below ends a well-formed mail.
            bool closed = SocketSendText(link, "--" + b + "--\r\n");
            sent = sent && closed;
        }
        AdvanceProgress(progress);
        bool dot = SmtpCommand(link, "\r\n.", "250", nullptr);
        AdvanceProgress(progress);
        return sent && dot;
    }();
    bool quit = SmtpCommand(link, "QUIT", "221", nullptr);
    AdvanceProgress(progress);
    link.Close();
    return ok && quit;
}
