#include "hxExceptAssistantForms.h"

#include "hxExceptObject.h"
#include "hxExceptSupport.h"

#include <shellapi.h>

#include <functional>
#include <map>
#include <mutex>
#include <type_traits>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

std::mutex hooksLock;
std::string contactKey = "Software\\velmar\\ContactForm";

bool ShellEditImage(const std::string& file, HANDLE& process)
{
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "edit";
    info.lpFile = file.c_str();
    info.nShow = SW_SHOWMAXIMIZED;
    if (!ShellExecuteExA(&info))
        return false;
    process = info.hProcess;
    return true;
}

void ShortBeep()
{
    Beep(60, 60);
}

TEditImageProc editImage = &ShellEditImage;
TFailureBeepProc failureBeep = &ShortBeep;

std::string ContactKey()
{
    std::lock_guard<std::mutex> hold(hooksLock);
    return contactKey;
}

// A remembered name or address ends up in a mail header: no line breaks, no angle brackets.
std::string Sanitised(std::string text)
{
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '<' || c == '>'; });
    return text;
}

// The screenshot handler also knows this program's names for its items; the contact handler
// knows only its own, so that this program's contact form stores nothing and keeps the sender.
template <class Interface>
ComPtr<Interface> Find(INVForm* form, const char* name, const char* programName = nullptr)
{
    ComPtr<Interface> found;
    if constexpr (std::is_same_v<Interface, INVEdit>)
        found = form->FindEdit(name);
    else if constexpr (std::is_same_v<Interface, INVCheckBox>)
        found = form->FindCheckBox(name);
    else
        found = form->FindImage(name);
    if (found || !programName)
        return found;
    if constexpr (std::is_same_v<Interface, INVEdit>)
        return form->FindEdit(programName);
    else if constexpr (std::is_same_v<Interface, INVCheckBox>)
        return form->FindCheckBox(programName);
    else
        return form->FindImage(programName);
}

ComPtr<IVQException> ExceptionOf(IUnknown* context)
{
    ComPtr<IVQException> exception;
    if (context)
        context->QueryInterface(__uuidof(IVQException), reinterpret_cast<void**>(exception.GetAddressOf()));
    return exception;
}

// The screenshot being edited, per form while that form is shown.
struct TEditRecord {
    ComPtr<INVForm> form;  // keeps the key valid
    std::uint32_t time = 0;
    HANDLE process = nullptr;
};
std::map<INVForm*, TEditRecord> editRecords;  // the forms' thread only

void DropEditRecord(INVForm* form, bool deleteFile = true)
{
    const auto found = editRecords.find(form);
    if (found == editRecords.end())
        return;
    if (found->second.process)
        CloseHandle(found->second.process);  // the editor keeps running
    std::string path;
    if (deleteFile && ScreenshotBitmapFileName(path))
        DeleteFileA(path.c_str());
    editRecords.erase(found);
}

// Forms closed by their close box are told nothing: their records go at the next call.
void DropLeftRecords(INVForm* current)
{
    for (auto at = editRecords.begin(); at != editRecords.end();) {
        INVForm* form = (at++)->first;
        // The bitmap file is shared: it stays while the current form edits it.
        if (form != current && !form->GetHandle())
            DropEditRecord(form, editRecords.count(current) == 0);
    }
}

void EditScreenshot(INVForm* form, IVQException* exception, const std::string& path)
{
    auto found = editRecords.find(form);
    if (found == editRecords.end()) {
        TNVBitmapPtr shot = exception->GetScreenShot();
        if (!shot || !shot->SaveBmp(path))
            return;
        found = editRecords.emplace(form, TEditRecord{ComPtr<INVForm>(form), FileDosTime(path), nullptr}).first;
    }
    TEditRecord& record = found->second;
    if (record.process && WaitForSingleObject(record.process, 0) == WAIT_OBJECT_0) {
        CloseHandle(record.process);
        record.process = nullptr;
    }
    if (record.process)
        return;  // the editor still runs
    TEditImageProc start;
    TFailureBeepProc beep;
    {
        std::lock_guard<std::mutex> hold(hooksLock);
        start = editImage;
        beep = failureBeep;
    }
    HANDLE process = nullptr;
    if (start && start(path, process))
        record.process = process;
    else if (beep)
        beep();
}

void ReloadEditedScreenshot(INVForm* form, IVQException* exception)
{
    const auto found = editRecords.find(form);
    std::string path;
    if (found == editRecords.end() || !ScreenshotBitmapFileName(path))
        return;
    const std::uint32_t time = FileDosTime(path);
    if (time == found->second.time)
        return;
    ComPtr<INVImage> image = Find<INVImage>(form, "ScrShotImg", "imgScreenShot");
    if (!image)
        return;
    TNVBitmapPtr loaded = LoadBitmapFile(path);
    if (!loaded)
        return;
    found->second.time = time;
    exception->SetScreenShot(loaded);
    image->SetBitmap(loaded);
}

}  // namespace

std::uint32_t FileDosTime(const std::string& path)
{
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(path.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(search);
    FILETIME local;
    WORD date = 0, time = 0;
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToDosDateTime(&local, &date, &time))
        return 0;
    return (static_cast<std::uint32_t>(date) << 16) | time;
}

bool ScreenshotBitmapFileName(std::string& path)
{
    const std::string folder = GetReportTempFolder();
    if (folder.empty())
        return false;
    path = folder + "screenShot.bmp";
    return true;
}

std::string SetContactFormRegistryKey(const std::string& key)
{
    std::lock_guard<std::mutex> hold(hooksLock);
    std::string previous = contactKey;
    contactKey = key;
    return previous;
}

TEditImageProc SetEditImageHook(TEditImageProc hook) noexcept
{
    std::lock_guard<std::mutex> hold(hooksLock);
    TEditImageProc previous = editImage;
    editImage = hook ? hook : &ShellEditImage;
    return previous;
}

TFailureBeepProc SetFailureBeepHook(TFailureBeepProc hook) noexcept
{
    std::lock_guard<std::mutex> hold(hooksLock);
    TFailureBeepProc previous = failureBeep;
    failureBeep = hook ? hook : &ShortBeep;
    return previous;
}

void HandleContactForm(INVForm* form, std::uint8_t action, INVItem*, IUnknown* exception)
{
    if (!form)
        return;
    const std::string key = ContactKey();
    ComPtr<INVEdit> name = Find<INVEdit>(form, "NameEdit");
    ComPtr<INVEdit> email = Find<INVEdit>(form, "EmailEdit");
    ComPtr<INVCheckBox> remember = Find<INVCheckBox>(form, "MemCheck");
    if (action == nvaCreated) {
        const std::string storedName = Sanitised(RegReadString(HKEY_CURRENT_USER, key, "RememberName"));
        const std::string storedEmail = Sanitised(RegReadString(HKEY_CURRENT_USER, key, "RememberEmail"));
        // Continue takes the focus only over entries put in: on a form without the edits it
        // would be left locked with the focus, and the keys would reach no item.
        if ((storedName.empty() && storedEmail.empty()) || (!name && !email))
            return;
        if (name)
            name->SetText(storedName);
        if (email)
            email->SetText(storedEmail);
        if (remember)
            remember->SetChecked(true);
        if (ComPtr<INVButton> next = form->ContinueBtn(); next && next->GetEnabled())
            form->SetActiveControl(next->GetName());
        return;
    }
    if (action != nvaClose || form->GetModalResult() != 1)
        return;
    const std::string nameText = name ? Sanitised(name->GetText()) : std::string();
    const std::string emailText = email ? Sanitised(email->GetText()) : std::string();
    if (remember) {
        if (remember->GetChecked()) {
            RegWriteString(HKEY_CURRENT_USER, key, "RememberName", nameText);
            RegWriteString(HKEY_CURRENT_USER, key, "RememberEmail", emailText);
        } else {
            RegRemoveValue(HKEY_CURRENT_USER, key, "RememberName");
            RegRemoveValue(HKEY_CURRENT_USER, key, "RememberEmail");
        }
    }
    if (ComPtr<IVQException> target = ExceptionOf(exception); target && !nameText.empty())
        target->SetMailFrom(nameText + " <" + emailText + ">");
}

void HandleScreenshotForm(INVForm* form, std::uint8_t action, INVItem* item, IUnknown* context)
{
    ComPtr<IVQException> exception = ExceptionOf(context);
    if (!form || !exception)
        return;
    DropLeftRecords(form);
    switch (action) {
    case nvaCreated:
        if (ComPtr<INVImage> image = Find<INVImage>(form, "ScrShotImg", "imgScreenShot"))
            image->SetBitmap(exception->GetScreenShot());
        if (ComPtr<INVCheckBox> attach = Find<INVCheckBox>(form, "AttachCheck", "chkImageAttached"))
            attach->SetChecked(exception->GetAttachScreenShot());
        break;
    case nvaShow:
        // A showing closed by its close box left its record behind.
        DropEditRecord(form);
        break;
    case nvaClose:
        DropEditRecord(form);
        if (ComPtr<INVCheckBox> attach = Find<INVCheckBox>(form, "AttachCheck", "chkImageAttached"))
            exception->SetAttachScreenShot(attach->GetChecked());
        break;
    case nvaItemEvent: {
        // The form's timer: only a screenshot being edited is looked at again.
        if (!item) {
            ReloadEditedScreenshot(form, exception.Get());
            break;
        }
        std::string path;
        if (!ScreenshotBitmapFileName(path))
            break;
        ComPtr<INVImage> image;
        item->QueryInterface(__uuidof(INVImage), reinterpret_cast<void**>(image.GetAddressOf()));
        if (image && image->GetBitmap())
            EditScreenshot(form, exception.Get(), path);
        break;
    }
    default:
        break;
    }
}

// ---- What the settings and the handling flow use ----

namespace {

ComPtr<IUnknown> BuildAssistant(HMODULE module, const std::string& title, const std::vector<std::string>& forms,
                                IUnknown* exception)
{
    TNVAssistantPtr assistant = CreateAssistantFromResources(module, title, forms, exception);
    return ComPtr<IUnknown>(assistant.Get());
}

// Calls visit for each edit and check box of the assistant's forms (after their three fixed
// items), only of the forms passed with Continue when completedFormsOnly.
void ForEachEditOrCheckBox(INVAssistant* assistant, bool completedFormsOnly,
                           const std::function<void(INVItem* item, INVEdit* edit, INVCheckBox* check)>& visit)
{
    for (int f = 0; f < assistant->GetFormCount(); ++f) {
        TNVFormPtr form = assistant->GetForm(f);
        if (!form || (completedFormsOnly && form->GetModalResult() != 1))
            continue;
        for (int i = 3; i < form->GetItemCount(); ++i) {
            ComPtr<INVItem> item = form->GetItem(i);
            ComPtr<INVEdit> edit;
            ComPtr<INVCheckBox> check;
            item->QueryInterface(__uuidof(INVEdit), reinterpret_cast<void**>(edit.GetAddressOf()));
            item->QueryInterface(__uuidof(INVCheckBox), reinterpret_cast<void**>(check.GetAddressOf()));
            if (edit || check)
                visit(item.Get(), edit.Get(), check.Get());
        }
    }
}

void ForEachAssistantItem(IUnknown* object, bool completedFormsOnly,
                          const std::function<void(THxAssistantItem& item)>& visit)
{
    ComPtr<INVAssistant> assistant;
    if (!object || FAILED(object->QueryInterface(__uuidof(INVAssistant),
                                                 reinterpret_cast<void**>(assistant.GetAddressOf()))))
        return;
    ForEachEditOrCheckBox(assistant.Get(), completedFormsOnly, [&](INVItem* item, INVEdit* edit, INVCheckBox* check) {
        THxAssistantItem entry;
        entry.name = item->GetName();
        entry.isCheckBox = check != nullptr;
        if (edit)
            entry.text = edit->GetText();
        else
            entry.checked = check->GetChecked();
        visit(entry);
        if (edit && entry.text != edit->GetText())
            edit->SetText(entry.text);
        if (check && entry.checked != check->GetChecked())
            check->SetChecked(entry.checked);
    });
}

}  // namespace

THxAssistantServices AssistantServices()
{
    THxAssistantServices services;
    services.build = &BuildAssistant;
    services.forEachItem = &ForEachAssistantItem;
    return services;
}

void ApplyAssistantOutputs(INVAssistant* assistant, IVQException* exception)
{
    if (!assistant || !exception)
        return;
    // The header is filled first, so that the outputs follow the machine's and program's lines.
    TFieldsPtr header = exception->GetBugReportHeader();
    TFieldsPtr sections;
    ForEachEditOrCheckBox(assistant, true, [&](INVItem*, INVEdit* edit, INVCheckBox* check) {
        if (check) {
            if (const std::string name = check->GetOutputName(); !name.empty() && header)
                header->SetValue(name, check->GetChecked() ? "yes" : "no");
            return;
        }
        if (edit->GetOutputName().empty())
            return;
        if (!edit->GetOwnSection()) {
            if (header)
                header->SetValue(edit->GetOutputName(), edit->GetText());
            return;
        }
        // Set up after the report's own sections, so that it follows them.
        if (!sections)
            sections = exception->CalculateBugReport();
        if (sections)
            sections->SetValue(edit->GetOutputName(), edit->GetText());
    });
}

bool RunAssistant(IUnknown* object, HWND parent, IVQException* exception)
{
    ComPtr<INVAssistant> assistant;
    if (!object || FAILED(object->QueryInterface(__uuidof(INVAssistant),
                                                 reinterpret_cast<void**>(assistant.GetAddressOf()))))
        return false;
    const bool passed = assistant->ShowModal(parent) == 1;
    ComPtr<IVQSettingValues> values;
    if (exception && SUCCEEDED(exception->QueryInterface(__uuidof(IVQSettingValues),
                                                         reinterpret_cast<void**>(values.GetAddressOf()))))
        values->StoreAssistantValues(object);
    if (passed)
        ApplyAssistantOutputs(assistant.Get(), exception);
    return passed;
}
