#include "hxNVAssistant.h"

#include "hxDisAsm.h"
#include "hxExceptSettingsStore.h"
#include "hxMapFile.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

using Microsoft::WRL::ComPtr;

namespace {

bool ToBool(const std::string& value)
{
    return SameTextCI(value, "yes") || SameTextCI(value, "true") || value == "1";
}

int ToInt(const std::string& value)
{
    std::size_t n = value.size() > 0 && value[0] == '-' ? 1 : 0;
    while (n < value.size() && value[n] >= '0' && value[n] <= '9')
        ++n;
    return DigitsToInt(value.c_str(), n, false);
}

template <class Interface>
ComPtr<Interface> Query(IUnknown* object)
{
    ComPtr<Interface> result;
    if (object)
        object->QueryInterface(__uuidof(Interface), reinterpret_cast<void**>(result.GetAddressOf()));
    return result;
}

// ---- Handlers a form can name ----

struct THandlerTable {
    std::mutex lock;
    TNVActionHandler contactForm = nullptr;
    TNVActionHandler screenshotForm = nullptr;
    std::map<std::string, TNVActionHandler> named;  // upper-case "UNIT.FUNCTION"
};
THandlerTable& Handlers()
{
    static THandlerTable table;
    return table;
}

// ---- The form-stream reader ----

// Every read checks the bytes left; nesting is limited.
class TFormReader {
public:
    TFormReader(TNVForm& form, const std::string& bytes, std::size_t start)
        : form_(form), bytes_(bytes), pos_(start)
    {
    }

    bool ReadObject(int depth)
    {
        std::string className, objectName;
        if (depth > kAssistantFormMaxNesting || !ReadShortString(className) || !ReadShortString(objectName))
            return false;
        TNVItem* target = nullptr;
        if (!className.empty())
            className[0] = 'T';
        if (className == "TNVButton") {
            for (int i = 0; i < 3 && !target; ++i)
                if (form_.StandardButton(i)->Name == objectName)
                    target = form_.StandardButton(i);
            if (!target)
                target = Append(new TNVButton(&form_, objectName));
        } else if (className == "TNVLabel") {
            target = Append(new TNVLabel(&form_, objectName));
        } else if (className == "TNVEdit") {
            target = Append(new TNVEdit(&form_, objectName));
        } else if (className == "TNVCheckBox") {
            target = Append(new TNVCheckBox(&form_, objectName));
        } else if (className == "TNVImage") {
            target = Append(new TNVImage(&form_, objectName));
        }
        std::uint8_t next = 0;
        while (Peek(next) && next != 0)
            if (!ReadProperty(target))
                return false;
        if (!Skip(1))
            return false;
        while (Peek(next) && next != 0)
            if (!ReadObject(depth + 1))
                return false;
        return Skip(1);
    }

private:
    TNVItem* Append(TNVItem* item)
    {
        ComPtr<TNVItem> owned(item);
        form_.AppendItem(owned);
        return item;
    }

    bool Peek(std::uint8_t& value) const
    {
        if (pos_ >= bytes_.size())
            return false;
        value = static_cast<std::uint8_t>(bytes_[pos_]);
        return true;
    }
    bool Skip(std::size_t count)
    {
        if (bytes_.size() - pos_ < count)
            return false;
        pos_ += count;
        return true;
    }
    bool ReadBytes(std::size_t count, std::string& out)
    {
        if (bytes_.size() - pos_ < count)
            return false;
        out.assign(bytes_, pos_, count);
        pos_ += count;
        return true;
    }
    bool ReadShortString(std::string& out)
    {
        std::uint8_t length = 0;
        return Peek(length) && Skip(1) && ReadBytes(length, out);
    }
    template <class T>
    bool ReadInt(T& value)
    {
        std::string raw;
        if (!ReadBytes(sizeof(T), raw))
            return false;
        std::memcpy(&value, raw.data(), sizeof(T));
        return true;
    }

    bool ReadProperty(TNVItem* target)
    {
        std::string name, text;
        std::uint8_t type = 0;
        if (!ReadShortString(name) || !Peek(type) || !Skip(1))
            return false;
        switch (type) {
        case 2: {
            std::int8_t v = 0;
            if (!ReadInt(v))
                return false;
            text = IntToStrFast(v);
            break;
        }
        case 3: {
            std::int16_t v = 0;
            if (!ReadInt(v))
                return false;
            text = IntToStrFast(v);
            break;
        }
        case 4: {
            std::int32_t v = 0;
            if (!ReadInt(v))
                return false;
            text = IntToStrFast(v);
            break;
        }
        case 6:
        case 7:
            if (!ReadShortString(text))
                return false;
            break;
        case 8:
        case 9:
            text = type == 8 ? "0" : "1";
            break;
        case 12: {
            std::uint32_t length = 0;
            if (!ReadInt(length) || !ReadBytes(length, text))
                return false;
            break;
        }
        default:
            HxMessageBox(nullptr, ("Internal error: Invalid assistant resource ($" + CardinalToHex(type) + ").").c_str(),
                         "hxExcept", MB_OK);
            return false;
        }
        if (target)
            target->SetProperty(name, text);
        else
            form_.SetProperty(name, text);
        return true;
    }

    TNVForm& form_;
    const std::string& bytes_;
    std::size_t pos_;
};

}  // namespace

// ---- Items ----

TNVItem::TNVItem(TNVForm* form, const std::string& name) : Form(form), Name(name) {}

HRESULT STDMETHODCALLTYPE TNVItem::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    void* found = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(INVItem))
        found = static_cast<INVItem*>(this);
    else if (iid == __uuidof(INVItemEx))
        found = static_cast<INVItemEx*>(this);
    else
        found = QueryKind(iid);
    *object = found;
    if (!found)
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE TNVItem::AddRef()
{
    return ++refs_;
}

ULONG STDMETHODCALLTYPE TNVItem::Release()
{
    const ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

void* TNVItem::QueryKind(REFIID)
{
    return nullptr;
}

void TNVItem::UpdateWindowEnabled()
{
    if (Handle)
        EnableWindow(Handle, Enabled && !Locked);
}

void TNVItem::SetEnabled(bool value)
{
    Enabled = value;
    UpdateWindowEnabled();
}

void TNVItem::SetFocus()
{
    if (!Handle)
        return;
    ::SetFocus(Handle);
    if (Kind() == TNVItemKind::Edit)
        SendMessageA(Handle, EM_SETSEL, 0, -1);
}

void TNVItem::SetProperty(const std::string& name, const std::string& value)
{
    if (name == "Spacing")
        Spacing = ToInt(value);
    else if (name == "Enabled")
        Enabled = ToBool(value);
    else if (name == "OutputType")
        OwnSection = FindSubText("ownSection", value) != 0;
    else if (name == "OutputName")
        OutputName = value;
}

void* TNVButton::QueryKind(REFIID iid)
{
    return iid == __uuidof(INVButton) ? static_cast<INVButton*>(this) : nullptr;
}

void TNVButton::SetProperty(const std::string& name, const std::string& value)
{
    if (name == "MinWidth")
        MinWidth = ToInt(value);
    else if (name == "Caption")
        Caption = value;
    else if (name == "NoOwnerDraw")
        NoOwnerDraw = ToBool(value);
    else
        TNVItem::SetProperty(name, value);
}

void* TNVLabel::QueryKind(REFIID iid)
{
    return iid == __uuidof(INVLabel) ? static_cast<INVLabel*>(this) : nullptr;
}

void TNVLabel::SetProperty(const std::string& name, const std::string& value)
{
    if (name == "Caption")
        Caption = value;
    else
        TNVItem::SetProperty(name, value);
}

void* TNVEdit::QueryKind(REFIID iid)
{
    return iid == __uuidof(INVEdit) ? static_cast<INVEdit*>(this) : nullptr;
}

void TNVEdit::SetProperty(const std::string& name, const std::string& value)
{
    if (name == "Text")
        Text = ReplaceSubText(value, "%LF%", "\r\n");  // in any letter case
    else if (name == "Lines")
        Lines = ToInt(value);
    else if (name == "Optional")
        Optional = ToBool(value);
    else
        TNVItem::SetProperty(name, value);
}

std::string TNVEdit::CurrentText() const
{
    if (!Handle)
        return Text;
    const int length = GetWindowTextLengthA(Handle);
    std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
    text.resize(static_cast<std::size_t>(std::max(GetWindowTextA(Handle, text.data(), length + 1), 0)));
    return text;
}

std::string TNVEdit::GetText()
{
    Text = CurrentText();
    return Text;
}

void TNVEdit::SetText(const std::string& value)
{
    Text = value;
    if (Handle && CurrentText() != value)
        SetWindowTextA(Handle, value.c_str());
}

void* TNVCheckBox::QueryKind(REFIID iid)
{
    return iid == __uuidof(INVCheckBox) ? static_cast<INVCheckBox*>(this) : nullptr;
}

void TNVCheckBox::SetProperty(const std::string& name, const std::string& value)
{
    if (name == "Caption" || name == "Text")
        Caption = value;
    else if (name == "Checked")
        Checked = ToBool(value);
    else
        TNVItem::SetProperty(name, value);
}

void TNVCheckBox::SetChecked(bool value)
{
    Checked = value;
    if (Handle)
        InvalidateRect(Handle, nullptr, TRUE);
}

void* TNVImage::QueryKind(REFIID iid)
{
    return iid == __uuidof(INVImage) ? static_cast<INVImage*>(this) : nullptr;
}

void TNVImage::SetProperty(const std::string& name, const std::string& value)
{
    if (name == "Width")
        Bounds.right = Bounds.left + ToInt(value);
    else if (name == "Height")
        Bounds.bottom = Bounds.top + ToInt(value);
    else if (name == "File")
        File = value;
    else if (name == "Clickable")
        Clickable = ToBool(value);
    else if (name == "Border")
        Border = ToBool(value);
    else
        TNVItem::SetProperty(name, value);
}

void TNVImage::SetBitmap(const TNVBitmapPtr& bitmap)
{
    if (GetWidth() < 1) {
        Bitmap = bitmap;
        return;
    }
    Bitmap = bitmap;
    if (bitmap) {
        const int w = GetWidth() - Margin(), h = GetHeight() - Margin();
        if (bitmap->GetWidth() > w || bitmap->GetHeight() > h)
            Bitmap = w > 0 && h > 0 ? bitmap->Resize(w, h) : nullptr;
    }
    if (Form && Form->Window)
        InvalidateRect(Form->Window, &Bounds, FALSE);
}

// ---- Forms ----

TNVForm::TNVForm(TNVAssistant* assistant, int stepIndex, int stepCount, IUnknown* context,
                 const std::string& resource, const std::string& title)
    : Assistant(assistant), Title(title), StepIndex(stepIndex), StepCount(stepCount), Context(context)
{
    AppendItem(ComPtr<TNVItem>(new TNVButton(this, "ContinueBtn")));
    AppendItem(ComPtr<TNVItem>(new TNVButton(this, "SkipBtn")));
    AppendItem(ComPtr<TNVItem>(new TNVButton(this, "AbortBtn")));
    StandardButton(0)->Caption = "Continue";
    StandardButton(1)->Caption = "Skip";
    StandardButton(2)->Caption = "Abort";
    ReadResource(resource);
}

TNVForm::~TNVForm()
{
    for (auto& item : Items)
        item->Form = nullptr;
}

bool TNVForm::ReadResource(const std::string& bytes)
{
    if (bytes.size() < 5 || bytes.compare(0, 4, "TPF0") != 0 || bytes.size() > kMaxFormResource)
        return false;
    TFormReader reader(*this, bytes, 4);
    return reader.ReadObject(0);
}

INVAssistant* TNVForm::GetOwnerAssistant()
{
    return Assistant;
}

void TNVForm::AppendItem(const ComPtr<TNVItem>& item)
{
    item->Index = static_cast<int>(Items.size());
    Items.push_back(item);
    TNVItem* first = Items.front().Get();
    TNVItem* last = Items.size() > 1 ? Items[Items.size() - 2].Get() : item.Get();
    item->Next = first;
    first->Prev = item.Get();
    item->Prev = last;
    last->Next = item.Get();
}

TNVItem* TNVForm::ItemAt(int index) const
{
    return index >= 0 && index < static_cast<int>(Items.size()) ? Items[static_cast<std::size_t>(index)].Get()
                                                                : nullptr;
}

TNVButton* TNVForm::StandardButton(int index) const
{
    return static_cast<TNVButton*>(ItemAt(index));
}

TNVItem* TNVForm::ItemOfWindow(HWND window) const
{
    if (!window)
        return nullptr;
    for (const auto& item : Items)
        if (item->Handle == window)
            return item.Get();
    return nullptr;
}

ComPtr<INVItem> TNVForm::GetItem(int index)
{
    return ComPtr<INVItem>(ItemAt(index));
}

ComPtr<INVButton> TNVForm::ContinueBtn()
{
    return ComPtr<INVButton>(StandardButton(0));
}

ComPtr<INVButton> TNVForm::SkipBtn()
{
    return ComPtr<INVButton>(StandardButton(1));
}

ComPtr<INVButton> TNVForm::AbortBtn()
{
    return ComPtr<INVButton>(StandardButton(2));
}

namespace {

template <class Interface>
ComPtr<Interface> FindItem(const std::vector<ComPtr<TNVItem>>& items, const std::string& name)
{
    for (const auto& item : items)
        if (item->Name == name)
            if (auto found = Query<Interface>(static_cast<INVItem*>(item.Get())))
                return found;
    return nullptr;
}

}  // namespace

ComPtr<INVEdit> TNVForm::FindEdit(const std::string& name)
{
    return FindItem<INVEdit>(Items, name);
}

ComPtr<INVLabel> TNVForm::FindLabel(const std::string& name)
{
    return FindItem<INVLabel>(Items, name);
}

ComPtr<INVButton> TNVForm::FindButton(const std::string& name)
{
    return FindItem<INVButton>(Items, name);
}

ComPtr<INVCheckBox> TNVForm::FindCheckBox(const std::string& name)
{
    return FindItem<INVCheckBox>(Items, name);
}

ComPtr<INVImage> TNVForm::FindImage(const std::string& name)
{
    return FindItem<INVImage>(Items, name);
}

void TNVForm::SetProperty(const std::string& name, const std::string& value)
{
    if (name == "MinWidth")
        MinWidth = ToInt(value);
    else if (name == "Message")
        Message = value;
    else if (name == "ActiveControl")
        ActiveControl = value;
    else if (name == "Timer")
        Timer = ToInt(value);
    else if (name == "OnAction")
        OnAction = ResolveAssistantHandler(value);
}

void TNVForm::FireAction(std::uint8_t action, TNVItem* item)
{
    ComPtr<INVForm> self(this);
    ComPtr<INVItem> held(item);
    if (OnAction)
        OnAction(this, action, item, Context.Get());
    if (Assistant && Assistant->OnAction)
        Assistant->OnAction(this, action, item, Assistant->Context.Get());
}

// ---- Assistants ----

TNVAssistant::TNVAssistant(const std::string& title, IUnknown* context) : Title(title), Context(context) {}

TNVAssistant::~TNVAssistant()
{
    for (auto& form : Forms)
        form->DetachAssistant();
}

TNVFormPtr TNVAssistant::GetForm(int index)
{
    if (index < 0 || index >= static_cast<int>(Forms.size()))
        return nullptr;
    return TNVFormPtr(Forms[static_cast<std::size_t>(index)].Get());
}

int TNVAssistant::ShowModal(HWND parent)
{
    ComPtr<INVAssistant> self(this);
    const bool disabled = parent && IsWindowEnabled(parent);
    if (disabled)
        EnableWindow(parent, FALSE);
    int result = 1;
    for (std::size_t i = 0; i < Forms.size(); ++i) {
        ComPtr<TNVForm> form = Forms[i];
        if (form->ShowModal(parent) == 3) {
            result = 3;
            break;
        }
    }
    if (disabled)
        EnableWindow(parent, TRUE);
    ModalResult = static_cast<std::uint8_t>(result);
    return result;
}

// ---- Module level ----

TNVAssistantPtr CreateAssistantFromResources(HMODULE module, const std::string& title,
                                             const std::vector<std::string>& formNames, IUnknown* context)
{
    ComPtr<TNVAssistant> assistant(new TNVAssistant(title, context));
    const HMODULE resources = module ? module : GetModuleHandleA(nullptr);  // null is the program
    const int count = static_cast<int>(formNames.size());
    for (int i = 0; i < count; ++i) {
        const std::string name = "TVQ" + UpperCaseCopy(formNames[static_cast<std::size_t>(i)]);
        const std::string bytes = ResourceToString(resources, MAKEINTRESOURCEA(10) /* RT_RCDATA */, name.c_str());
        ComPtr<TNVForm> form(new TNVForm(assistant.Get(), i + 1, count, context, bytes, title));
        form->FireAction(nvaCreated, nullptr);
        assistant->Forms.push_back(form);
    }
    return TNVAssistantPtr(assistant.Get());
}

TNVFormPtr CreateFormFromStream(const std::string& bytes, const std::string& title, IUnknown* context)
{
    ComPtr<TNVForm> form(new TNVForm(nullptr, 1, 1, context, bytes, title));
    form->FireAction(nvaCreated, nullptr);
    return TNVFormPtr(form.Get());
}

void SetBuiltInFormHandlers(TNVActionHandler contactForm, TNVActionHandler screenshotForm) noexcept
{
    THandlerTable& table = Handlers();
    std::lock_guard<std::mutex> hold(table.lock);
    table.contactForm = contactForm;
    table.screenshotForm = screenshotForm;
}

void RegisterAssistantHandler(const std::string& qualifiedName, TNVActionHandler handler)
{
    THandlerTable& table = Handlers();
    std::lock_guard<std::mutex> hold(table.lock);
    if (handler)
        table.named[UpperCaseCopy(qualifiedName)] = handler;
    else
        table.named.erase(UpperCaseCopy(qualifiedName));
}

namespace {

// builtIn is set for the built-in names, which stand for their handlers only, set or not.
TNVActionHandler FindRegisteredHandler(const std::string& name, bool& builtIn)
{
    THandlerTable& table = Handlers();
    std::lock_guard<std::mutex> hold(table.lock);
    builtIn = true;
    if (SameTextCI(name, "hxExcept.HandleContactForm"))
        return table.contactForm;
    if (SameTextCI(name, "hxExcept.HandleScreenshotForm"))
        return table.screenshotForm;
    builtIn = false;
    // "Unit.Function", or a bare function name that matches the function part of one registration.
    const std::string wanted = UpperCaseCopy(name);
    if (wanted.empty())
        return nullptr;
    if (wanted.find('.') != std::string::npos) {
        const auto found = table.named.find(wanted);
        return found != table.named.end() ? found->second : nullptr;
    }
    for (const auto& [key, handler] : table.named) {
        const std::size_t dot = key.find('.');
        if (dot != std::string::npos && key.compare(dot + 1, std::string::npos, wanted) == 0)
            return handler;
    }
    return nullptr;
}

// "Unit.Function" in the main module's debug symbols, the unit being a source file's name (its
// extension may be left out). The resource names code that this build may not contain, so only
// code of a handler's shape is taken: it ends with a return that leaves the arguments to the
// caller, as every handler does on both targets.
TNVActionHandler FindHandlerInSymbols(const std::string& name)
{
    const std::size_t dot = name.find('.');
    const std::string unit = dot == std::string::npos ? std::string() : name.substr(0, dot);
    const std::string function =
        dot == std::string::npos ? name : name.substr(dot + 1, name.find('.', dot + 1) - dot - 1);
    if (function.empty())
        return nullptr;
    const TMapFilePtr map = GetModuleMapFile(reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)));
    const uintptr_t address = FindPublicInUnit(*map, MfKindCode, unit, false, function);
    if (!address)
        return nullptr;
    TFunctionInfo info;
    try {
        if (!AnalyseFunction(address, info) || !info.Valid || info.CodeLength <= 0)
            return nullptr;
    } catch (...) {
        return nullptr;
    }
    constexpr unsigned char kNearReturn = 0xC3;
    const auto* last = reinterpret_cast<const unsigned char*>(info.CodeBegin + uintptr_t(info.CodeLength) - 1);
    if (*last != kNearReturn)
        return nullptr;
    return reinterpret_cast<TNVActionHandler>(address);
}

}  // namespace

TNVActionHandler ResolveAssistantHandler(const std::string& name)
{
    bool builtIn = false;
    if (TNVActionHandler handler = FindRegisteredHandler(name, builtIn); handler || builtIn)
        return handler;
    return FindHandlerInSymbols(name);
}
