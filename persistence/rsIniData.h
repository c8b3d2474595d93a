#pragma once

// The settings-file back end of a storage: where the file lives and how the tree of sections
// and typed keys is written as text and read back.

#include "FormStream.h"
#include "StringList.h"
#include "rsStorage.h"

#include <string>

enum TrsStreamFileDir { fdCustom, fdApplication, fdWindows, fdUserProfile };
enum TrsStreamDataOption { doAutoName, doAutoCreateDir };
using TrsStreamDataOptions = TSet<TrsStreamDataOption>;
enum TrsInternalFileLoad { iflNone, iflAlways, iflNoRealFile };
using TrsStreamEvent = TEvent<void(TObject* Sender, TStream& Stream, bool& DoStandard)>;

// A back end that keeps its data in a file (or an embedded fallback copy).
class TrsStreamData : public TrsStorageData {
    DECLARE_CLASS_INFO()

public:
    explicit TrsStreamData(TComponent* owner);

    std::string FileName;
    TrsStreamFileDir FileDir = fdApplication;
    TrsStreamDataOptions Options = {doAutoName};
    TrsInternalFileLoad InternalFileLoad = iflNone;
    TrsStreamEvent OnLoadFromStream, OnSaveToStream;

    // The full path of the file, built from FileDir, FileName and the executable.
    std::string FilePath() const;
    // The embedded fallback copy.
    TMemoryStream& InternalFile() { return internal_; }
    // The copy as a form stores it: bytes 1, 1, the packed length and the packed bytes.
    void ReadInternalFile(TStream& stream);
    void WriteInternalFile(TStream& stream);

    void LoadData() override;
    void SaveData() override;
    virtual void ReadFromStream(TStream& stream) { stream_ = &stream; }
    virtual void WriteToStream(TStream& stream) { stream_ = &stream; }

protected:
    // "InternalFile", written when there is a copy (there are no inherited forms to compare with).
    void DefineProperties(TFiler& filer) override;

    std::string defaultExt_;
    TStream* stream_ = nullptr;

private:
    TMemoryStream work_;
    TMemoryStream internal_;
};

enum TrsIniCompactOption { coHexStr };
using TrsIniCompactOptions = TSet<TrsIniCompactOption>;

class TrsIniData : public TrsStreamData {
    DECLARE_CLASS_INFO()

public:
    explicit TrsIniData(TComponent* owner);

    TStringList& Template() { return template_; }
    TStringList* TemplateObject() const { return const_cast<TStringList*>(&template_); }
    void SetTemplate(const TStringList& lines) { template_.Assign(lines); }
    TrsIniCompactOptions CompactOptions;

    void ReadFromStream(TStream& stream) override;
    void WriteToStream(TStream& stream) override;

    // The value text of one key as a line of the file holds it.
    std::string ValueText(const std::string& name, const TrsKeyItem& value) const;
    // The value of a line's text; continuation lines of hexadecimal values already joined.
    static TrsKeyItem ParseValue(const std::string& text);

private:
    TStringList template_;
};

template <>
struct TEnumTraits<TrsStreamFileDir> {
    static constexpr const char* Names[] = {"fdCustom", "fdApplication", "fdWindows", "fdUserProfile"};
};
template <>
struct TEnumTraits<TrsStreamDataOption> {
    static constexpr const char* Names[] = {"doAutoName", "doAutoCreateDir"};
};
template <>
struct TEnumTraits<TrsInternalFileLoad> {
    static constexpr const char* Names[] = {"iflNone", "iflAlways", "iflNoRealFile"};
};
template <>
struct TEnumTraits<TrsIniCompactOption> {
    static constexpr const char* Names[] = {"coHexStr"};
};
