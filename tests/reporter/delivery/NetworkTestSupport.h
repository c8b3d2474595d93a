#pragma once

// The endpoint seam pointed at the loopback servers the test driver started; their ports come
// in the environment. Any other endpoint is refused and fails the test.

#include <winsock2.h>
#include <windows.h>

#include "hxExceptSmtp.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace nettest {

inline int ServerPort(const char* name)
{
    char buffer[32];
    DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? atoi(buffer) : 0;
}

// Deterministic file contents the driver checks against.
inline std::string PatternBytes(std::size_t size, int seed)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 37 + static_cast<std::size_t>(seed)) & 0xFF);
    return s;
}

class NetworkTest : public ::testing::Test {
protected:
    // host and port as the code asks for them -> environment name of the server's port.
    std::map<std::pair<std::string, int>, const char*> tcp_;
    std::map<std::string, const char*> udp_;
    const char* anyDns_ = nullptr;
    std::vector<std::string> refused_;
    std::string folder_;

    void SetUp() override {
        if (ServerPort("NET_SMTP") == 0)
            GTEST_SKIP() << "runs under the network test driver only";
        ASSERT_TRUE(winsock_.Started());
        SetNetworkEndpointHook([this](const std::string& host, std::uint16_t port,
                                      THxNetProtocol protocol, THxEndpoint& target) {
            const char* server = nullptr;
            if (protocol == THxNetProtocol::Udp && port == 53) {
                auto it = udp_.find(host);
                server = it != udp_.end() ? it->second : anyDns_;
            } else if (protocol == THxNetProtocol::Tcp) {
                auto it = tcp_.find({host, port});
                server = it != tcp_.end() ? it->second : nullptr;
            }
            if (!server) {
                refused_.push_back(host + ":" + std::to_string(port));
                return false;
            }
            target.Address = htonl(INADDR_LOOPBACK);
            target.Port = static_cast<std::uint16_t>(ServerPort(server));
            return true;
        });
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "hxnet" + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(folder_.c_str(), nullptr);
    }

    void TearDown() override {
        SetNetworkEndpointHook(nullptr);
        for (const std::string& name : written_)
            DeleteFileA(name.c_str());
        if (!folder_.empty())
            RemoveDirectoryA(folder_.c_str());
    }

    void ExpectNothingRefused() {
        EXPECT_TRUE(refused_.empty()) << "asked for " << (refused_.empty() ? "" : refused_.front());
    }

    std::string WriteFile(const std::string& name, const std::string& content) {
        std::string path = folder_ + name;
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        DWORD done = 0;
        ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &done, nullptr);
        CloseHandle(h);
        written_.push_back(path);
        return path;
    }

private:
    THxWinsock winsock_;
    std::vector<std::string> written_;
};

}  // namespace nettest
