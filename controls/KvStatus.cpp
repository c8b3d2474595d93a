#include "KvStatus.h"

#include "SysUtils.h"

#include <windows.h>

#include <vector>

namespace {

const char* const kItemKeys[] = {"CompanyName",      "FileDescription",  "FileVersion", "InternalName",
                                 "LegalCopyright",   "LegalTrademarks",  "OriginalFilename",
                                 "ProductName",      "ProductVersion",   "Comments"};

const char kNotAvailable[] = "Value Not Available";

}  // namespace

const TClassInfo& TKvVersionInfo::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TKvVersionInfo::FilePath, &TKvVersionInfo::SetFilePath>("FilePath"),
    };
    static const TClassInfo info = MakeClassInfo<TKvVersionInfo, TComponent>("TKvVersionInfo", props);
    return info;
}

TKvVersionInfo::TKvVersionInfo(TComponent* owner) : TComponent(owner) {
    if (!IsDesigning())
        ReadVersionBlock();
}

void TKvVersionInfo::Loaded() {
    TComponent::Loaded();
    if (!IsDesigning())
        ReadVersionBlock();
}

void TKvVersionInfo::SetFilePath(const std::string& path) {
    if (path == filePath_)
        return;
    filePath_ = path;
    if (!IsDesigning() && !IsLoading())
        ReadVersionBlock();
}

void TKvVersionInfo::ReadVersionBlock() {
    if (filePath_.empty()) {
        char module[261] = {};
        DWORD length = GetModuleFileNameA(GetModuleHandleA(nullptr), module, sizeof module);
        filePath_.assign(module, length < sizeof module ? length : sizeof module - 1);
    }
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(filePath_.c_str(), &handle);
    std::vector<char> block(size);
    // A block that cannot be read counts as no block at all.
    hasVersionInfo_ = size > 0 && GetFileVersionInfoA(filePath_.c_str(), 0, size, block.data());

    std::vector<std::string> values(std::size(kItemKeys), kNotAvailable);
    if (hasVersionInfo_) {
        std::string language, codePage;
        void* translation = nullptr;
        UINT length = 0;
        if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &translation, &length) && translation &&
            length >= sizeof(DWORD)) {
            const DWORD first = *static_cast<const DWORD*>(translation);
            language = Format("%.4x", static_cast<unsigned>(LOWORD(first)));
            codePage = Format("%.4x", static_cast<unsigned>(HIWORD(first)));
        }
        const std::string base = "StringFileInfo\\" + language + codePage + "\\";
        for (size_t i = 0; i < values.size(); ++i) {
            void* text = nullptr;
            UINT chars = 0;
            if (VerQueryValueA(block.data(), (base + kItemKeys[i]).c_str(), &text, &chars) && text)
                values[i] = static_cast<const char*>(text);
            else
                values[i].clear();
        }
    }
    items_.Clear();
    for (const std::string& value : values)
        items_.Add(value);
}
