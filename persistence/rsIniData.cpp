#include "rsIniData.h"

#include <shlobj.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

// ---- the file --------------------------------------------------------------------------

const TClassInfo& TrsStreamData::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TrsStreamData::FileName>("FileName"),
        Prop<&TrsStreamData::FileDir>("FileDir").WithDefault(fdApplication),
        Prop<&TrsStreamData::Options>("Options"),
        Prop<&TrsStreamData::InternalFileLoad>("InternalFileLoad").WithDefault(iflNone),
        Prop<&TrsStreamData::OnLoadFromStream>("OnLoadFromStream"),
        Prop<&TrsStreamData::OnSaveToStream>("OnSaveToStream"),
    };
    static const TClassInfo info = MakeClassInfo<TrsStreamData, TrsStorageData>("TrsStreamData", props);
    return info;
}

TrsStreamData::TrsStreamData(TComponent* owner) : TrsStorageData(owner) {}

namespace {

std::string ModulePath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD got = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (got == 0)
            return {};
        if (got < path.size()) {
            path.resize(got);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
    const size_t slash = name.find_last_of("\\/:");
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        return name.substr(0, dot) + ext;
    return name + ext;
}

}  // namespace

std::string TrsStreamData::FilePath() const {
    std::string dir;
    switch (FileDir) {
    case fdCustom: dir = ExtractFilePath(FileName); break;
    case fdApplication: dir = ExtractFilePath(ModulePath()); break;
    case fdWindows: {
        char buffer[MAX_PATH] = "";
        const UINT got = GetWindowsDirectoryA(buffer, MAX_PATH);
        if (got > 0 && got < MAX_PATH)
            dir = buffer;
        break;
    }
    case fdUserProfile: {
        char buffer[MAX_PATH] = "";
        if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, buffer)))
            dir = buffer;
        break;
    }
    }
    if (!dir.empty() && dir.back() != '\\')
        dir += '\\';
    if (FileDir != fdCustom) {
        std::string sub = ExtractFilePath(FileName);
        if (!sub.empty()) {
            if (sub.back() != '\\')
                sub += '\\';
            dir += sub;
        }
    }
    std::string name = ExtractFileName(Options.Contains(doAutoName) ? ModulePath() : FileName);
    name.erase(0, name.find_first_not_of('\\') == std::string::npos ? name.size() : name.find_first_not_of('\\'));
    const std::string ext = ExtractFileExt(FileName);
    return dir + ChangeFileExt(name, ext.empty() ? defaultExt_ : ext);
}

void TrsStreamData::ReadInternalFile(TStream& stream) {
    unsigned char head[6];
    stream.ReadBuffer(head, 6);
    if (head[0] != 1 || head[1] != 1)
        RaiseStorageError(rsLibraryError, "Embedded file of an unknown layout");
    const uint32_t length = uint32_t(head[2]) | uint32_t(head[3]) << 8 | uint32_t(head[4]) << 16 | uint32_t(head[5]) << 24;
    if (length > stream.Size() - stream.Position())
        RaiseStorageError(rsLibraryError, "Embedded file cut short");
    TMemoryStream packed;
    packed.SetSize(length);
    if (length)
        stream.ReadBuffer(const_cast<unsigned char*>(packed.Memory()), length);
    packed.SetPosition(0);
    TMemoryStream plain;
    DecompressStream(packed, plain);
    internal_.Clear();
    plain.SetPosition(0);
    internal_.LoadFromStream(plain);
}

void TrsStreamData::DefineProperties(TFiler& filer) {
    TrsStorageData::DefineProperties(filer);
    filer.DefineBinaryProperty(
        "InternalFile", [this](TStream& stream) { ReadInternalFile(stream); },
        [this](TStream& stream) { WriteInternalFile(stream); }, internal_.Size() > 0);
}

void TrsStreamData::WriteInternalFile(TStream& stream) {
    TMemoryStream packed;
    internal_.SetPosition(0);
    CompressStream(internal_, packed);
    const uint32_t length = static_cast<uint32_t>(packed.Size());
    const unsigned char head[6] = {1, 1, static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                   static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
    stream.WriteBuffer(head, 6);
    stream.WriteBuffer(packed.Memory(), length);
}

void TrsStreamData::LoadData() {
    work_.Clear();
    bool doStandard = true;
    if (OnLoadFromStream.Assigned()) {
        doStandard = false;
        OnLoadFromStream(this, work_, doStandard);
    }
    TMemoryStream* source = &work_;
    if (doStandard) {
        const std::string path = FilePath();
        const bool exists = FileExists(path);
        if (InternalFileLoad == iflAlways || (InternalFileLoad == iflNoRealFile && !exists)) {
            source = &internal_;
        } else if (exists) {
            TFileStream file(path, fmOpenRead | fmShareDenyWrite);
            work_.LoadFromStream(file);
        }
    }
    source->SetPosition(0);
    if (source->Size() > 0)
        ReadFromStream(*source);
    if (doStandard && source != &internal_)
        work_.Clear();
}

void TrsStreamData::SaveData() {
    work_.Clear();
    WriteToStream(work_);
    work_.SetPosition(0);
    bool doStandard = true;
    if (OnSaveToStream.Assigned()) {
        doStandard = false;
        OnSaveToStream(this, work_, doStandard);
    }
    if (!doStandard)
        return;
    const std::string path = FilePath();
    const std::string dir = ExtractFilePath(path);
    if (Options.Contains(doAutoCreateDir) && !dir.empty()) {
        // One level at a time; a drive is not a folder to make.
        for (size_t at = 0; at < dir.size(); ++at) {
            if (dir[at] != '\\' && dir[at] != '/')
                continue;
            const std::string level = dir.substr(0, at);
            if (level.empty() || level.back() == ':' || level == "\\")
                continue;
            if (!DirectoryExists(level))
                CreateDirectoryA(level.c_str(), nullptr);
        }
    }
    // A temporary file beside the target replaces it only once it is whole, so a failed
    // save leaves the old file as it was.
    char temp[MAX_PATH + 16] = "";
    if (!GetTempFileNameA(dir.empty() ? "." : dir.c_str(), "rs", 0, temp))
        throw EFCreateError(Format("Cannot create file \"%s\". %s", path.c_str(), SysErrorMessage(GetLastError()).c_str()));
    try {
        {
            TFileStream file(temp, fmCreate);
            file.WriteBuffer(work_.Memory(), work_.Size());
            FlushFileBuffers(file.Handle());
        }
        if (!MoveFileExA(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            throw EFCreateError(Format("Cannot create file \"%s\". %s", path.c_str(), SysErrorMessage(GetLastError()).c_str()));
    } catch (...) {
        DeleteFileA(temp);
        throw;
    }
    work_.Clear();
}

// ---- the text format -----------------------------------------------------------------

const TClassInfo& TrsIniData::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TrsIniData::TemplateObject>("Template"),
        Prop<&TrsIniData::CompactOptions>("CompactOptions"),
    };
    static const TClassInfo info = MakeClassInfo<TrsIniData, TrsStreamData>("TrsIniData", props);
    return info;
}

TrsIniData::TrsIniData(TComponent* owner) : TrsStreamData(owner) {
    defaultExt_ = ".ini";
    template_.Add("%BODY%");
}

namespace {

const char kBodyMarker[] = "%BODY%";

std::string EscapeText(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '$')
            out += "$$";
        else if (c < 32)
            out += Format("$%02X", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string UnescapeText(const std::string& value) {
    size_t i = 0, end = value.size();
    if (i < end && value[i] == '"')
        ++i;
    if (end > i && value[end - 1] == '"')
        --end;
    std::string out;
    while (i < end) {
        if (value[i] == '$') {
            if (i + 1 < end && value[i + 1] == '$') {
                out += '$';
                i += 2;
                continue;
            }
            const char high = i + 1 < end ? value[i + 1] : '0';
            const char low = i + 2 < end ? value[i + 2] : '0';
            out += static_cast<char>(std::max(HexDigitValue(high), 0) * 16 + std::max(HexDigitValue(low), 0));
            i += 3;
            continue;
        }
        out += value[i++];
    }
    return out;
}

bool ParseStrictInt64(const std::string& text, int64_t& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (*end || errno == ERANGE)
        return false;
    value = parsed;
    return true;
}

bool ParseLocaleFloat(std::string text, double& value) {
    const char sep = LocaleDecimalSeparator();
    if (text.find('.') != std::string::npos && sep != '.')
        return false;
    std::replace(text.begin(), text.end(), sep, '.');
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && !*end;
}

std::string FloatText(double value) {
    const char sep = LocaleDecimalSeparator();
    std::string text = Format("%.15g", value);
    std::replace(text.begin(), text.end(), '.', sep);
    if (text.find(sep) == std::string::npos)
        text += std::string(1, sep) + "0";
    return text;
}

bool IsLineBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string TrimLine(const std::string& line) {
    size_t a = 0, b = line.size();
    while (a < b && IsLineBlank(line[a]))
        ++a;
    while (b > a && IsLineBlank(line[b - 1]))
        --b;
    return line.substr(a, b - a);
}

}  // namespace

std::string TrsIniData::ValueText(const std::string& name, const TrsKeyItem& value) const {
    switch (value.Kind) {
    case TrsKeyKind::Empty: return {};
    case TrsKeyKind::String: {
        const std::string& s = value.Text;
        if (std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }))
            return "text:\"" + EscapeText(s) + "\"";
        return QuoteIfNeeded(s);
    }
    case TrsKeyKind::Integer: return IntToStr(static_cast<int32_t>(value.Int));
    case TrsKeyKind::Float: return FloatText(value.Float);
    case TrsKeyKind::Currency: return "curr:" + CurrencyToText(value.Int);
    case TrsKeyKind::DateTime: return "date:" + DateTimeToText(value.Float);
    case TrsKeyKind::Boolean: return value.Int ? "True" : "False";
    case TrsKeyKind::Point: return Format("point:%d,%d", static_cast<int>(value.X), static_cast<int>(value.Y));
    case TrsKeyKind::Int64:
        if (value.Int >= INT32_MIN && value.Int <= INT32_MAX)
            return "int64:" + IntToStr(value.Int);
        return IntToStr(value.Int);
    case TrsKeyKind::Binary: {
        TrsHexLayout layout;
        layout.Compact = CompactOptions.Contains(coHexStr);
        layout.LineBreak = "\\\r\n  ";
        layout.StartColumn = static_cast<int>(name.size()) + 6;
        return "hex:" + HexEncode(value.Text.data(), value.Text.size(), layout);
    }
    }
    return {};
}

TrsKeyItem TrsIniData::ParseValue(const std::string& value) {
    if (value.empty())
        return TrsKeyItem::OfString("");
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return TrsKeyItem::OfString(value.substr(1, value.size() - 2));
    const char first = value[0];
    // A value that does not convert stays as its text: one damaged line must not cost the rest.
    if (first == '+' || first == '-' || (first >= '0' && first <= '9')) {
        int64_t number;
        double real;
        switch (ClassifyNumber(value, LocaleDecimalSeparator())) {
        case ncInteger:
            if (ParseStrictInt64(value, number))
                return TrsKeyItem::OfInteger(static_cast<int32_t>(number));
            break;
        case ncInt64:
            if (ParseStrictInt64(value, number))
                return TrsKeyItem::OfInt64(number);
            return TrsKeyItem::OfString(value);
        case ncFloat:
            if (ParseLocaleFloat(value, real))
                return TrsKeyItem::OfFloat(real);
            return TrsKeyItem::OfString(value);
        case ncNone: break;
        }
    }
    auto prefixed = [&](const char* prefix) { return StartsText(prefix, value); };
    switch (first & ~0x20) {
    case 'C':
        if (prefixed("curr:")) {
            int64_t scaled;
            if (TextToCurrency(Trim(value.substr(5)), scaled))
                return TrsKeyItem::OfCurrency(scaled);
        }
        break;
    case 'D':
        if (prefixed("date:")) {
            double date;
            if (TextToDateTime(value.substr(5), date))
                return TrsKeyItem::OfDateTime(date);
        }
        break;
    case 'F':
        if (SameText(value, "False"))
            return TrsKeyItem::OfBoolean(false);
        break;
    case 'H':
        if (prefixed("hex:"))
            return TrsKeyItem::OfBinary(HexDecode(value.substr(4)));
        break;
    case 'I':
        if (prefixed("int64:")) {
            int64_t number;
            if (ParseStrictInt64(Trim(value.substr(6)), number))
                return TrsKeyItem::OfInt64(number);
        }
        break;
    case 'P':
        if (prefixed("point:")) {
            const std::string rest = value.substr(6);
            const size_t comma = rest.find(',');
            int64_t x, y;
            if (comma != std::string::npos && ParseStrictInt64(Trim(rest.substr(0, comma)), x) &&
                ParseStrictInt64(Trim(rest.substr(comma + 1, 255)), y) && x >= INT32_MIN && x <= INT32_MAX &&
                y >= INT32_MIN && y <= INT32_MAX)
                return TrsKeyItem::OfPoint(static_cast<int32_t>(x), static_cast<int32_t>(y));
        }
        break;
    case 'T':
        if (SameText(value, "True"))
            return TrsKeyItem::OfBoolean(true);
        if (prefixed("text:"))
            return TrsKeyItem::OfString(UnescapeText(value.substr(5)));
        break;
    default: break;
    }
    return TrsKeyItem::OfString(value);
}

void TrsIniData::WriteToStream(TStream& stream) {
    TrsStreamData::WriteToStream(stream);
    TrsStorage* storage = CurrentStorage();
    const std::string templ = template_.Text();
    const size_t marker = templ.find(kBodyMarker);
    std::string out = marker == std::string::npos ? templ : templ.substr(0, marker);
    if (storage) {
        const auto& keys = storage->Keys();
        const bool keepEmpty = storage->Options.Contains(soSaveEmptySection);
        auto writeSection = [&](uint32_t id) {
            auto from = std::lower_bound(keys.begin(), keys.end(), id,
                                         [](const TrsStorage::KeyRec& k, uint32_t v) { return k.SectionId < v; });
            if ((from == keys.end() || from->SectionId != id) && !keepEmpty)
                return;
            out += "[" + storage->SectionPath(id) + "]\r\n";
            bool any = false;
            for (auto k = from; k != keys.end() && k->SectionId == id; ++k) {
                out += k->Name + "=" + ValueText(k->Name, k->Value) + "\r\n";
                any = true;
                DoProgress();
            }
            if (any)
                out += "\r\n";
        };
        SetProgressTotal(static_cast<int>(keys.size()));
        writeSection(0);
        for (const auto& section : storage->Sections())
            writeSection(section.Id);
    }
    if (marker != std::string::npos) {
        const std::string tail = templ.substr(std::min(templ.size(), marker + 8));
        if (tail != "\r\n")
            out += tail;
    }
    stream.WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
}

void TrsIniData::ReadFromStream(TStream& stream) {
    TrsStreamData::ReadFromStream(stream);
    TrsStorage* storage = CurrentStorage();
    if (!storage)
        return;
    std::string text(static_cast<size_t>(stream.Size() - stream.Position()), '\0');
    if (!text.empty())
        stream.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
    // 16-bit text (either byte order) becomes text of the system code page.
    if (text.size() >= 2 && ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF'))) {
        if (text[0] == '\xFE')
            SwapByteOrder16(text.data() + 2, text.size() - 2);
        const int units = static_cast<int>((text.size() - 2) / 2);
        std::wstring wide(static_cast<size_t>(units), L'\0');
        for (int i = 0; i < units; ++i)
            wide[static_cast<size_t>(i)] = static_cast<wchar_t>(static_cast<unsigned char>(text[2 + 2 * i]) |
                                                                static_cast<unsigned char>(text[3 + 2 * i]) << 8);
        const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
        std::string narrow(static_cast<size_t>(std::max(bytes, 0)), '\0');
        if (bytes > 0)
            WideCharToMultiByte(CP_ACP, 0, wide.data(), units, narrow.data(), bytes, nullptr, nullptr);
        text = narrow;
    }
    // The text ends at the first zero, as a terminated string would.
    text.resize(std::min(text.size(), text.find('\0')));

    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = at;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        lines.push_back(text.substr(at, end - at));
        at = end;
        if (at < text.size() && text[at] == '\r')
            ++at;
        if (at < text.size() && text[at] == '\n')
            ++at;
    }
    size_t first = 0;
    while (first < lines.size() && TrimLine(lines[first]).compare(0, 1, "[") != 0)
        ++first;
    size_t headers = 0, others = 0;
    for (size_t i = first; i < lines.size(); ++i) {
        const std::string line = TrimLine(lines[i]);
        if (line.empty())
            continue;
        (line[0] == '[' ? headers : others) += 1;
    }
    if (headers == 0 && others == 0)
        return;
    SetProgressTotal(static_cast<int>(others));
    storage->Reserve(headers, others);

    bool sectionOk = true;
    for (size_t i = first; i < lines.size(); ++i) {
        const std::string line = TrimLine(lines[i]);
        if (line.empty())
            continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string path = line.substr(1, line.size() - 2);
            // A header that names no section (an empty part, a name too long for the storage)
            // takes its keys with it, and nothing more.
            sectionOk = TrsStorage::NamesFit(path);
            if (!sectionOk)
                continue;
            storage->SetRootSection(path);
            sectionOk = path.empty() || std::all_of(path.begin(), path.end(), IsPathSeparator) || storage->SectionExists("\\" + path);
            continue;
        }
        const char c = line[0];
        const size_t equals = line.find('=');
        if (equals == std::string::npos || c == '#' || c == '/' || c == ';' || c == '\\')
            continue;
        const std::string name = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (StartsText("hex:", value)) {
            // The character right before the line end decides, blanks included.
            auto continues = [](const std::string& raw) { return !raw.empty() && (raw.back() == ',' || raw.back() == '\\'); };
            while (continues(lines[i]) && i + 1 < lines.size())
                value += "\r\n" + TrimLine(lines[++i]);
        }
        if (sectionOk && TrsStorage::NamesFit(name))
            storage->WriteValue(name, ParseValue(value));
        DoProgress();
    }
}
