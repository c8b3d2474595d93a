#pragma once

// The undo journal: before anything is deleted, each marked finding is exported into
// this run's undo file in the registry editor's "REGEDIT4" text format.

#include "Registry.h"
#include "Streams.h"
#include "StringList.h"

#include <windows.h>

#include <memory>
#include <string>

class TRegUndoFile : public TObject {
public:
    TRegUndoFile();

    TRegistry Reg;
    // The whole text of the current file, header included.
    TStringList Lines;
    std::unique_ptr<TFileStream> Stream;
    // Empty until the first entry of the run; never cleared.
    std::string FileName;
    // Where new files go: "restore" beside the executable.
    std::string Folder;
    // Set by AddEntry when a key or value name of its entry holds a line break. No line of the
    // format keeps such a name whole, and a split line cannot be read back, so the entry is
    // not journaled (and is therefore never deleted).
    bool LineBreakRefused = false;

    // "yyyymmddhhnnss.reg" for the current local time.
    static std::string MakeFileName();

    // Journals one finding: the whole key when valueName is empty, else that value.
    // True when its lines reached the file; false (and nothing kept) otherwise, also when a
    // name in it holds a line break (LineBreakRefused). Failing to create the folder or the
    // file raises.
    bool AddEntry(HKEY root, const std::string& key, const std::string& valueName);
    void ExportKey(HKEY root, const std::string& key);
    void ExportValue(HKEY root, const std::string& key, const std::string& name);

private:
    void OpenFile(const std::string& name);
    void AddSectionHeader(HKEY root, const std::string& key);
    void AddValueLine(const std::string& name);
};

// One journal for the whole run.
extern TRegUndoFile UndoFile;

// "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE" or "HKEY_USERS";
// empty for any other root.
std::string RootKeyName(HKEY root);

// Escapes backslashes and double quotes as the text format wants them.
std::string EscapeRegText(const std::string& text);
// "@=" for the default value, else the escaped name in double quotes and "=".
std::string FormatValueName(const std::string& name);
// hex: (binary) or hex(N): data, continued with "\" and two blanks past 80 characters.
void AppendHexLines(TStringList& lines, const std::string& prefix, DWORD type, const unsigned char* data,
                    size_t size);
