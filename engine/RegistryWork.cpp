#include "RegistryWork.h"

#include "FileSearch.h"

#include <memory>

namespace {

// Carries an error raised by an event receiver through a check's error guard.
struct TReceiverFailure {
    std::exception_ptr error;
};

}  // namespace

std::string RootKeyName(HKEY root) {
    if (root == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (root == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (root == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (root == HKEY_USERS)
        return "HKEY_USERS";
    return std::string();
}

std::string TRegistryError::GetFullPath() const { return RootKeyName(RootKey) + '\\' + Key; }

TRegistryCheckThread::TRegistryCheckThread() : TThread("TRegistryCheckThread") {
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
    try {
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
    } catch (const TReceiverFailure& failure) {
        std::rethrow_exception(failure.error);
    }
}

// The checks come with the rest of the engine; until then they find nothing.
void TRegistryCheckThread::CheckFileExtensions(HKEY, const std::string&) {}
void TRegistryCheckThread::CheckSharedDLLs() {}
void TRegistryCheckThread::CheckStartupRun() {}
void TRegistryCheckThread::CheckAppPaths() {}
void TRegistryCheckThread::CheckHelpFiles() {}
void TRegistryCheckThread::CheckFonts() {}
void TRegistryCheckThread::CheckSounds() {}
void TRegistryCheckThread::CheckFileList() {}
