#pragma once

// Files the Windows tests leave for the build machine's checks (unzip, zipfile, pngcheck).
// DELIVERY_OUT names the folder; without it the files go to a scratch folder and are unchecked.

#include <windows.h>

#include <fstream>
#include <string>

inline std::string DeliveryOutDir() {
    static const std::string dir = [] {
        char buffer[MAX_PATH] = {};
        DWORD n = GetEnvironmentVariableA("DELIVERY_OUT", buffer, sizeof buffer);
        std::string path;
        if (n > 0 && n < sizeof buffer) {
            path = buffer;
        } else {
            GetTempPathA(sizeof buffer, buffer);
            path = std::string(buffer) + "hivesweep-delivery";
        }
        for (char& c : path)
            if (c == '/')
                c = '\\';
        CreateDirectoryA(path.c_str(), nullptr);
        return path;
    }();
    return dir;
}

// The test program's own folder with its closing backslash: the helper programs lie there.
inline std::string TestProgramFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string file(path);
    return file.substr(0, file.find_last_of('\\') + 1);
}

inline std::string DeliveryOutPath(const std::string& name) {
    return DeliveryOutDir() + "\\" + name;
}

// One tab-separated line per expectation; the checker reads them all.
inline void AddExpectation(const std::string& line) {
    std::ofstream(DeliveryOutPath("manifest.txt"), std::ios::app | std::ios::binary) << line << "\n";
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
