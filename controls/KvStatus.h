#pragma once

// The version-information reader: ten string items of an executable's version resource.

#include "Classes.h"
#include "StringList.h"

#include <cstdint>
#include <string>

enum TKvVersionItem : uint8_t {
    viCompanyName,
    viFileDescription,
    viFileVersion,
    viInternalName,
    viLegalCopyright,
    viLegalTrademarks,
    viOriginalFilename,
    viProductName,
    viProductVersion,
    viComments,
};

class TKvVersionInfo : public TComponent {
    DECLARE_CLASS_INFO()

public:
    // Reads the running program's own version resource at once.
    explicit TKvVersionInfo(TComponent* owner);
    void Loaded() override;

    // Empty: the running program's file; the first read stores that file's full path here.
    const std::string& FilePath() const { return filePath_; }
    // Reads again unless the path is unchanged or the component is still loading.
    virtual void SetFilePath(const std::string& path);

    // Items 0..9 in TKvVersionItem order; another index raises EListError.
    std::string GetVersionValue(int index) const { return items_[index]; }
    std::string GetVersionValue(TKvVersionItem item) const { return GetVersionValue(static_cast<int>(item)); }
    // Whether the file has a version resource at all.
    bool HasVersionInfo() const { return hasVersionInfo_; }

private:
    void ReadVersionBlock();

    std::string filePath_;
    TStringList items_;
    bool hasVersionInfo_ = false;
};
