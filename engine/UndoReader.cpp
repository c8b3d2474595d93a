#include "UndoReader.h"

#include "SysUtils.h"

#include <cstdint>

namespace {

// The text between the quote at open and its closing quote, with \\ and \" unescaped.
// A backslash before any other character stays, as in names written unescaped.
// Returns the index of the closing quote, or npos.
size_t ReadQuoted(const std::string& line, size_t open, std::string& text) {
    text.clear();
    for (size_t i = open + 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
            text += line[++i];
        } else if (c == '"') {
            return i;
        } else {
            text += c;
        }
    }
    return std::string::npos;
}

// Splits a value line into its name and the text after "=". False for lines that hold none.
bool SplitValueLine(const std::string& line, std::string& name, std::string& data) {
    size_t equals;
    if (line[0] == '@') {
        name.clear();
        equals = 1;
    } else if (line[0] == '"') {
        size_t close = ReadQuoted(line, 0, name);
        if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != '=') {
            // An unescaped name holding a quote: it runs to the last quote before "=".
            close = line.find("\"=", 1);
            if (close == std::string::npos)
                return false;
            name = line.substr(1, close - 1);
        }
        equals = close + 1;
    } else {
        equals = line.find('=');
        if (equals == std::string::npos || equals == 0)
            return false;
        name = line.substr(0, equals);
    }
    if (equals >= line.size() || line[equals] != '=')
        return false;
    data = line.substr(equals + 1);
    return true;
}

// Comma-separated hex bytes; empty pieces are skipped.
void ParseHexBytes(const std::string& text, TUndoEntry& entry) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        const std::string piece = Trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!piece.empty()) {
            const int high = piece.size() == 2 ? HexDigitValue(piece[0]) : piece.size() == 1 ? 0 : -1;
            const int low = HexDigitValue(piece.back());
            if (high < 0 || low < 0)
                entry.Malformed = true;
            else
                entry.Data.push_back(static_cast<unsigned char>(high * 16 + low));
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}

void ParseData(const std::string& data, TUndoEntry& entry) {
    if (!data.empty() && data[0] == '"') {
        std::string text;
        if (ReadQuoted(data, 0, text) == std::string::npos)
            text = data.substr(1);
        entry.Type = REG_SZ;
        entry.Data.assign(text.begin(), text.end());
        entry.Data.push_back(0);
    } else if (StartsText("dword:", data)) {
        int value;
        entry.Type = REG_DWORD;
        const std::string digits = Trim(data.substr(6));
        if (digits.empty() || digits.size() > 8 || !TryStrToInt("$" + digits, value)) {
            entry.Ignored = true;
            return;
        }
        const uint32_t bits = static_cast<uint32_t>(value);
        for (int i = 0; i < 4; ++i)
            entry.Data.push_back(static_cast<unsigned char>(bits >> (8 * i)));
    } else if (StartsText("hex:", data)) {
        entry.Type = REG_BINARY;
        ParseHexBytes(data.substr(4), entry);
    } else if (StartsText("hex(", data) && data.find("):") != std::string::npos) {
        const size_t close = data.find("):");
        int type;
        if (!TryStrToInt("$" + data.substr(4, close - 4), type)) {
            entry.Malformed = true;
            return;
        }
        entry.Type = static_cast<DWORD>(type);
        ParseHexBytes(data.substr(close + 2), entry);
    } else {
        entry.Type = REG_SZ;
        entry.Data.assign(data.begin(), data.end());
        entry.Data.push_back(0);
    }
}

bool IsHexData(const std::string& data) { return StartsText("hex:", data) || StartsText("hex(", data); }

}  // namespace

std::vector<TUndoEntry> ParseUndoLines(const TStringList& lines) {
    std::vector<TUndoEntry> entries;
    std::string key;
    bool keyHasValues = true;
    // A section without values still stands for a key: an entry with no text recreates it.
    const auto addBareKey = [&] {
        if (!keyHasValues) {
            TUndoEntry bare;
            bare.Key = key;
            entries.push_back(std::move(bare));
        }
    };
    for (int i = 0; i < lines.Count(); ++i) {
        std::string line = Trim(lines[i]);
        if (line.empty() || line[0] == ';' || UpperCase(Copy(line, 1, 8)) == "REGEDIT4")
            continue;
        if (line.front() == '[' && line.back() == ']') {
            addBareKey();
            key = line.substr(1, line.size() - 2);
            keyHasValues = false;
            continue;
        }
        TUndoEntry entry;
        std::string data;
        if (!SplitValueLine(line, entry.Name, data))
            continue;
        const std::string namePart = line.substr(0, line.size() - data.size());
        // Hex data may go on over lines that end with a backslash.
        if (IsHexData(data)) {
            while (!data.empty() && data.back() == '\\') {
                data.pop_back();
                if (i + 1 >= lines.Count())
                    break;
                data += Trim(lines[++i]);
            }
        }
        entry.Key = key;
        ParseData(data, entry);
        entry.Text = StringReplace(StringReplace(namePart + data, "\\\\", "\\", rfReplaceAll), "\\\"", "\"",
                                   rfReplaceAll);
        entries.push_back(std::move(entry));
        keyHasValues = true;
    }
    addBareKey();
    return entries;
}

bool SplitRootKey(const std::string& fullKey, HKEY& root, std::string& rest) {
    static const struct {
        const char* name;
        HKEY root;
    } kRoots[] = {{"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                  {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                  {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                  {"HKEY_USERS", HKEY_USERS}};
    for (const auto& candidate : kRoots) {
        const std::string name = candidate.name;
        if (fullKey.compare(0, name.size(), name) == 0) {
            root = candidate.root;
            rest = fullKey.substr(name.size());
            return true;
        }
    }
    return false;
}

bool RestoreUndoEntry(TRegistry& reg, const TUndoEntry& entry) {
    HKEY root;
    std::string rest;
    if (!SplitRootKey(entry.Key, root, rest))
        return false;
    reg.CloseKey();
    reg.SetRootKey(root);
    if (!reg.OpenKey(rest, true))
        return false;
    if (entry.Malformed)
        throw EConvertError(Format("'%s' holds a byte that is not hexadecimal", entry.Text.c_str()));
    if (!entry.Ignored && !entry.Text.empty())
        reg.WriteRawData(entry.Name, entry.Type, entry.Data.data(), static_cast<int>(entry.Data.size()));
    reg.CloseKey();
    return true;
}
