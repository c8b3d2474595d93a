#pragma once

// A small HTTP form client over WinINet: one GET request with url-encoded variables.

#include <windows.h>
#include <wininet.h>

#include <string>
#include <utility>
#include <vector>

namespace openutils {

// Thrown and caught by value.
class WebFormException {
public:
    explicit WebFormException(std::string text) : message(std::move(text)) {}
    std::string getMessage() const { return message; }

private:
    std::string message;
};

// ASCII letters and digits after the C library's lower-casing.
bool isUrlSafeChar(unsigned char byte);
// Safe bytes stay, a blank becomes "+", every other byte "%xx" in lower-case hex.
std::string urlEncode(const std::string& text);
// "name=value" pairs, encoded, joined by "&"; names and values are parallel lists.
std::string queryString(const std::vector<std::string>& names,
                        const std::vector<std::string>& values);

// Move-only owner of a WinINet handle.
class InternetHandle {
public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    InternetHandle(InternetHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    InternetHandle& operator=(InternetHandle&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    ~InternetHandle() { reset(); }

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(HINTERNET handle = nullptr) {
        if (HINTERNET old = std::exchange(handle_, handle))
            InternetCloseHandle(old);
    }

private:
    HINTERNET handle_ = nullptr;
};

class WebForm {
public:
    WebForm() = default;
    // Members close in reverse order: the URL handle before the root handle.
    ~WebForm() = default;
    WebForm(const WebForm&) = delete;
    WebForm& operator=(const WebForm&) = delete;

    void setHost(const std::string& text) { host = text; }
    void setScriptPath(const std::string& text) { scriptPath = text; }

    // GET host + scriptPath + "?" + the query; throws WebFormException.
    void sendRequest();
    // One read of at most size bytes, then a terminating zero: buffer holds size + 1 bytes.
    // False when the read fails; throws WebFormException.
    bool readResponse(char* buffer, DWORD size);

private:
    std::vector<std::string> names;
    std::vector<std::string> values;
    std::string host;
    std::string scriptPath;
    InternetHandle internetHandle;
    InternetHandle urlHandle;
    DWORD bytesRead = 0;
};

}  // namespace openutils
