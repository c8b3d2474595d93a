#include "RegistryWork.h"

#include "FileSearch.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

// Carries an error raised by an event receiver through a check's error guard.
struct TReceiverFailure {
    std::exception_ptr error;
};

}  // namespace

std::string TRegistryError::GetFullPath() const { return RootKeyName(RootKey) + '\\' + Key; }

TRegistryCheckThread::TRegistryCheckThread() : TThread("TRegistryCheckThread") {
    Reg.SetAccess(KEY_ALL_ACCESS | kNativeRegistryView);
    Reg.SetRootKey(HKEY_LOCAL_MACHINE);
}

TRegistryCheckThread::~TRegistryCheckThread() {
    StopAndWait();
    for (int i = 0; i < Errors.Count(); ++i)
        delete static_cast<TRegistryError*>(Errors.Objects(i));
}

TRegistryError* TRegistryCheckThread::LastError() const {
    return Errors.Empty() ? nullptr : static_cast<TRegistryError*>(Errors.Objects(Errors.Count() - 1));
}

void TRegistryCheckThread::AddInvalidEntry(HKEY root, const std::string& key, const std::string& description,
                                           const std::string& value, const std::string& valueName) {
    AddInvalidEntryEx(root, key, description, std::string(), value, valueName);
}

void TRegistryCheckThread::AddInvalidEntryEx(HKEY root, const std::string& key, const std::string& description,
                                             const std::string& newData, const std::string& value,
                                             const std::string& valueName) {
    auto record = std::make_unique<TRegistryError>();
    record->RootKey = root;
    record->Key = key;
    record->Description = description;
    record->NewData = newData;
    record->Value = value;
    record->ValueName = valueName;
    Errors.AddObject(description, record.get());
    record.release();
    Notify(OnErrorFound);
}

void TRegistryCheckThread::Notify(const TNotifyEvent& event) {
    if (!event)
        return;
    try {
        Synchronize([this, &event] { event(this); });
    } catch (...) {
        throw TReceiverFailure{std::current_exception()};
    }
}

void TRegistryCheckThread::DoProgress() { Notify(OnProgress); }

void TRegistryCheckThread::DoStatus() { Notify(OnStatus); }

void TRegistryCheckThread::SetStatus(const std::string& text) {
    StatusText = text;
    DoStatus();
}

void TRegistryCheckThread::Execute() {
    TFileSystemRedirectionOff redirectionOff;
    struct TCheckSlot {
        TScanOptions option;
        void (*run)(TRegistryCheckThread&);
    };
    static const TCheckSlot kChecks[] = {
        {soFileExtensions, [](TRegistryCheckThread& t) { t.CheckFileExtensions(HKEY_CLASSES_ROOT, "\\"); }},
        {soSharedDLLs, [](TRegistryCheckThread& t) { t.CheckSharedDLLs(); }},
        {soStartupRun, [](TRegistryCheckThread& t) { t.CheckStartupRun(); }},
        {soAppPaths, [](TRegistryCheckThread& t) { t.CheckAppPaths(); }},
        {soHelpFiles, [](TRegistryCheckThread& t) { t.CheckHelpFiles(); }},
        {soFonts, [](TRegistryCheckThread& t) { t.CheckFonts(); }},
        {soSounds, [](TRegistryCheckThread& t) { t.CheckSounds(); }},
        {soFileList, [](TRegistryCheckThread& t) { t.CheckFileList(); }},
    };
    PassReceiverErrors([this] {
        for (const TCheckSlot& check : kChecks) {
            if (!(ScanOptions & check.option) || Terminated())
                continue;
            // A failing check ends itself only; the later checks still run.
            try {
                check.run(*this);
            } catch (const TReceiverFailure&) {
                throw;
            } catch (...) {
            }
        }

        if (Terminated())
            StatusText = "Stopped by user";
        else if (!Errors.Empty())
            StatusText = IntToStr(Errors.Count()) + " registry error(s) found";
        else
            StatusText = "No errors found";
        Notify(OnScanFinished);
    });
}

namespace {

const HKEY kMachine = HKEY_LOCAL_MACHINE;
const char kSharedDLLsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\";
const char kAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr int kFileListRange = 50000;

struct TLabelledKey {
    const char* key;
    const char* label;
};

const TLabelledKey kHelpKeys[] = {
    {"SOFTWARE\\Microsoft\\Windows\\HTML Help", "HTML Help"},
    {"SOFTWARE\\Microsoft\\Windows\\Help", "Help"},
};

const TLabelledKey kFontKeys[] = {
    {"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts", "Windows NT Fonts"},
    {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts", "Windows Fonts"},
};

struct TSoundScheme {
    HKEY root;
    const char* base;
    const char* label;
};

const TSoundScheme kSoundSchemes[] = {
    {HKEY_CURRENT_USER, "AppEvents\\Schemes\\Apps\\", "current user"},
    {HKEY_USERS, ".DEFAULT\\AppEvents\\Schemes\\Apps\\", "users"},
};

std::string StripQuotes(std::string s) {
    if (!s.empty() && s.front() == '"')
        s.erase(0, 1);
    if (!s.empty() && s.back() == '"')
        s.pop_back();
    return s;
}

}  // namespace

template <class Work>
void TRegistryCheckThread::PassReceiverErrors(Work work) {
    try {
        work();
    } catch (const TReceiverFailure& failure) {
        std::rethrow_exception(failure.error);
    }
}

template <class Work>
void TRegistryCheckThread::AbsorbErrors(Work work) {
    try {
        work();
    } catch (const TReceiverFailure&) {
        throw;
    } catch (...) {
    }
}

bool TRegistryCheckThread::ClassKeyExists(const std::string& base, const std::string& key) {
    // 32-bit registrations of a 64-bit system live in the Wow6432Node view.
    return Reg.KeyExists(base + key) || Reg.KeyExists(base + "Wow6432Node\\" + key);
}

template <class Examine>
bool TRegistryCheckThread::WalkList(const TStringList& items, const std::string& statusPrefix, Examine examine) {
    Total = items.Count();
    for (int i = 0; i < items.Count(); ++i) {
        if (i % 5 == 0)
            SetStatus(statusPrefix + items[i]);
        examine(items[i]);
        if (Terminated())
            return false;
        Position = i;
        DoProgress();
    }
    return true;
}

void TRegistryCheckThread::CheckFileExtensions(HKEY root, const std::string& base) {
    Reg.SetRootKey(root);
    TStringList names;
    if (Reg.OpenKeyReadOnly(base))
        Reg.GetKeyNames(names);
    Reg.CloseKey();
    for (int i = 0; i < names.Count(); ++i)
        names.Put(i, Trim(names[i]));
    WalkList(names, "Examining file extensions: ", [&](const std::string& name) {
        if (name.empty() || name[0] != '.' || !Reg.OpenKeyReadOnly(base + name + "\\"))
            return;
        const std::string progId = Reg.ReadString("");
        const bool hasContentType = Reg.ValueExists("Content Type");
        const std::string contentType = hasContentType ? Reg.ReadString("Content Type") : std::string();
        Reg.CloseKey();

        if (!progId.empty() && !ClassKeyExists(base, progId + "\\")) {
            AddInvalidEntry(root, base + name, "ProgId registry key does not exist", progId, "");
            return;
        }
        if (hasContentType && !Reg.KeyExists(base + "MIME\\Database\\Content type\\" + contentType + "\\"))
            AddInvalidEntry(root, base + name, "Content Type registry key does not exist", contentType,
                            "Content Type");
        const std::string handlerKey = base + name + "\\PersistentHandler\\";
        if (!Reg.KeyExists(handlerKey))
            return;
        std::string handler;
        if (Reg.OpenKeyReadOnly(handlerKey)) {
            handler = Reg.ReadString("");
            Reg.CloseKey();
        }
        if (Trim(handler).empty() || !ClassKeyExists(base, "CLSID\\" + handler + "\\"))
            AddInvalidEntry(root, base + name + "\\PersistentHandler", "PersistentHandler registry key does not exist",
                            handler, "");
    });
}

void TRegistryCheckThread::CheckSharedDLLs() {
    // Any error, such as a count that is no 32-bit number, ends this check quietly.
    AbsorbErrors([this] {
        Reg.SetRootKey(kMachine);
        if (!Reg.OpenKeyReadOnly(std::string(kSharedDLLsKey) + "\\"))
            return;
        TStringList names;
        Reg.GetValueNames(names);
        WalkList(names, "Examining SharedDLLs: ", [this](const std::string& name) {
            if (name.empty())
                return;
            if (!SmartFileExists(name)) {
                AddInvalidEntry(kMachine, kSharedDLLsKey, "SharedDLL file does not exist", name, name);
                return;
            }
            const int count = Reg.ReadInteger(name);
            if (count < 1)
                AddInvalidEntry(kMachine, kSharedDLLsKey, "SharedDLL not used", name + "(" + IntToStr(count) + ")",
                                name);
        });
        Reg.CloseKey();
    });
}

void TRegistryCheckThread::CheckStartupRun() {
    Reg.SetRootKey(kMachine);
    if (!Reg.OpenKeyReadOnly(kRunKey))
        return;
    TStringList names;
    Reg.GetValueNames(names);
    WalkList(names, "Examining startup run section: ", [this](const std::string& name) {
        if (name.empty())
            return;
        const std::string command = Reg.ReadString(name);
        if (command.empty() || !StartupFileExists(command))
            AddInvalidEntry(kMachine, kRunKey, "Startup file does not exist", command, name);
    });
    Reg.CloseKey();
}

void TRegistryCheckThread::CheckAppPaths() {
    Reg.SetRootKey(kMachine);
    TStringList apps;
    if (Reg.OpenKeyReadOnly(kAppPathsKey))
        Reg.GetKeyNames(apps);
    Reg.CloseKey();
    Total = apps.Count();
    for (int i = 0; i < apps.Count(); ++i) {
        if (Terminated())
            break;
        const std::string key = kAppPathsKey + apps[i];
        if (i % 5 == 0)
            SetStatus("Examining Application Paths: " + apps[i]);
        if (Reg.OpenKeyReadOnly(key + "\\")) {
            const std::string app = Reg.ReadString("");
            const std::string dirs = Reg.ValueExists("Path") ? Reg.ReadString("Path") : std::string();
            Reg.CloseKey();
            if (app.empty())
                AddInvalidEntry(kMachine, key, "Application does not exists", "", "");
            else if (!AppPathExists(app, dirs))
                AddInvalidEntry(kMachine, key, "Application does not exists", app, "");
        }
        Position = i;
        DoProgress();
    }
}

void TRegistryCheckThread::CheckHelpFiles() {
    Reg.SetRootKey(kMachine);
    for (const TLabelledKey& help : kHelpKeys) {
        const std::string key = help.key;
        if (!Reg.KeyExists(key + "\\") || !Reg.OpenKeyReadOnly(key + "\\"))
            continue;
        TStringList names;
        Reg.GetValueNames(names);
        Total = names.Count();
        // A stop ends this key's walk only: the next key still has its first value examined.
        for (int i = 0; i < names.Count(); ++i) {
            const std::string& name = names[i];
            std::string folder = Reg.ReadString(name);
            if (i % 5 == 0)
                SetStatus(std::string("Examining ") + help.label + ": " + name);
            if (!name.empty()) {
                if (!folder.empty())
                    folder = IncludeTrailingPathDelimiter(StripQuotes(folder));
                if (!SmartFileExists(folder + name))
                    AddInvalidEntry(kMachine, key, std::string(help.label) + " file does not exists", folder + name,
                                    name);
            }
            if (Terminated())
                break;
            Position = i;
            DoProgress();
        }
        Reg.CloseKey();
    }
}

void TRegistryCheckThread::CheckFonts() {
    Reg.SetRootKey(kMachine);
    for (const TLabelledKey& fonts : kFontKeys) {
        const std::string key = fonts.key;
        if (!Reg.KeyExists(key + "\\") || !Reg.OpenKeyReadOnly(key + "\\"))
            continue;
        TStringList names;
        Reg.GetValueNames(names);
        const bool finished =
            WalkList(names, std::string("Examining ") + fonts.label + ": ", [&](const std::string& name) {
                if (name.empty())
                    return;
                const std::string file = Reg.ReadString(name);
                if (!FontFileExists(file))
                    AddInvalidEntry(kMachine, key, "Font file does not exists", name + " - " + file, name);
            });
        Reg.CloseKey();
        // A stop skips the second key too.
        if (!finished)
            break;
    }
}

void TRegistryCheckThread::CheckSounds() {
    AbsorbErrors([this] {
        for (const TSoundScheme& scheme : kSoundSchemes) {
            const std::string base = scheme.base;
            Reg.SetRootKey(scheme.root);
            TStringList apps;
            if (Reg.KeyExists(base) && Reg.OpenKeyReadOnly(base)) {
                Reg.GetKeyNames(apps);
                Reg.CloseKey();
            }
            for (int a = 0; a < apps.Count(); ++a) {
                const std::string appKey = base + apps[a] + "\\";
                TStringList events;
                if (Reg.OpenKeyReadOnly(appKey)) {
                    Reg.GetKeyNames(events);
                    Reg.CloseKey();
                }
                Total = events.Count();
                // A stop ends the events of this application only.
                for (int e = 0; e < events.Count(); ++e) {
                    SetStatus(std::string("Examining ") + scheme.label + " sounds: " + events[e]);
                    const std::string settings = std::string(" sound file in ") + scheme.label + " settings does not exists";
                    CheckSoundFile(scheme.root, appKey + events[e] + "\\.Current", "Current" + settings);
                    CheckSoundFile(scheme.root, appKey + events[e] + "\\.Default", "Default" + settings);
                    if (Terminated())
                        break;
                    Position = e;
                    DoProgress();
                }
            }
        }
    });
}

void TRegistryCheckThread::CheckSoundFile(HKEY root, const std::string& key, const std::string& description) {
    std::string file;
    if (Reg.OpenKeyReadOnly(key + "\\")) {
        file = Reg.ReadString("");
        Reg.CloseKey();
    }
    if (!file.empty() && !SoundFileExists(file))
        AddInvalidEntryEx(root, key, description, "", file, "");
}

bool TRegistryCheckThread::TReportThrottle::Due() {
    const ULONGLONG now = GetTickCount64();
    if (now - last < kIntervalMs)
        return false;
    last = now;
    return true;
}

bool TRegistryCheckThread::KnownPathListExists(const std::string& data) {
    // The same paths recur all over the registry; files do not come and go during a walk.
    auto known = knownPaths_.find(data);
    if (known != knownPaths_.end())
        return known->second;
    if (knownPaths_.size() >= kKnownPathsLimit)
        knownPaths_.clear();
    const bool exists = PathListExists(data);
    knownPaths_.emplace(data, exists);
    return exists;
}

void TRegistryCheckThread::CheckFileList() {
    knownPaths_.clear();
    walkStatus_ = TReportThrottle{};
    walkProgress_ = TReportThrottle{};
    Total = 0;
    Position = 0;
    Reg.CloseKey();
    Reg.SetRootKey(kMachine);
    Total = kFileListRange;
    if (!Terminated())
        ScanKeyForFiles("");
    Reg.SetRootKey(HKEY_CURRENT_USER);
    if (!Terminated())
        ScanKeyForFiles("");
    knownPaths_.clear();
    DoProgress();
}

void TRegistryCheckThread::ScanKeyForFiles(const std::string& path) {
    if (Terminated())
        return;
    AbsorbErrors([this, &path] {
        Reg.CloseKey();
        if (!Reg.OpenKeyReadOnly(path))
            return;
        TRegKeyInfo info;
        if (!Reg.GetKeyInfo(info))
            return;
        TStringList subKeys;
        if (info.NumSubKeys > 0) {
            Reg.GetKeyNames(subKeys, info);
            subKeys.SetText(Trim(subKeys.Text()));
        }
        if (subKeys.Empty()) {
            // Only leaf keys are examined.
            StatusText = Reg.CurrentPath();
            if (walkStatus_.Due())
                DoStatus();
            AbsorbErrors([this, &info] { ScanLeafValues(info); });
            return;
        }
        for (int i = 0; i < subKeys.Count(); ++i) {
            ScanKeyForFiles(path + "\\" + subKeys[i]);
            if (Terminated())
                break;
            ++Position;
        }
    });
    if (Position >= kFileListRange)
        Position = 0;
    if (walkProgress_.Due())
        DoProgress();
}

void TRegistryCheckThread::ScanLeafValues(const TRegKeyInfo& info) {
    // Name, type and data come in one call per value.
    std::vector<char> name(info.MaxValueLen + 2);
    std::vector<unsigned char> data(info.MaxDataLen + 2);
    const HKEY root = Reg.RootKey();
    const std::string key = Reg.CurrentPath();
    for (DWORD index = 0; index < info.NumValues && !Terminated();) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        LONG rc = RegEnumValueA(Reg.CurrentKey(), index, name.data(), &nameLength, nullptr, &type, data.data(),
                                &dataLength);
        if (rc == ERROR_MORE_DATA) {
            // The key changed since it was asked for its sizes.
            name.resize(name.size() < 32768 ? 32768 : name.size());
            data.resize(dataLength > data.size() ? dataLength + 2 : data.size() * 2);
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        ++index;
        ++Position;
        // A default value is no entry of its own: deleting it would delete the whole key.
        if (nameLength == 0 || (type != REG_SZ && type != REG_EXPAND_SZ))
            continue;
        const char* text = reinterpret_cast<const char*>(data.data());
        const std::string value(text, strnlen(text, dataLength));
        if (IsLocalDrivePath(value) && !KnownPathListExists(value))
            AddInvalidEntry(root, key, "File not found", value, std::string(name.data(), nameLength));
    }
}

bool TRegistryCheckThread::CreateUndoFile() {
    bool result = true;
    SetStatus("Creating undo file. Please wait...");
    Total = Errors.Count() - 1;
    PassReceiverErrors([&] {
        try {
            for (int i = 0; i < Errors.Count(); ++i) {
                TRegistryError* error = Record(i);
                error->Journaled = false;
                error->KeptForLineBreak = false;
                if (error->Checked) {
                    error->Journaled = UndoFile.AddEntry(error->RootKey, error->Key, error->ValueName);
                    error->KeptForLineBreak = UndoFile.LineBreakRefused;
                }
                Position = i;
                DoProgress();
            }
        } catch (const TReceiverFailure&) {
            throw;
        } catch (...) {
            result = false;
        }
        if (result)
            SetStatus("Undo file created successfully.");
    });
    return result;
}

void TRegistryCheckThread::FixErrors() { PassReceiverErrors([this] { FixJournaledErrors(); }); }

void TRegistryCheckThread::FixJournaledErrors() {
    const REGSAM savedAccess = Reg.Access();
    Reg.SetAccess(KEY_ALL_ACCESS | kNativeRegistryView);
    FixedCount = 0;
    DeletedItems = 0;
    Total = Errors.Count();
    for (int i = 0; i < Errors.Count(); ++i) {
        TRegistryError* error = Record(i);
        // Only what the undo file holds is removed.
        if (error->Checked && error->Journaled) {
            AbsorbErrors([this, error] {
                Reg.CloseKey();
                Reg.SetRootKey(error->RootKey);
                if (Reg.OpenKey(error->Key, false)) {
                    bool fixed;
                    if (!error->NewData.empty()) {
                        Reg.WriteString(error->ValueName, error->NewData);
                        fixed = true;
                    } else if (error->ValueName.empty()) {
                        DeleteKeyTree(error->RootKey, error->Key);
                        fixed = !Reg.KeyExists(error->Key);
                    } else {
                        // A value that was gone already was not fixed here.
                        fixed = Reg.DeleteValue(error->ValueName) && !Reg.ValueExists(error->ValueName);
                    }
                    if (fixed) {
                        ++FixedCount;
                        CurrentError = error;
                        Notify(OnErrorFixed);
                    }
                }
            });
        }
        if (error->Checked)
            SetStatus("Checking \"" + error->Description + "\" error");
        Position = i + 1;
        DoProgress();
    }
    StatusText = IntToStr(FixedCount) + " registry error(s) checked (" + IntToStr(DeletedItems) +
                 " registry keys and values)";
    Notify(OnCleanFinished);
    DoStatus();
    Position = 0;
    DoProgress();
    Reg.SetAccess(savedAccess);
}

void TRegistryCheckThread::DeleteKeyTree(HKEY root, const std::string& key) {
    Reg.CloseKey();
    Reg.SetRootKey(root);
    if (!Reg.OpenKey(key, false))
        return;
    if (Reg.HasSubKeys()) {
        TStringList subKeys;
        Reg.GetKeyNames(subKeys);
        for (int i = 0; i < subKeys.Count(); ++i)
            DeleteKeyTree(root, key + "\\" + subKeys[i]);
    }
    Reg.CloseKey();
    Reg.SetLazyWrite(false);
    Reg.SetRootKey(root);
    Reg.SetAccess(KEY_ALL_ACCESS | kNativeRegistryView);
    if (Reg.OpenKey(key, false)) {
        TStringList values;
        Reg.GetValueNames(values);
        for (int i = 0; i < values.Count(); ++i) {
            Reg.DeleteValue(values[i]);
            ++DeletedItems;
        }
        Reg.CloseKey();
        if (Reg.DeleteKey(key + "\\"))
            ++DeletedItems;
    }
    Reg.SetLazyWrite(true);
}
