#pragma once

// Assistants: short sequences of small forms shown before a report is sent, saved or printed.
// Each form comes from a form-stream resource of the module and is turned into plain Win32
// controls by the form window (hxNVAssistantWindow).

#include "hxGdiHandles.h"
#include "hxInterfaced.h"
#include "hxNVBitmap.h"

#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

class INVForm;
class INVItem;
class TNVItem;
class TNVForm;
class TNVAssistant;

enum TNVAction : std::uint8_t { nvaCreated = 0, nvaShow = 1, nvaClose = 2, nvaItemEvent = 3 };

// Called with the form, the action, the item (or null) and the form's or assistant's context.
using TNVActionHandler = void (*)(INVForm* form, std::uint8_t action, INVItem* item, IUnknown* context);

class INVItem : public IUnknown {
public:
    virtual std::string GetName() = 0;
    virtual HWND GetHandle() = 0;
    virtual bool GetTabStop() = 0;
    virtual int GetSpacing() = 0;
    virtual bool GetEnabled() = 0;
    virtual void SetEnabled(bool value) = 0;
    virtual void SetFocus() = 0;
};
__CRT_UUID_DECL(INVItem, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x01)

class INVItemEx : public virtual INVItem {
public:
    virtual TNVItem* GetSelf() = 0;
};
__CRT_UUID_DECL(INVItemEx, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x02)

class INVButton : public virtual INVItem {
public:
    virtual std::string GetCaption() = 0;
    virtual int GetMinWidth() = 0;
};
__CRT_UUID_DECL(INVButton, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x03)

class INVLabel : public virtual INVItem {
public:
    virtual std::string GetCaption() = 0;
};
__CRT_UUID_DECL(INVLabel, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x04)

class INVEdit : public virtual INVItem {
public:
    virtual int GetLines() = 0;
    virtual bool GetOptional() = 0;
    virtual std::string GetText() = 0;
    virtual void SetText(const std::string& value) = 0;
    virtual bool GetOwnSection() = 0;
    // Only an edit of two or more lines takes an own section.
    virtual void SetOwnSection(bool value) = 0;
    virtual std::string GetOutputName() = 0;
    virtual void SetOutputName(const std::string& value) = 0;
};
__CRT_UUID_DECL(INVEdit, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x05)

class INVCheckBox : public virtual INVItem {
public:
    virtual std::string GetCaption() = 0;
    virtual bool GetChecked() = 0;
    virtual void SetChecked(bool value) = 0;
    virtual std::string GetOutputName() = 0;
    virtual void SetOutputName(const std::string& value) = 0;
};
__CRT_UUID_DECL(INVCheckBox, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x06)

class INVImage : public virtual INVItem {
public:
    virtual std::string GetFile() = 0;
    virtual TNVBitmapPtr GetBitmap() = 0;
    virtual void SetBitmap(const TNVBitmapPtr& bitmap) = 0;
    virtual bool GetClickable() = 0;
    virtual bool GetBorder() = 0;
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
};
__CRT_UUID_DECL(INVImage, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x07)

class INVAssistant;

class INVForm : public IUnknown {
public:
    virtual INVAssistant* GetOwnerAssistant() = 0;
    virtual std::string GetTitle() = 0;
    virtual std::string GetMessage() = 0;
    virtual int GetItemCount() = 0;
    virtual Microsoft::WRL::ComPtr<INVItem> GetItem(int index) = 0;
    virtual Microsoft::WRL::ComPtr<INVButton> ContinueBtn() = 0;
    virtual Microsoft::WRL::ComPtr<INVButton> SkipBtn() = 0;
    virtual Microsoft::WRL::ComPtr<INVButton> AbortBtn() = 0;
    virtual std::string GetActiveControl() = 0;
    virtual void SetActiveControl(const std::string& value) = 0;
    virtual int GetTimer() = 0;
    virtual HWND GetHandle() = 0;
    virtual int GetModalResult() = 0;
    virtual TNVActionHandler GetOnAction() = 0;
    virtual void SetOnAction(TNVActionHandler value) = 0;
    virtual Microsoft::WRL::ComPtr<INVEdit> FindEdit(const std::string& name) = 0;
    virtual Microsoft::WRL::ComPtr<INVLabel> FindLabel(const std::string& name) = 0;
    virtual Microsoft::WRL::ComPtr<INVButton> FindButton(const std::string& name) = 0;
    virtual Microsoft::WRL::ComPtr<INVCheckBox> FindCheckBox(const std::string& name) = 0;
    virtual Microsoft::WRL::ComPtr<INVImage> FindImage(const std::string& name) = 0;
    // 0 closed by the close box, 1 Continue, 2 Skip, 3 Abort.
    virtual int ShowModal(HWND parent) = 0;
    virtual IUnknown* GetContext() = 0;
    virtual void SetContext(IUnknown* value) = 0;
    virtual std::uint32_t GetData() = 0;
    virtual void SetData(std::uint32_t value) = 0;
};
__CRT_UUID_DECL(INVForm, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x08)

class INVAssistant : public IUnknown {
public:
    virtual int GetFormCount() = 0;
    virtual Microsoft::WRL::ComPtr<INVForm> GetForm(int index) = 0;
    virtual int GetModalResult() = 0;
    virtual TNVActionHandler GetOnAction() = 0;
    virtual void SetOnAction(TNVActionHandler value) = 0;
    // 1 when every form was passed, 3 when one was aborted.
    virtual int ShowModal(HWND parent) = 0;
    virtual IUnknown* GetContext() = 0;
    virtual void SetContext(IUnknown* value) = 0;
    virtual std::uint32_t GetData() = 0;
    virtual void SetData(std::uint32_t value) = 0;
};
__CRT_UUID_DECL(INVAssistant, 0x3f1c6a20, 0x5b7e, 0x4d21, 0x9a, 0x44, 0x10, 0x6e, 0x2b, 0x8c, 0x71, 0x09)

using TNVAssistantPtr = Microsoft::WRL::ComPtr<INVAssistant>;
using TNVFormPtr = Microsoft::WRL::ComPtr<INVForm>;

// ---- The object model (the form window lays out, paints and draws these) ----

enum class TNVItemKind { Item, Button, Label, Edit, CheckBox, Image };

class TNVItem : public virtual INVItemEx {
public:
    TNVItem(TNVForm* form, const std::string& name);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    std::string GetName() override { return Name; }
    HWND GetHandle() override { return Handle; }
    bool GetTabStop() override { return TabStop; }
    int GetSpacing() override { return Spacing; }
    bool GetEnabled() override { return Enabled; }
    void SetEnabled(bool value) override;
    void SetFocus() override;
    TNVItem* GetSelf() override { return this; }

    virtual TNVItemKind Kind() const { return TNVItemKind::Item; }
    virtual void SetProperty(const std::string& name, const std::string& value);
    // Measures the item at (x, y), creates its control and moves y below it and its gap.
    virtual void Layout(int x, int& y, HDC dc);
    virtual void Paint(HDC) {}
    virtual void Draw(HDC, UINT, const RECT&) {}
    virtual bool IsValid() { return true; }
    // The control window is enabled when the item is and is not locked.
    void UpdateWindowEnabled();

    TNVForm* Form;
    std::string Name;
    HWND Handle = nullptr;
    bool TabStop = false;
    bool Enabled = true;
    bool Locked = false;
    int Spacing = 0;
    TNVItem* Prev = nullptr;
    TNVItem* Next = nullptr;
    int Index = 0;
    RECT Bounds{};
    bool OwnSection = false;
    std::string OutputName;

protected:
    virtual ~TNVItem() = default;
    virtual void* QueryKind(REFIID iid);
    // Creates the control of the item at Bounds.
    void CreateControl(const char* className, const std::string& text, DWORD style);

private:
    std::uint32_t refs_ = 0;
};

class TNVButton : public TNVItem, public virtual INVButton {
public:
    using TNVItem::TNVItem;
    std::string GetCaption() override { return Caption.empty() ? Name : Caption; }
    int GetMinWidth() override { return MinWidth; }
    TNVItemKind Kind() const override { return TNVItemKind::Button; }
    void SetProperty(const std::string& name, const std::string& value) override;
    void Layout(int x, int& y, HDC dc) override;
    void Draw(HDC dc, UINT state, const RECT& rect) override;
    // A standard button, measured before: its control at x on the form's bottom row.
    void CreateStandard(int x);

    int MinWidth = 0;
    std::string Caption;
    bool NoOwnerDraw = false;

protected:
    void* QueryKind(REFIID iid) override;
};

class TNVLabel : public TNVItem, public virtual INVLabel {
public:
    using TNVItem::TNVItem;
    std::string GetCaption() override { return Caption.empty() ? Name : Caption; }
    TNVItemKind Kind() const override { return TNVItemKind::Label; }
    void SetProperty(const std::string& name, const std::string& value) override;
    void Layout(int x, int& y, HDC dc) override;
    // A label ending in ':' or '?' that fits on one line.
    bool IsFieldCaption() const { return fieldCaption_; }

    std::string Caption;

protected:
    void* QueryKind(REFIID iid) override;

private:
    bool fieldCaption_ = false;
};

class TNVEdit : public TNVItem, public virtual INVEdit {
public:
    using TNVItem::TNVItem;
    int GetLines() override { return Lines; }
    bool GetOptional() override { return Optional; }
    std::string GetText() override;
    void SetText(const std::string& value) override;
    bool GetOwnSection() override { return OwnSection; }
    void SetOwnSection(bool value) override { OwnSection = value && Lines >= 2; }
    std::string GetOutputName() override { return OutputName; }
    void SetOutputName(const std::string& value) override { OutputName = value; }
    TNVItemKind Kind() const override { return TNVItemKind::Edit; }
    void SetProperty(const std::string& name, const std::string& value) override;
    void Layout(int x, int& y, HDC dc) override;
    void Paint(HDC dc) override;
    // The window's text counts while it exists, without changing Text.
    bool IsValid() override { return Optional || !CurrentText().empty(); }
    std::string CurrentText() const;

    int Lines = 0;
    bool Optional = false;
    std::string Text;

protected:
    void* QueryKind(REFIID iid) override;
};

class TNVCheckBox : public TNVItem, public virtual INVCheckBox {
public:
    using TNVItem::TNVItem;
    std::string GetCaption() override { return Caption; }
    bool GetChecked() override { return Checked; }
    void SetChecked(bool value) override;
    std::string GetOutputName() override { return OutputName; }
    void SetOutputName(const std::string& value) override { OutputName = value; }
    TNVItemKind Kind() const override { return TNVItemKind::CheckBox; }
    void SetProperty(const std::string& name, const std::string& value) override;
    void Layout(int x, int& y, HDC dc) override;
    void Draw(HDC dc, UINT state, const RECT& rect) override;

    std::string Caption;
    bool Checked = false;

protected:
    void* QueryKind(REFIID iid) override;
};

class TNVImage : public TNVItem, public virtual INVImage {
public:
    using TNVItem::TNVItem;
    std::string GetFile() override { return File; }
    TNVBitmapPtr GetBitmap() override { return Bitmap; }
    void SetBitmap(const TNVBitmapPtr& bitmap) override;
    bool GetClickable() override { return Clickable; }
    bool GetBorder() override { return Border; }
    int GetWidth() override { return Bounds.right - Bounds.left; }
    int GetHeight() override { return Bounds.bottom - Bounds.top; }
    TNVItemKind Kind() const override { return TNVItemKind::Image; }
    void SetProperty(const std::string& name, const std::string& value) override;
    void Layout(int x, int& y, HDC dc) override;
    void Paint(HDC dc) override;
    // The frame around the picture: 6 when clickable, 2 more with a border.
    int Margin() const { return (Clickable ? 6 : 0) + (Border ? 2 : 0); }

    std::string File;
    TNVBitmapPtr Bitmap;
    bool Clickable = false;
    bool Border = false;

protected:
    void* QueryKind(REFIID iid) override;
};

// The factories fire nvaCreated once a reference holds the new form.
class TNVForm : public TInterfaced<INVForm> {
public:
    TNVForm(TNVAssistant* assistant, int stepIndex, int stepCount, IUnknown* context, const std::string& resource,
            const std::string& title);

    INVAssistant* GetOwnerAssistant() override;
    std::string GetTitle() override { return Title; }
    std::string GetMessage() override { return Message; }
    int GetItemCount() override { return static_cast<int>(Items.size()); }
    Microsoft::WRL::ComPtr<INVItem> GetItem(int index) override;
    Microsoft::WRL::ComPtr<INVButton> ContinueBtn() override;
    Microsoft::WRL::ComPtr<INVButton> SkipBtn() override;
    Microsoft::WRL::ComPtr<INVButton> AbortBtn() override;
    std::string GetActiveControl() override { return ActiveControl; }
    void SetActiveControl(const std::string& value) override { ActiveControl = value; }
    int GetTimer() override { return Timer; }
    HWND GetHandle() override { return Window; }
    int GetModalResult() override { return ModalResult; }
    TNVActionHandler GetOnAction() override { return OnAction; }
    void SetOnAction(TNVActionHandler value) override { OnAction = value; }
    Microsoft::WRL::ComPtr<INVEdit> FindEdit(const std::string& name) override;
    Microsoft::WRL::ComPtr<INVLabel> FindLabel(const std::string& name) override;
    Microsoft::WRL::ComPtr<INVButton> FindButton(const std::string& name) override;
    Microsoft::WRL::ComPtr<INVCheckBox> FindCheckBox(const std::string& name) override;
    Microsoft::WRL::ComPtr<INVImage> FindImage(const std::string& name) override;
    int ShowModal(HWND parent) override;  // in hxNVAssistantWindow.cpp
    IUnknown* GetContext() override { return Context.Get(); }
    void SetContext(IUnknown* value) override { Context = value; }
    std::uint32_t GetData() override { return Data; }
    void SetData(std::uint32_t value) override { Data = value; }

    void FireAction(std::uint8_t action, TNVItem* item);
    void AppendItem(const Microsoft::WRL::ComPtr<TNVItem>& item);
    TNVItem* ItemAt(int index) const;
    TNVButton* StandardButton(int index) const;
    TNVItem* ItemOfWindow(HWND window) const;
    void SetProperty(const std::string& name, const std::string& value);
    // Reads the form stream; false when it ended on an error.
    bool ReadResource(const std::string& bytes);
    // The assistant forgets its forms when it goes.
    void DetachAssistant() { Assistant = nullptr; }

    TNVAssistant* Assistant;
    std::string Title;
    std::string Message;
    int StepIndex;
    int StepCount;
    std::vector<Microsoft::WRL::ComPtr<TNVItem>> Items;
    TNVActionHandler OnAction = nullptr;
    HWND Window = nullptr;
    int Width = 0;
    int Height = 0;
    // Made by ShowModal: the items' font, the buttons' Arial, its bold for the header, Marlett's tick.
    TGdiPtr<HFONT> Font;
    TGdiPtr<HFONT> ButtonFont;
    TGdiPtr<HFONT> BoldFont;
    TGdiPtr<HFONT> MarkFont;
    int MinWidth = 0;
    std::string ActiveControl;
    int Timer = 0;
    HWND SavedFocus = nullptr;
    TNVItem* CapturedItem = nullptr;
    std::uint8_t ModalResult = 0;
    Microsoft::WRL::ComPtr<IUnknown> Context;
    std::uint32_t Data = 0;

    // Window side (hxNVAssistantWindow.cpp).
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    void MoveFocus(TNVItem* start, bool backwards);
    void UpdateContinueLock();

private:
    ~TNVForm() override;
};

class TNVAssistant : public TInterfaced<INVAssistant> {
public:
    TNVAssistant(const std::string& title, IUnknown* context);

    int GetFormCount() override { return static_cast<int>(Forms.size()); }
    TNVFormPtr GetForm(int index) override;
    int GetModalResult() override { return ModalResult; }
    TNVActionHandler GetOnAction() override { return OnAction; }
    void SetOnAction(TNVActionHandler value) override { OnAction = value; }
    int ShowModal(HWND parent) override;
    IUnknown* GetContext() override { return Context.Get(); }
    void SetContext(IUnknown* value) override { Context = value; }
    std::uint32_t GetData() override { return Data; }
    void SetData(std::uint32_t value) override { Data = value; }

    std::string Title;
    std::vector<Microsoft::WRL::ComPtr<TNVForm>> Forms;
    std::uint8_t ModalResult = 0;
    TNVActionHandler OnAction = nullptr;
    Microsoft::WRL::ComPtr<IUnknown> Context;
    std::uint32_t Data = 0;

private:
    ~TNVAssistant() override;
};

// ---- Module level ----

// Form names "ContactForm" load the RCDATA resources "TVQCONTACTFORM" and so on.
TNVAssistantPtr CreateAssistantFromResources(HMODULE module, const std::string& title,
                                             const std::vector<std::string>& formNames, IUnknown* context);
// A form from its stream bytes (step 1 of 1 without an assistant).
TNVFormPtr CreateFormFromStream(const std::string& bytes, const std::string& title, IUnknown* context);

// The handlers the names "hxExcept.HandleContactForm" and "hxExcept.HandleScreenshotForm" select.
void SetBuiltInFormHandlers(TNVActionHandler contactForm, TNVActionHandler screenshotForm) noexcept;
// Further handlers a form may name as "Unit.Function"; a null handler removes the name.
void RegisterAssistantHandler(const std::string& qualifiedName, TNVActionHandler handler);
// The handler a form's OnAction text selects: a built-in or registered one, else a function of
// that name in the main module's debug symbols; null when none.
TNVActionHandler ResolveAssistantHandler(const std::string& name);

// Byte-level limits of the form reader.
constexpr int kAssistantFormMaxNesting = 8;
constexpr std::size_t kMaxFormResource = 256 * 1024;

// Control ids of the items: the index plus this, so that IDOK and IDCANCEL are never an item.
constexpr int kFirstItemId = 100;
