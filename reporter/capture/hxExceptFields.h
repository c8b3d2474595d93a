#pragma once

// The two lists a bug report carries besides its text: named fields and attachments. A list
// made from a settings object writes every change back to its setting ("AddFields",
// "AddAttachs") until the settings object tells it to forget it.

#include <windows.h>
#include <wrl/client.h>

#include <string>

// The exception object that owns a fields list; it is locked before the list.
class IHxFieldsOwner {
public:
    virtual void LockOwner() = 0;
    virtual void UnlockOwner() = 0;
    virtual void FieldsChanged() = 0;

protected:
    ~IHxFieldsOwner() = default;
};

// The settings object a list writes back to.
class IHxSettingsWriter {
public:
    virtual bool WriteSettingText(const char* name, const std::string& value) = 0;

protected:
    ~IHxSettingsWriter() = default;
};

class IVQFields : public IUnknown {
public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual int GetCount() = 0;
    virtual std::string GetName(int index) = 0;
    virtual void SetName(int index, const std::string& name) = 0;
    // Names compare without regard to case.
    virtual int IndexOf(const std::string& name) = 0;
    virtual std::string GetValue(const std::string& name) = 0;
    // The value is trimmed; an empty one removes the entry.
    virtual void SetValue(const std::string& name, const std::string& value) = 0;
    virtual void Add(const std::string& name, const std::string& value) = 0;
    virtual void Insert(int index, const std::string& name, const std::string& value) = 0;
    virtual void Delete(int index) = 0;
    virtual void Remove(const std::string& name) = 0;
    virtual Microsoft::WRL::ComPtr<IVQFields> Clone() = 0;
};
__CRT_UUID_DECL(IVQFields, 0xaf0ea7a7, 0x2b36, 0x46fd, 0xbf, 0x2e, 0x24, 0x5a, 0xba, 0x27, 0x40, 0xe2)

class IVQFieldsEx : public IUnknown {
public:
    virtual void ForgetException() = 0;
    virtual void ForgetSettings() = 0;
    virtual void SetInsertPosition(int position) = 0;
    virtual void Enable() = 0;
};
__CRT_UUID_DECL(IVQFieldsEx, 0xd9eed670, 0xc965, 0x403d, 0x92, 0xe0, 0xbf, 0x11, 0xd8, 0x54, 0x91, 0x1d)

class IVQAttachments : public IUnknown {
public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual int GetCount() = 0;
    virtual bool Get(int index, std::string& file, std::string& sendAs, std::string& archive,
                     std::string& field) = 0;
    // An empty sendAs becomes the file's name, an empty field sendAs without its extension.
    virtual void Add(const std::string& file, const std::string& sendAs, const std::string& archive,
                     const std::string& field) = 0;
    // Case-insensitive; true when an entry was removed.
    virtual bool Remove(const std::string& file) = 0;
    virtual Microsoft::WRL::ComPtr<IVQAttachments> Clone() = 0;
};
__CRT_UUID_DECL(IVQAttachments, 0x7de1da9c, 0x28d7, 0x4527, 0x95, 0x4f, 0xf9, 0x51, 0xb8, 0x8b, 0xee, 0x41)

class IVQAttachmentsOwner : public IUnknown {
public:
    virtual void ForgetSettings() = 0;
};
__CRT_UUID_DECL(IVQAttachmentsOwner, 0x1e8b96cb, 0x8314, 0x4c9e, 0xa3, 0x27, 0x7c, 0xda, 0x83, 0xa5, 0x59, 0x82)

using TFieldsPtr = Microsoft::WRL::ComPtr<IVQFields>;
using TAttachmentsPtr = Microsoft::WRL::ComPtr<IVQAttachments>;

// A new list; enabled lists accept entries at once.
TFieldsPtr NewFields(IHxFieldsOwner* ownerException, bool enabled);
TAttachmentsPtr NewAttachments();

// Lists filled from the text of "AddFields" / "AddAttachs"; the owner is set only after
// filling, so filling writes nothing back.
TFieldsPtr FieldsFromSetting(const std::string& text, IHxSettingsWriter* ownerSettings);
TAttachmentsPtr AttachmentsFromSetting(const std::string& text, IHxSettingsWriter* ownerSettings);
