#pragma once

// The scan thread: runs the enabled registry checks on a worker thread and collects
// every entry that points at something missing as a TRegistryError.

#include "Event.h"
#include "Registry.h"
#include "StringList.h"
#include "Thread.h"
#include "Undos.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_map>

// One invalid entry found by a scan.
class TRegistryError : public TObject {
public:
    TObject* ListItem = nullptr;  // the list item showing it; set by the page
    std::string NewData;          // written as a string value instead of deleting, when set
    std::string Description;
    std::string Key;        // below the root, exactly as the check built it
    std::string ValueName;  // empty: the whole key
    bool Checked = false;   // marked for journaling and fixing
    HKEY RootKey = nullptr;
    std::string Value;  // the text shown for it
    bool Journaled = false;  // in the undo file since the last CreateUndoFile; only then fixed
    // A name in it holds a line break, which the undo file cannot keep: never journaled, so kept.
    bool KeptForLineBreak = false;

    // Root name + "\" + Key: the text listed and compared with the excluded keys.
    std::string GetFullPath() const;
};

// Which checks a scan runs; the values are those the settings page stores.
using TScanOptions = uint16_t;
enum : TScanOptions {
    soSharedDLLs = 0x01,
    soFileAssociations = 0x02,  // set by the settings page; no check reads it
    soStartupRun = 0x04,
    soAppPaths = 0x08,
    soHelpFiles = 0x10,
    soFonts = 0x20,
    soSounds = 0x40,
    soFileExtensions = 0x80,
    soFileList = 0x100,
};

class TRegistryCheckThread : public TThread {
public:
    TRegistryCheckThread();
    ~TRegistryCheckThread() override;

    int FixedCount = 0;
    int DeletedItems = 0;
    TScanOptions ScanOptions = 127;
    TRegistryError* CurrentError = nullptr;
    int Total = 0;
    int Position = 0;
    TRegistry Reg;
    // One line per finding: its description, carrying its record (owned by the thread).
    TStringList Errors;
    std::string StatusText;

    // Each is raised with the thread as sender and runs on the main thread.
    TNotifyEvent OnCleanFinished;
    TNotifyEvent OnErrorFixed;
    TNotifyEvent OnProgress;
    TNotifyEvent OnErrorFound;
    TNotifyEvent OnScanFinished;
    TNotifyEvent OnStatus;

    // The finding added last; null when there is none.
    TRegistryError* LastError() const;

    void AddInvalidEntry(HKEY root, const std::string& key, const std::string& description,
                         const std::string& value, const std::string& valueName);
    void AddInvalidEntryEx(HKEY root, const std::string& key, const std::string& description,
                           const std::string& newData, const std::string& value, const std::string& valueName);

    // Journals every checked finding into UndoFile; false when the journal file could
    // not be made or a finding could not be written. Main thread, after the scan.
    bool CreateUndoFile();
    // Deletes (or rewrites) every checked finding that CreateUndoFile journaled.
    void FixErrors();

protected:
    void Execute() override;

    // The checks, in the order Execute runs them. Each tests Terminated() itself.
    virtual void CheckFileExtensions(HKEY root, const std::string& base);
    virtual void CheckSharedDLLs();
    virtual void CheckStartupRun();
    virtual void CheckAppPaths();
    virtual void CheckHelpFiles();
    virtual void CheckFonts();
    virtual void CheckSounds();
    virtual void CheckFileList();

    void DoProgress();
    void DoStatus();
    // Sets StatusText and raises OnStatus.
    void SetStatus(const std::string& text);

private:
    // Runs a receiver on the main thread; its errors end the scan instead of one check.
    void Notify(const TNotifyEvent& event);
    // Runs work, dropping its errors but not those of event receivers.
    template <class Work>
    void AbsorbErrors(Work work);
    // Runs work; an event receiver's error leaves it as raised by the receiver.
    template <class Work>
    void PassReceiverErrors(Work work);
    void FixJournaledErrors();
    // Sets Total, then per item: a status line (prefix + item) every fifth item, examine,
    // a stop test and its position. False when a stop ended the walk.
    template <class Examine>
    bool WalkList(const TStringList& items, const std::string& statusPrefix, Examine examine);
    // base + key, or base + "Wow6432Node\" + key.
    bool ClassKeyExists(const std::string& base, const std::string& key);
    void CheckSoundFile(HKEY root, const std::string& key, const std::string& description);
    void ScanKeyForFiles(const std::string& path);
    void ScanLeafValues(const TRegKeyInfo& info);
    void DeleteKeyTree(HKEY root, const std::string& key);

    // The whole-registry walk meets thousands of keys a second; each report costs a
    // round trip to the main thread, so its status and progress go out at most every
    // kIntervalMs (the first at once, the walk's final progress always).
    struct TReportThrottle {
        static constexpr ULONGLONG kIntervalMs = 40;
        ULONGLONG last = 0;
        bool Due();
    };
    TReportThrottle walkStatus_;
    TReportThrottle walkProgress_;

    // Results of PathListExists during one walk.
    bool KnownPathListExists(const std::string& data);
    static constexpr size_t kKnownPathsLimit = 100000;
    std::unordered_map<std::string, bool> knownPaths_;
    TRegistryError* Record(int index) const { return static_cast<TRegistryError*>(Errors.Objects(index)); }
};
