#include "BenchTree.h"

#include "Handles.h"
#include "SysUtils.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

const char kSoftware[] = "Software";
const char kTreePrefix[] = "HivesweepBench-";
constexpr int kLeavesPerProduct = 100;
constexpr int kProductsPerVendor = 50;
constexpr int kLeavesPerVendor = kLeavesPerProduct * kProductsPerVendor;
// One leaf string in this many names a missing file.
constexpr int kMissingEvery = 50;
constexpr DWORD kImportTimeoutMs = 300000;
// Threads that create or delete the vendors: the server handles one request at a time,
// but the clients' halves of the round trips overlap.
constexpr int kParts = 4;

struct TExistingSample {
    const char* text;   // as stored
    const char* probe;  // what must exist for the scan to accept it
};

const TExistingSample kExistingSamples[] = {
    {"C:\\windows\\system32\\kernel32.dll", "C:\\windows\\system32\\kernel32.dll"},
    {"C:\\windows\\system32\\user32.dll", "C:\\windows\\system32\\user32.dll"},
    {"C:\\windows\\system32\\shell32.dll", "C:\\windows\\system32\\shell32.dll"},
    {"C:\\windows\\notepad.exe", "C:\\windows\\notepad.exe"},
    {"C:\\windows\\regedit.exe", "C:\\windows\\regedit.exe"},
    {"\"C:\\windows\\system32\\rundll32.exe\" shell32.dll,Control_RunDLL",
     "C:\\windows\\system32\\rundll32.exe"},
    {"C:\\windows\\system32\\notepad.exe /p", "C:\\windows\\system32\\notepad.exe"},
    {"C:\\windows\\system32", "C:\\windows\\system32"},
    {"C:\\Program Files\\Common Files", "C:\\Program Files\\Common Files"},
};

TBenchValue StringValue(const std::string& name, DWORD type, const std::string& text) {
    TBenchValue value;
    value.Name = name;
    value.Type = type;
    value.Data.assign(text.begin(), text.end());
    value.Data.push_back(0);
    return value;
}

TBenchValue DwordValue(const std::string& name, DWORD data) {
    TBenchValue value;
    value.Name = name;
    value.Type = REG_DWORD;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&data);
    value.Data.assign(bytes, bytes + sizeof data);
    return value;
}

TBenchValue BinaryValue(const std::string& name, int size, int seed) {
    TBenchValue value;
    value.Name = name;
    value.Type = REG_BINARY;
    for (int i = 0; i < size; ++i)
        value.Data.push_back(static_cast<BYTE>(seed * 31 + i * 7));
    return value;
}

void AppendEscaped(std::string& out, const std::string& s) {
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
}

void AppendHex(std::string& out, const std::vector<BYTE>& data) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0)
            out += ',';
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
}

// A REGEDIT4 value line.
void AppendValueLine(std::string& out, const TBenchValue& value) {
    if (value.Name.empty()) {
        out += '@';
    } else {
        out += '"';
        AppendEscaped(out, value.Name);
        out += '"';
    }
    out += '=';
    switch (value.Type) {
    case REG_SZ:
        out += '"';
        AppendEscaped(out, std::string(reinterpret_cast<const char*>(value.Data.data()), value.Data.size() - 1));
        out += '"';
        break;
    case REG_DWORD: {
        DWORD data = 0;
        memcpy(&data, value.Data.data(), sizeof data);
        out += Format("dword:%08lx", static_cast<unsigned long>(data));
        break;
    }
    case REG_BINARY:
        out += "hex:";
        AppendHex(out, value.Data);
        break;
    default:
        out += Format("hex(%lx):", static_cast<unsigned long>(value.Type));
        AppendHex(out, value.Data);
        break;
    }
    out += "\r\n";
}

struct TPartThread {
    const std::function<void(int)>* work;
    int part;
    std::string error;

    static DWORD WINAPI Run(void* parameter) {
        auto* self = static_cast<TPartThread*>(parameter);
        try {
            (*self->work)(self->part);
        } catch (const std::exception& error) {
            self->error = error.what();
            if (self->error.empty())
                self->error = "failed";
        }
        return 0;
    }
};

// Runs work(0) .. work(parts - 1) on threads of their own; raises the first error.
void RunParallel(int parts, const std::function<void(int)>& work) {
    std::vector<TPartThread> threads;
    for (int part = 0; part < parts; ++part)
        threads.push_back(TPartThread{&work, part, std::string()});
    std::vector<TUniqueHandle> handles;
    for (TPartThread& thread : threads) {
        handles.emplace_back(CreateThread(nullptr, 0, TPartThread::Run, &thread, 0, nullptr));
        if (!handles.back()) {
            handles.pop_back();
            thread.error = "cannot start a thread: " + SysErrorMessage(GetLastError());
            break;
        }
    }
    for (const TUniqueHandle& handle : handles)
        WaitForSingleObject(handle.Get(), INFINITE);
    for (const TPartThread& thread : threads)
        if (!thread.error.empty())
            throw std::runtime_error(thread.error);
}

}  // namespace

TBenchTree::TBenchTree(int leafKeys)
    : root_(std::string(kSoftware) + '\\' + kTreePrefix + std::to_string(GetCurrentProcessId())),
      leafKeys_(((leafKeys < 1 ? 1 : leafKeys) + kLeavesPerProduct - 1) / kLeavesPerProduct * kLeavesPerProduct) {
    for (const TExistingSample& sample : kExistingSamples)
        if (GetFileAttributesA(sample.probe) != INVALID_FILE_ATTRIBUTES)
            existingPaths_.push_back(sample.text);
    if (existingPaths_.empty())
        throw std::runtime_error("none of the sample files exists in this prefix");
    ForEachKey([this](const std::string& path, const TBenchKey& key) {
        ++keys_;
        values_ += static_cast<int>(key.Values.size());
        if (key.Depth < 3)
            return;
        for (const TBenchValue& value : key.Values) {
            if (value.Type != REG_SZ && value.Type != REG_EXPAND_SZ)
                continue;
            ++leafStrings_;
            const std::string text(reinterpret_cast<const char*>(value.Data.data()));
            if (StartsText("C:\\missing\\", text))
                planted_.insert(PlantedId(path, value.Name));
        }
    });
}

TBenchTree::~TBenchTree() { Delete(); }

std::string TBenchTree::PlantedId(const std::string& key, const std::string& valueName) {
    return LowerCase(key) + '\n' + LowerCase(valueName);
}

std::string TBenchTree::FirstLeafPath() const { return root_ + "\\Vendor00\\Product00\\Component000"; }

void TBenchTree::ForEachKey(const std::function<void(const std::string& path, const TBenchKey& key)>& visit) const {
    TBenchKey key;
    key.Name = root_;
    key.Values = {StringValue("Created", REG_SZ, "hivesweep scan benchmark")};
    visit(root_, key);

    std::string vendorPath, productPath;
    int leafString = 0;
    // The text of the next leaf string: every kMissingEvery-th names a missing file.
    auto leafText = [&leafString](DWORD type, const std::string& text) {
        const int index = leafString++;
        if (index % kMissingEvery != kMissingEvery / 2)
            return text;
        return type == REG_SZ ? Format("C:\\missing\\app%d.exe", index) : Format("C:\\missing\\lib%d.dll", index);
    };
    for (int n = 0; n < leafKeys_; ++n) {
        const int vendor = n / kLeavesPerVendor;
        const int product = n / kLeavesPerProduct % kProductsPerVendor;
        const int component = n % kLeavesPerProduct;
        if (n % kLeavesPerVendor == 0) {
            key.Name = Format("Vendor%02d", vendor);
            key.Depth = 1;
            key.Values = {StringValue("Publisher", REG_SZ, Format("Vendor %d Ltd.", vendor))};
            vendorPath = root_ + '\\' + key.Name;
            visit(vendorPath, key);
        }
        if (n % kLeavesPerProduct == 0) {
            key.Name = Format("Product%02d", product);
            key.Depth = 2;
            key.Values = {StringValue("", REG_SZ, Format("Product %d", product)),
                          DwordValue("Version", static_cast<DWORD>(0x10000 + product))};
            productPath = vendorPath + '\\' + key.Name;
            visit(productPath, key);
        }
        key.Name = Format("Component%03d", component);
        key.Depth = 3;
        key.Values.clear();
        key.Values.push_back(StringValue(
            "InstallPath", REG_SZ, leafText(REG_SZ, existingPaths_[static_cast<size_t>(n) % existingPaths_.size()])));
        std::string display;
        switch (n % 4) {
        case 0: display = Format("Component %d of product %d", component, product); break;
        case 1: display = Format("https://example.com/products/%d/%d", product, component); break;
        case 2: display = "C:\\windows\\system32"; break;
        // Two drive paths: not examined by the scan.
        default: display = "C:\\windows\\system32\\kernel32.dll;C:\\missing\\two.dll"; break;
        }
        key.Values.push_back(StringValue("DisplayName", REG_SZ, leafText(REG_SZ, display)));
        switch (n % 3) {
        case 0: key.Values.push_back(DwordValue("Flags", static_cast<DWORD>(n))); break;
        case 1: key.Values.push_back(BinaryValue("State", 16 + n % 48, n)); break;
        default:
            key.Values.push_back(StringValue(
                "Module", REG_EXPAND_SZ,
                leafText(REG_EXPAND_SZ, n % 2 ? "%SystemRoot%\\system32\\shell32.dll" : "C:\\windows\\system32\\shell32.dll")));
            break;
        }
        visit(productPath + '\\' + key.Name, key);
    }
}

void TBenchTree::Build(TBuildMethod method) {
    // A tree left by an earlier process with our id.
    RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
    built_ = true;
    if (method == TBuildMethod::Api)
        BuildWithApi();
    else
        BuildWithImport();
}

void TBenchTree::BuildWithApi() {
    // The root first; then each part creates its vendors below its own handle of the root.
    WriteKeys(0, 1, true);
    RunParallel(kParts, [this](int part) { WriteKeys(part, kParts, false); });
}

void TBenchTree::WriteKeys(int part, int parts, bool rootOnly) const {
    // The open key of each depth; a key is created below its parent's handle.
    TUniqueKey open[4];
    int vendor = -1;
    ForEachKey([&](const std::string& path, const TBenchKey& key) {
        if (key.Depth == 1)
            ++vendor;
        if (rootOnly ? key.Depth != 0 : key.Depth == 0 || vendor % parts != part)
            return;
        HKEY parent = key.Depth == 0 ? HKEY_CURRENT_USER : open[key.Depth - 1].Get();
        if (!parent) {
            HKEY root = nullptr;
            const LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, root_.c_str(), 0, KEY_CREATE_SUB_KEY, &root);
            if (rc != ERROR_SUCCESS)
                throw std::runtime_error("cannot open " + root_ + ": " + SysErrorMessage(rc));
            open[0].Reset(root);
            parent = root;
        }
        HKEY created = nullptr;
        LONG rc = RegCreateKeyExA(parent, key.Name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &created, nullptr);
        if (rc != ERROR_SUCCESS)
            throw std::runtime_error("cannot create " + path + ": " + SysErrorMessage(rc));
        open[key.Depth].Reset(created);
        for (const TBenchValue& value : key.Values) {
            rc = RegSetValueExA(created, value.Name.c_str(), 0, value.Type, value.Data.data(),
                                static_cast<DWORD>(value.Data.size()));
            if (rc != ERROR_SUCCESS)
                throw std::runtime_error("cannot write " + path + "\\" + value.Name + ": " + SysErrorMessage(rc));
        }
    });
}

void TBenchTree::BuildWithImport() {
    TTempFile file;
    {
        std::string text = "REGEDIT4\r\n";
        ForEachKey([&text](const std::string& path, const TBenchKey& key) {
            text += "\r\n[HKEY_CURRENT_USER\\" + path + "]\r\n";
            for (const TBenchValue& value : key.Values)
                AppendValueLine(text, value);
        });
        FILE* out = fopen(file.Path().c_str(), "wb");
        if (!out)
            throw std::runtime_error("cannot write " + file.Path());
        const bool written = fwrite(text.data(), 1, text.size(), out) == text.size();
        if (fclose(out) != 0 || !written)
            throw std::runtime_error("cannot write " + file.Path());
    }
    const DWORD code = RunProcess("regedit.exe /s \"" + file.Path() + "\"", kImportTimeoutMs);
    TUniqueKey probe;
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, FirstLeafPath().c_str(), 0, KEY_READ, &opened) == ERROR_SUCCESS)
        probe.Reset(opened);
    if (code != 0 || !probe)
        throw std::runtime_error(Format("regedit /s failed (exit code %lu)", static_cast<unsigned long>(code)));
}

bool TBenchTree::Delete() {
    if (!built_)
        return true;
    built_ = false;
    // The vendors in parallel, then the rest; with a sub-key name the key itself goes too.
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, root_.c_str(), 0, KEY_READ | KEY_WRITE, &opened) == ERROR_SUCCESS) {
        const TUniqueKey root(opened);
        const int vendors = (leafKeys_ + kLeavesPerVendor - 1) / kLeavesPerVendor;
        RunParallel(kParts, [&root, vendors](int part) {
            for (int vendor = part; vendor < vendors; vendor += kParts)
                RegDeleteTreeA(root.Get(), Format("Vendor%02d", vendor).c_str());
        });
    }
    const LONG rc = RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

int DeleteStaleTrees() {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSoftware, 0, KEY_READ | KEY_WRITE, &opened) != ERROR_SUCCESS)
        return 0;
    TUniqueKey software(opened);
    std::vector<std::string> stale;
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name;
        const LONG rc = RegEnumKeyExA(software.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc != ERROR_SUCCESS)
            break;
        const std::string key(name, length);
        if (!StartsText(kTreePrefix, key))
            continue;
        const DWORD pid = static_cast<DWORD>(StrToIntDef(key.substr(sizeof kTreePrefix - 1), 0));
        if (pid == GetCurrentProcessId())
            continue;
        TUniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (!process || WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0)
            stale.push_back(key);
    }
    int deleted = 0;
    for (const std::string& key : stale)
        if (RegDeleteTreeA(software.Get(), key.c_str()) == ERROR_SUCCESS)
            ++deleted;
    return deleted;
}

DWORD RunProcess(const std::string& commandLine, DWORD timeoutMs) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        throw std::runtime_error("cannot start " + commandLine + ": " + SysErrorMessage(GetLastError()));
    TUniqueHandle process(info.hProcess);
    TUniqueHandle thread(info.hThread);
    if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), 10000);
        throw std::runtime_error("did not end in time: " + commandLine);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    return code;
}

TTempFile::TTempFile() {
    char folder[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameA(folder, "hsb", 0, path) == 0)
        throw std::runtime_error("cannot create a temporary file: " + SysErrorMessage(GetLastError()));
    path_ = path;
}

TTempFile::~TTempFile() { DeleteFileA(path_.c_str()); }

long long TTempFile::Size() const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
