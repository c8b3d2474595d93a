#pragma once

// Sending a bug report by mail: the mail exchanger of the recipient's domain found through our
// own DNS client, and one SMTP transaction, either direct to that exchanger or through a
// configured server. Also the parts the HTTP upload shares: send parameters, the endpoint seam,
// connecting and sending text.

#include "hxExceptFields.h"
#include "hxExceptSettings.h"
#include "hxNVPrgrAlert.h"
#include "hxTools.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Everything one Internet send works on. Port serves both the SMTP and the HTTP server.
struct THxSendParams {
    TProgressAlertPtr Progress;  // may be null
    Microsoft::WRL::ComPtr<IVQSettings> Settings;  // the progress texts; may be null
    std::string HttpServer;
    std::string Sender;
    std::string Recipients;
    int Port = 25;
    std::string Password;
    std::string Account;
    std::string SmtpServer;  // empty: look the mail exchanger up (and store it here)
    Microsoft::WRL::ComPtr<IVQFields> Fields;
    std::vector<std::string> FieldNames;
    std::vector<std::string> SendAsNames;
    std::vector<std::string> Paths;
    std::string Body;
    std::string Subject;
};

// --- The endpoint seam --------------------------------------------------------------------------
// Every host and port the code would connect to or send a datagram to passes through one hook,
// which fills in the IPv4 address (network byte order) and port to use, or refuses. Without a
// hook, dotted addresses are taken as they are and names are resolved by the system. With
// loopback-only on, names are never resolved and anything outside 127.0.0.0/8 is refused; it is
// on from the start when the environment variable HIVESWEEP_NET_LOOPBACK_ONLY is set.
enum class THxNetProtocol { Tcp, Udp };
struct THxEndpoint {
    std::uint32_t Address = 0;  // network byte order
    std::uint16_t Port = 0;
};
using THxNetworkEndpointHook =
    std::function<bool(const std::string& host, std::uint16_t port, THxNetProtocol protocol,
                       THxEndpoint& target)>;
// Returns the previous hook.
THxNetworkEndpointHook SetNetworkEndpointHook(THxNetworkEndpointHook hook);
void SetNetworkLoopbackOnly(bool on);
bool IsNetworkLoopbackOnly();
bool ResolveNetworkEndpoint(const std::string& host, std::uint16_t port, THxNetProtocol protocol,
                            THxEndpoint& target);

// --- Addresses ----------------------------------------------------------------------------------
// With "<": the whole address when keepWhole, else from the "<" on; without: "<" + address + ">".
std::string AngleAddress(std::string_view address, bool keepWhole);
// ";" becomes ",", the list is tidied; returns the number of items.
int NormalizeRecipientList(std::string& list);
// True when the text holds CR, LF or NUL and so must not go into a header line.
bool HasLineBreakOrNul(std::string_view text);
// Quotes, CR and LF of a name inside a quoted header parameter, escaped as %22, %0D and %0A.
std::string EscapeQuotedName(std::string_view name);

// --- DNS ----------------------------------------------------------------------------------------
enum : std::uint16_t { kDnsTypeNs = 2, kDnsTypeMx = 15 };
// The query message for domain (one trailing dot is dropped); false for an empty label, a label
// over 63 bytes or a name over 253.
bool BuildDnsQuery(std::string_view domain, std::uint16_t type, std::uint16_t id, std::string& query);
// Reads the names of the answer records of the given type (and for NS also of the authority
// records) of a reply to the query with that id. False for a reply that is not one (id, reply bit,
// error code) or is malformed; names read before a fault are kept.
bool ParseDnsReply(std::string_view reply, std::uint16_t id, std::uint16_t type,
                   std::vector<std::string>& answers, std::vector<std::string>& authorities);
// The local name servers: on the oldest systems of either family from the registry, elsewhere from
// the IP helper. The first form asks for the running system's kind.
std::vector<std::string> GetDnsServers();
std::vector<std::string> GetDnsServers(const TOsInfo& os);
void DnsQuery(const std::string& domain, const std::vector<std::string>& servers,
              std::uint16_t type, std::vector<std::string>& answers,
              std::vector<std::string>& authorities);
// The two root servers asked when the machine has no DNS server.
const std::vector<std::string>& DnsRootServers();
std::string FindMailExchangers(const std::string& recipient);
// The same with a given server list; an empty one takes the root-server path.
std::string FindMailExchangersWith(const std::string& recipient,
                                   const std::vector<std::string>& servers);

// --- Sockets ------------------------------------------------------------------------------------
// A connected socket and the reply bytes received but not yet read.
struct THxNetLink {
    std::uintptr_t Socket = ~std::uintptr_t(0);
    std::string Pending;
    THxNetLink() = default;
    THxNetLink(const THxNetLink&) = delete;
    THxNetLink& operator=(const THxNetLink&) = delete;
    ~THxNetLink() { Close(); }
    bool Connected() const { return Socket != ~std::uintptr_t(0); }
    void Close();
};
// Windows Sockets 1.1 for the lifetime of the object.
class THxWinsock {
public:
    THxWinsock();
    ~THxWinsock();
    THxWinsock(const THxWinsock&) = delete;
    THxWinsock& operator=(const THxWinsock&) = delete;
    bool Started() const { return started_; }

private:
    bool started_ = false;
};

bool ConnectToServer(const TProgressAlertPtr& progress, const std::string& host, int port,
                     THxNetLink& link);
// In pieces of at most 1024 bytes; false at the first send error.
bool SocketSendText(THxNetLink& link, std::string_view text);
// Receives into link.Pending until it holds delimiter, whose position becomes end; each wait lasts
// at most 7 seconds. False when the link fails or closes, a wait runs out, or more than limit bytes
// are pending without the delimiter.
bool ReceiveUntil(THxNetLink& link, std::string_view delimiter, std::size_t limit, std::size_t& end);

// --- SMTP ---------------------------------------------------------------------------------------
// Reads one reply up to its final line; true when every line carries the code. authLogin, when
// given, becomes true when a line offers AUTH LOGIN.
bool ReadSmtpReply(THxNetLink& link, std::string_view code, bool* authLogin);
bool SmtpCommand(THxNetLink& link, std::string_view command, std::string_view code,
                 bool* authLogin);
// Line ends made CR LF, lines starting with "." get another one.
std::string PrepareSmtpBody(std::string_view body);
std::string EncodeMailSubject(std::string_view subject);
std::string Rfc822DateNow();
// Never the same twice in one process.
std::string NewMessageId();
// The progress areas of one mail (with the exchanger lookup when withLookup), added once for each
// of mails; returns the number for one mail.
int AddSmtpProgressAreas(THxSendParams& params, bool withLookup, int mails = 1);
bool SendSmtpMail(THxSendParams& params, const std::string& recipients);

// --- Shared by the senders ----------------------------------------------------------------------
// Between the parts of a multipart mail or form.
inline constexpr std::string_view kMultipartBoundary = "velmarweb_multipart_boundary";
// Advances the progress window when there is one.
void AdvanceProgress(const TProgressAlertPtr& progress);
// Adds an area to the progress window when there is one.
void AddProgressArea(const TProgressAlertPtr& progress, const std::string& text, std::int64_t weight);
// The size of a file that opens for reading, else 0.
std::int64_t SendFileSize(const std::string& path);
// A file, not a folder, is there.
bool SendFileExists(const std::string& path);
// A registry string (REG_SZ, with expandable also REG_EXPAND_SZ) up to its first NUL; empty for a
// value of another type.
std::string RegReadText(HKEY root, const std::string& key, const std::string& valueName, bool expandable);

// A file opened for reading and measured at once, then read to its end in pieces.
class THxSendFile {
public:
    explicit THxSendFile(const std::string& path);
    ~THxSendFile();
    THxSendFile(const THxSendFile&) = delete;
    THxSendFile& operator=(const THxSendFile&) = delete;
    // It opened and its size is known.
    bool Opened() const { return size_ >= 0; }
    // 0 when it did not open.
    std::int64_t Size() const { return size_ < 0 ? 0 : size_; }
    // Hands Size() bytes to sink in pieces of at most pieceSize, setting the progress position
    // after each piece and advancing the progress after the last. False when a read comes short
    // or sink returns false.
    bool Stream(std::size_t pieceSize, const TProgressAlertPtr& progress,
                const std::function<bool(std::string_view piece)>& sink);

private:
    HANDLE file_;
    std::int64_t size_ = -1;
};
