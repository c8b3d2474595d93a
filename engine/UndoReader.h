#pragma once

// Reads undo files back: every value line becomes an entry that can be written back
// into the registry. Accepts what the journal writes and older files whose value
// names were not escaped.

#include "Registry.h"
#include "StringList.h"

#include <windows.h>

#include <string>
#include <vector>

struct TUndoEntry {
    std::string Key;   // full path from the section header, root name first
    std::string Text;  // the value line as shown: unescaped, continued hex lines joined;
                       // empty for a section without values, which stands for its key alone
    std::string Name;  // empty: the key's default value
    DWORD Type = REG_SZ;
    std::vector<unsigned char> Data;  // as stored; strings with their terminating zero
    bool Malformed = false;           // a hex byte that is no hex byte: restoring it fails
    bool Ignored = false;             // a dword that is no number: restoring skips it
};

std::vector<TUndoEntry> ParseUndoLines(const TStringList& lines);

// "HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER" or "HKEY_USERS" at the
// start of fullKey; rest is the remainder (it begins with a backslash).
bool SplitRootKey(const std::string& fullKey, HKEY& root, std::string& rest);

// Writes the entry through reg, creating its key when missing; an entry without text only
// creates the key. False when the key is not under a known root or cannot be opened;
// raises for malformed data or a failed write.
bool RestoreUndoEntry(TRegistry& reg, const TUndoEntry& entry);
