#include <windows.h>
#include <wininet.h>

#include "hxExceptHttp.h"

#include "hxCrypt.h"
#include "hxStrings.h"

#include <mutex>

namespace {

constexpr std::size_t kMaxStatusLine = 8 * 1024;

std::mutex g_proxyLock;
std::function<std::string()> g_proxyHook;

std::string QueryWinInetProxy()
{
    HMODULE library = LoadLibraryA("wininet.dll");
    if (!library)
        return {};
    using TQueryOption = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, LPDWORD);
    auto query = reinterpret_cast<TQueryOption>(
        reinterpret_cast<void*>(GetProcAddress(library, "InternetQueryOptionA")));
    std::string result;
    DWORD size = 0;
    if (query && !query(nullptr, INTERNET_OPTION_PROXY, nullptr, &size) && size >= sizeof(INTERNET_PROXY_INFO)) {
        std::vector<unsigned char> buffer(size);
        auto* info = reinterpret_cast<INTERNET_PROXY_INFO*>(buffer.data());
        // Only a configured proxy counts; a direct or pre-configured access type has none.
        if (query(nullptr, INTERNET_OPTION_PROXY, info, &size) &&
            info->dwAccessType == INTERNET_OPEN_TYPE_PROXY && info->lpszProxy) {
            const char* text = reinterpret_cast<const char*>(info->lpszProxy);
            const char* end = reinterpret_cast<const char*>(buffer.data()) + buffer.size();
            if (text >= reinterpret_cast<const char*>(buffer.data()) && text < end)
                result.assign(text, strnlen(text, static_cast<std::size_t>(end - text)));
        }
    }
    FreeLibrary(library);
    return result;
}

// The host and port of the proxy for http from a list like "http=host:port;https=host2:port".
// False when the list names proxies for other protocols only: plain http then goes direct.
bool SplitProxy(std::string text, std::string& host, int& port)
{
    std::string chosen;
    for (char& c : text)
        if (c == ' ')
            c = ';';
    std::size_t count = CountFields(text, ';');
    for (std::size_t i = 1; i <= count; ++i) {
        std::string entry = GetField(text, ';', i);
        if (StartsWithText(entry, "http=")) {
            chosen = entry.substr(5);
            break;
        }
        if (chosen.empty() && entry.find('=') == std::string::npos)
            chosen = entry;
    }
    if (chosen.empty())
        return false;
    chosen = StripUrlScheme(chosen);
    while (!chosen.empty() && chosen.back() == '/')
        chosen.pop_back();
    std::size_t colon = chosen.rfind(':');
    if (colon != std::string::npos && colon + 1 < chosen.size() &&
        chosen.find_first_not_of("0123456789", colon + 1) == std::string::npos && chosen.size() - colon <= 6) {
        int value = DigitsToInt(chosen.data() + colon + 1, chosen.size() - colon - 1, false);
        if (value > 0 && value <= 65535) {
            port = value;
            chosen.resize(colon);
        }
    }
    host = chosen;
    return true;
}

struct TPlannedPart {
    std::string path, sendAs, field;
    std::int64_t size;
};

}  // namespace

std::function<std::string()> SetSystemProxyHook(std::function<std::string()> hook)
{
    std::lock_guard<std::mutex> guard(g_proxyLock);
    std::swap(g_proxyHook, hook);
    return hook;
}

std::string GetSystemProxy()
{
    std::function<std::string()> hook;
    {
        std::lock_guard<std::mutex> guard(g_proxyLock);
        hook = g_proxyHook;
    }
    return hook ? hook() : QueryWinInetProxy();
}

std::string StripUrlScheme(std::string_view url)
{
    std::size_t p = url.find("://");
    return std::string(p == std::string_view::npos ? url : url.substr(p + 3));
}

std::string FormFileHead(std::string_view sendAsName, std::string_view fieldName)
{
    return "--" + std::string(kMultipartBoundary) + "\r\nContent-Disposition: form-data; name=\"" +
           EscapeQuotedName(fieldName) + "\"; filename=\"" + EscapeQuotedName(sendAsName) +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

std::string FormFieldsBlock(IVQFields* fields)
{
    std::string block;
    if (!fields)
        return block;
    fields->Lock();
    int count = fields->GetCount();
    for (int i = 0; i < count; ++i) {
        std::string name = fields->GetName(i);
        block += "--" + std::string(kMultipartBoundary) + "\r\nContent-Disposition: form-data; name=\"" +
                 EscapeQuotedName(name) + "\"\r\n\r\n" + fields->GetValue(name) + "\r\n";
    }
    fields->Unlock();
    return block;
}

bool SendFormFile(THxNetLink& link, const TProgressAlertPtr& progress, const std::string& path,
                  const std::string& sendAsName, const std::string& fieldName, std::int64_t size)
{
    THxSendFile file(path);
    if (!file.Opened() || file.Size() != size)
        return false;
    if (size == 0)
        return true;
    return SocketSendText(link, FormFileHead(sendAsName, fieldName)) &&
           file.Stream(1024, progress, [&](std::string_view piece) { return SocketSendText(link, piece); }) &&
           SocketSendText(link, "\r\n");
}

bool ReadHttpStatus(THxNetLink& link, std::string_view code)
{
    std::size_t end = 0;
    if (!ReceiveUntil(link, "\r\n", kMaxStatusLine, end))
        return false;
    return GetField(TidySeparatedList(link.Pending.substr(0, end), ' '), ' ', 2) == code;
}

bool HttpUpload(THxSendParams& params)
{
    const TProgressAlertPtr& progress = params.Progress;
    IVQSettings* s = params.Settings.Get();
    const std::string b(kMultipartBoundary);
    AddProgressArea(progress, s ? s->GetConnMsg() : "", 100);
    AddProgressArea(progress, "", 100);
    std::string fields = FormFieldsBlock(params.Fields.Get());
    AddProgressArea(progress, s ? s->GetFieldMsg() : "", static_cast<std::int64_t>(fields.size()) + 100);
    std::vector<TPlannedPart> parts;
    std::int64_t total = static_cast<std::int64_t>(fields.size());
    for (std::size_t i = 0; i < params.Paths.size(); ++i) {
        // A file that is there but does not open counts as empty here and fails when it is sent.
        if (!SendFileExists(params.Paths[i]))
            continue;
        TPlannedPart part{params.Paths[i], i < params.SendAsNames.size() ? params.SendAsNames[i] : "",
                          i < params.FieldNames.size() ? params.FieldNames[i] : "",
                          SendFileSize(params.Paths[i])};
        if (part.size > 0) {
            std::int64_t length = static_cast<std::int64_t>(FormFileHead(part.sendAs, part.field).size()) +
                                  part.size + 2;
            AddProgressArea(progress, s ? s->GetSendAttMsg() : "", length / 16);
            total += length;
        }
        parts.push_back(std::move(part));
    }
    const std::string closing = "--" + b + "--\r\n";
    total += static_cast<std::int64_t>(closing.size());
    AddProgressArea(progress, "", 100);
    AddProgressArea(progress, s ? s->GetSendFinalMsg() : "", 500);
    AdvanceProgress(progress);

    if (HasLineBreakOrNul(params.HttpServer) || HasLineBreakOrNul(params.Sender) ||
        params.Port <= 0 || params.Port > 65535)
        return false;
    std::string rest = StripUrlScheme(params.HttpServer);
    std::size_t slash = rest.find('/');
    std::string host = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (host.empty() || host.find(' ') != std::string::npos || path.find(' ') != std::string::npos)
        return false;
    std::string connectHost = host;
    int connectPort = params.Port;
    std::string proxy = GetSystemProxy();
    if (!proxy.empty() && SplitProxy(proxy, connectHost, connectPort)) {
        if (connectHost.empty())
            return false;
        path = params.HttpServer.find("://") == std::string::npos ? "http://" + params.HttpServer
                                                                    : params.HttpServer;
    }

    THxNetLink link;
    if (!ConnectToServer(progress, connectHost, connectPort, link))
        return false;
    std::string head = "POST " + path + " HTTP/1.0\r\n";
    head += "Host: " + host + ":" + IntToStrFast(params.Port) + "\r\n";
    head += "Connection: close\r\n";
    head += "Pragma: no-cache\r\n";
    head += "User-Agent: hxExcept/3.0\r\n";
    head += "Content-Type: multipart/form-data; boundary=" + b + "\r\n";
    head += "Content-Length: " + Int64ToStrFast(total) + "\r\n";
    if (!params.Sender.empty())
        head += "From: " + AngleAddress(params.Sender, false) + "\r\n";
    if (!params.Account.empty() || !params.Password.empty())
        head += "Authorization: Basic " + Base64EncodeStr(params.Account + ":" + params.Password) + "\r\n";
    head += "\r\n";
    if (!SocketSendText(link, head + fields))
        return false;
    AdvanceProgress(progress);
    bool ok = true;
    for (const TPlannedPart& part : parts)
        if (!(ok = SendFormFile(link, progress, part.path, part.sendAs, part.field, part.size)))
            break;
    // A broken part leaves the length short of the count; the server must not take it as whole.
    if (ok)
        ok = SocketSendText(link, closing);
    AdvanceProgress(progress);
    ok = ok && ReadHttpStatus(link, "200");
    AdvanceProgress(progress);
    return ok;
}
