#include "WebForm.h"

#include <cctype>

namespace openutils {

bool isUrlSafeChar(unsigned char byte) {
    const int lower = std::tolower(byte);
    return (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9');
}

std::string urlEncode(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUrlSafeChar(byte)) {
            encoded += c;
        } else if (byte == ' ') {
            encoded += '+';
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string queryString(const std::vector<std::string>& names,
                        const std::vector<std::string>& values) {
    std::string query;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            query += '&';
        query += urlEncode(names[i]) + "=" + urlEncode(i < values.size() ? values[i] : "");
    }
    return query;
}

void WebForm::sendRequest() {
    const std::string url = host + scriptPath + "?" + queryString(names, values);

    // An earlier request's handles go first, the URL handle before its root.
    urlHandle.reset();
    internetHandle.reset();

    internetHandle.reset(InternetOpenA("WebForm 1", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internetHandle)
        throw WebFormException("Error:- InternetOpen()");
    urlHandle.reset(InternetOpenUrlA(internetHandle.get(), url.c_str(), nullptr, 0,
                                     INTERNET_FLAG_RELOAD, 0));
    if (!urlHandle)
        throw WebFormException("Error:- InternetOpenUrl()");
}

bool WebForm::readResponse(char* buffer, DWORD size) {
    if (!urlHandle)
        throw WebFormException("No request made to server !");
    if (!InternetReadFile(urlHandle.get(), buffer, size, &bytesRead))
        return false;
    if (bytesRead > size)
        throw WebFormException("Buffer overflow !");
    buffer[bytesRead] = '\0';
    return true;
}

}  // namespace openutils
