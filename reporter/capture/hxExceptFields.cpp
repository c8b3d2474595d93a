#include "hxExceptFields.h"

#include "hxExceptSupport.h"
#include "hxInterfaced.h"
#include "hxStrings.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

class TCriticalSection {
public:
    TCriticalSection() noexcept { InitializeCriticalSection(&section_); }
    ~TCriticalSection() { DeleteCriticalSection(&section_); }
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;
    void Enter() noexcept { EnterCriticalSection(&section_); }
    void Leave() noexcept { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Holds a list's Lock/Unlock pair for a scope.
template <class TList>
class TListLock {
public:
    explicit TListLock(TList& list) : list_(list) { list_.Lock(); }
    ~TListLock() { list_.Unlock(); }
    TListLock(const TListLock&) = delete;
    TListLock& operator=(const TListLock&) = delete;

private:
    TList& list_;
};

// Capacity 16 at first, then half as much again whenever full.
template <class T>
void GrowWhenFull(std::vector<T>& items)
{
    if (items.size() == items.capacity())
        items.reserve(items.empty() ? 16 : items.size() * 3 / 2);
}

std::string Trimmed(std::string s)
{
    TrimText(s);
    return s;
}

class TIVQFields final : public TInterfaced<IVQFields>, public IVQFieldsEx {
public:
    TIVQFields(IHxFieldsOwner* ownerException, bool enabled) : ownerException_(ownerException), enabled_(enabled) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object && iid == __uuidof(IVQFieldsEx)) {
            *object = static_cast<IVQFieldsEx*>(this);
            AddRef();
            return S_OK;
        }
        return TInterfaced<IVQFields>::QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return TInterfaced<IVQFields>::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return TInterfaced<IVQFields>::Release(); }

    void SetOwnerSettings(IHxSettingsWriter* owner) { ownerSettings_ = owner; }

    // IVQFields
    void Lock() override
    {
        if (IHxFieldsOwner* owner = ownerException_)
            owner->LockOwner();
        section_.Enter();
    }
    void Unlock() override
    {
        IHxFieldsOwner* owner = ownerException_;
        section_.Leave();
        if (owner)
            owner->UnlockOwner();
    }
    int GetCount() override
    {
        TListLock lock(*this);
        return static_cast<int>(items_.size());
    }
    std::string GetName(int index) override
    {
        TListLock lock(*this);
        return InRange(index) ? items_[index].first : std::string();
    }
    void SetName(int index, const std::string& name) override
    {
        TListLock lock(*this);
        if (InRange(index) && items_[index].first != name) {
            items_[index].first = name;
            WriteBack();
        }
    }
    int IndexOf(const std::string& name) override
    {
        TListLock lock(*this);
        return Find(name);
    }
    std::string GetValue(const std::string& name) override
    {
        TListLock lock(*this);
        const int index = Find(name);
        return index >= 0 ? items_[index].second : std::string();
    }
    void SetValue(const std::string& name, const std::string& value) override
    {
        if (!enabled_)
            return;
        const std::string trimmed = Trimmed(value);
        if (trimmed.empty()) {
            Remove(name);
            return;
        }
        TListLock lock(*this);
        const int index = Find(name);
        if (index < 0) {
            Insert(insertPosition_ >= 1 ? insertPosition_ : static_cast<int>(items_.size()), name, trimmed);
        } else if (items_[index].first != name || items_[index].second != trimmed) {
            items_[index] = {name, trimmed};
            WriteBack();
        }
    }
    void Add(const std::string& name, const std::string& value) override { SetValue(name, value); }
    void Insert(int index, const std::string& name, const std::string& value) override
    {
        const std::string trimmed = Trimmed(value);
        if (!enabled_ || trimmed.empty())
            return;
        TListLock lock(*this);
        index = std::max(0, std::min(index, static_cast<int>(items_.size())));
        const int existing = Find(name);
        if (existing >= 0) {
            if (existing == index && items_[existing].second == trimmed)
                return;
            items_.erase(items_.begin() + existing);
            if (index > existing)
                --index;
        }
        GrowWhenFull(items_);
        items_.insert(items_.begin() + index, {name, trimmed});
        if (insertPosition_ >= 1 && insertPosition_ >= index)
            ++insertPosition_;
        WriteBack();
    }
    void Delete(int index) override
    {
        TListLock lock(*this);
        if (!InRange(index))
            return;
        items_.erase(items_.begin() + index);
        if (insertPosition_ >= 1 && insertPosition_ > index)
            --insertPosition_;
        WriteBack();
    }
    void Remove(const std::string& name) override
    {
        TListLock lock(*this);
        Delete(Find(name));
    }
    TFieldsPtr Clone() override
    {
        ComPtr<TIVQFields> copy(new TIVQFields(nullptr, true));
        TListLock lock(*this);
        for (const auto& [name, value] : items_)
            copy->Add(name, value);
        return copy;
    }

    // IVQFieldsEx
    void ForgetException() override { ownerException_ = nullptr; }
    void ForgetSettings() override
    {
        TListLock lock(*this);
        ownerSettings_ = nullptr;
    }
    void SetInsertPosition(int position) override
    {
        TListLock lock(*this);
        insertPosition_ = position;
    }
    void Enable() override { enabled_ = true; }

private:
    bool InRange(int index) const { return index >= 0 && index < static_cast<int>(items_.size()); }
    int Find(const std::string& name) const
    {
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (SameTextCI(items_[i].first, name))
                return static_cast<int>(i);
        return -1;
    }
    // Called under the lock.
    void WriteBack()
    {
        if (ownerSettings_) {
            std::string text;
            for (const auto& [name, value] : items_) {
                if (!text.empty())
                    text += '|';
                text += name + '=' + value;
            }
            ownerSettings_->WriteSettingText("AddFields", text);
        }
        if (IHxFieldsOwner* owner = ownerException_)
            owner->FieldsChanged();
    }

    std::atomic<IHxFieldsOwner*> ownerException_;
    IHxSettingsWriter* ownerSettings_ = nullptr;
    std::vector<std::pair<std::string, std::string>> items_;
    int insertPosition_ = 0;
    std::atomic<bool> enabled_;
    TCriticalSection section_;
};

struct TAttachment {
    std::string file, sendAs, archive, field;
};

class TIVQAttachments final : public TInterfaced<IVQAttachments>, public IVQAttachmentsOwner {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object && iid == __uuidof(IVQAttachmentsOwner)) {
            *object = static_cast<IVQAttachmentsOwner*>(this);
            AddRef();
            return S_OK;
        }
        return TInterfaced<IVQAttachments>::QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return TInterfaced<IVQAttachments>::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return TInterfaced<IVQAttachments>::Release(); }

    void SetOwnerSettings(IHxSettingsWriter* owner) { ownerSettings_ = owner; }

    void Lock() override { section_.Enter(); }
    void Unlock() override { section_.Leave(); }
    int GetCount() override
    {
        TListLock lock(*this);
        return static_cast<int>(items_.size());
    }
    bool Get(int index, std::string& file, std::string& sendAs, std::string& archive, std::string& field) override
    {
        TListLock lock(*this);
        if (index < 0 || index >= static_cast<int>(items_.size()))
            return false;
        const TAttachment& item = items_[index];
        file = item.file;
        sendAs = item.sendAs;
        archive = item.archive;
        field = item.field;
        return true;
    }
    void Add(const std::string& file, const std::string& sendAs, const std::string& archive,
             const std::string& field) override
    {
        if (file.empty())
            return;
        TAttachment item{file, sendAs, archive, field};
        if (item.sendAs.empty()) {
            const std::size_t slash = file.find_last_of("\\/:");
            item.sendAs = slash == std::string::npos ? file : file.substr(slash + 1);
        }
        if (item.field.empty())
            item.field = item.sendAs.substr(0, item.sendAs.rfind('.'));
        TListLock lock(*this);
        GrowWhenFull(items_);
        items_.push_back(std::move(item));
        WriteBack();
    }
    bool Remove(const std::string& file) override
    {
        TListLock lock(*this);
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (SameTextCI(it->file, file)) {
                items_.erase(it);
                WriteBack();
                return true;
            }
        }
        return false;
    }
    TAttachmentsPtr Clone() override
    {
        ComPtr<TIVQAttachments> copy(new TIVQAttachments);
        TListLock lock(*this);
        copy->items_ = items_;
        return copy;
    }

    void ForgetSettings() override
    {
        TListLock lock(*this);
        ownerSettings_ = nullptr;
    }

private:
    void WriteBack()
    {
        if (!ownerSettings_)
            return;
        std::string text;
        for (const TAttachment& item : items_) {
            if (!text.empty())
                text += '|';
            text += item.file + '>' + item.sendAs + '>' + item.archive + '>' + item.field;
        }
        ownerSettings_->WriteSettingText("AddAttachs", text);
    }

    IHxSettingsWriter* ownerSettings_ = nullptr;
    std::vector<TAttachment> items_;
    TCriticalSection section_;
};

}  // namespace

TFieldsPtr NewFields(IHxFieldsOwner* ownerException, bool enabled)
{
    return TFieldsPtr(new TIVQFields(ownerException, enabled));
}

TAttachmentsPtr NewAttachments()
{
    return TAttachmentsPtr(new TIVQAttachments);
}

TFieldsPtr FieldsFromSetting(const std::string& text, IHxSettingsWriter* ownerSettings)
{
    ComPtr<TIVQFields> fields(new TIVQFields(nullptr, true));
    for (const std::string& entry : SplitSettingList(text, '|')) {
        const std::size_t first = entry.find('=');
        const std::string name = entry.substr(0, first);
        std::string value;
        if (first != std::string::npos) {
            const std::size_t second = entry.find('=', first + 1);
            value = entry.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        }
        fields->SetValue(name, value);
    }
    fields->SetOwnerSettings(ownerSettings);
    return fields;
}

TAttachmentsPtr AttachmentsFromSetting(const std::string& text, IHxSettingsWriter* ownerSettings)
{
    ComPtr<TIVQAttachments> attachments(new TIVQAttachments);
    for (const std::string& entry : SplitSettingList(text, '|')) {
        std::vector<std::string> parts = SplitSettingList(entry, '>');
        parts.resize(4);
        attachments->Add(parts[0], parts[1], parts[2], parts[3]);
    }
    attachments->SetOwnerSettings(ownerSettings);
    return attachments;
}
