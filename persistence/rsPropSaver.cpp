#include "rsPropSaver.h"

#include "FormStream.h"

#include <algorithm>

const TClassInfo& TrsAddInProperties::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TrsAddInProperties, TComponent>("TrsAddInProperties", {});
    return info;
}

// ---- property lines ------------------------------------------------------------------

namespace {

std::string Unquote(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        return s.substr(1, s.size() - 2);
    return s;
}

// The pieces of text between separators; one empty piece for empty text.
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t found = text.find(separator, start);
        parts.push_back(text.substr(start, found == std::string::npos ? std::string::npos : found - start));
        if (found == std::string::npos)
            return parts;
        start = found + 1;
    }
}

// The owner's event a load hook takes over; null for a choice the owner lacks (a data
// module has only OnCreate).
TNotifyEvent* LoadEventOf(TComponent& owner, TrsPropSaverLoad when) {
    if (auto* form = dynamic_cast<TCustomForm*>(&owner))
        return when == wlOnActivate ? &form->OnActivate : when == wlOnCreate ? &form->OnCreate : &form->OnShow;
    if (auto* module = dynamic_cast<TDataModule*>(&owner); module && when == wlOnCreate)
        return &module->OnCreate;
    return nullptr;
}

// The owner's event a save hook takes over, for every choice but wsOnClose; null as above
// (a data module has only OnDestroy).
TNotifyEvent* SaveEventOf(TComponent& owner, TrsPropSaverSave when) {
    if (auto* form = dynamic_cast<TCustomForm*>(&owner))
        return when == wsOnDeactivate ? &form->OnDeactivate : when == wsOnDestroy ? &form->OnDestroy : &form->OnHide;
    if (auto* module = dynamic_cast<TDataModule*>(&owner); module && when == wsOnDestroy)
        return &module->OnDestroy;
    return nullptr;
}

// Keeps a saver's busy flag raised from its before-event on, and fires its after-event and
// lowers the flag on every way out of the run.
class TRunScope {
public:
    TRunScope(TrsPropSaver& saver, bool& busy, const TNotifyEvent& before, const TNotifyEvent& after)
        : saver_(saver), busy_(busy), after_(after) {
        busy_ = true;
        before(&saver_);
    }
    TRunScope(const TRunScope&) = delete;
    TRunScope& operator=(const TRunScope&) = delete;
    ~TRunScope() {
        after_(&saver_);
        busy_ = false;
    }

private:
    TrsPropSaver& saver_;
    bool& busy_;
    const TNotifyEvent& after_;
};

// What the component writer made of an object, as a binary value.
template <class Writer>
TrsKeyItem Streamed(const Writer& write) {
    TMemoryStream stream;
    write(stream);
    return TrsKeyItem::OfBinary(std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size())));
}

// A binary value in a stream, for the component reader; raises for another kind.
void ValueStream(const TrsKeyItem& value, const std::string& keyName, TMemoryStream& stream) {
    if (value.Kind != TrsKeyKind::Binary)
        RaiseStorageError(rsGetKeyError, Format("Can't read value of key \"%s\" as binary type.", keyName.c_str()));
    stream.WriteBuffer(value.Text.data(), static_cast<int64_t>(value.Text.size()));
    stream.SetPosition(0);
}

TFormReadOptions ReferencesAmongOpenForms() {
    TFormReadOptions options;
    options.FindReference = FindFormComponent;
    return options;
}

}  // namespace

TrsProperty TrsProperty::Parse(const std::string& text) {
    TrsProperty line;
    const std::string s = Trim(text);
    const size_t n = s.size();
    std::string rest = s;
    bool optional = false;
    if (n > 0 && s.back() == ',') {
        rest = s.substr(0, n - 1);
        optional = true;
    } else {
        size_t comma = std::string::npos;
        if (n >= 5 && s[n - 5] == ',')
            comma = n - 5;
        else if (n >= 4 && s[n - 4] == ',')
            comma = n - 4;
        if (comma != std::string::npos) {
            const std::string flags = UpperCase(s.substr(comma + 1));
            line.Enabled = flags[0] == 'E';
            switch (flags[1]) {
            case 'P': line.Kind = TrsPropKind::Published; break;
            case 'C': line.Kind = TrsPropKind::Custom; break;
            case 'U': line.Kind = TrsPropKind::User; break;
            default: line.Kind = TrsPropKind::None; break;
            }
            switch (flags[2]) {
            case 'R': line.Direction = TrsPropDirection::Read; break;
            case 'W': line.Direction = TrsPropDirection::Write; break;
            default: line.Direction = TrsPropDirection::Both; break;
            }
            line.Encipher = flags.size() == 4 && flags[3] == 'C';
            rest = s.substr(0, comma);
            optional = true;
        }
    }
    if (optional) {
        const size_t comma = rest.find(',');
        if (comma != std::string::npos) {
            const std::string parts = rest.substr(comma + 1);
            rest = rest.substr(0, comma);
            const size_t split = parts.find("\",\"");
            if (split != std::string::npos) {
                line.Default = Unquote(parts.substr(0, split + 1));
                line.KeyName = Unquote(parts.substr(split + 2));
            } else {
                line.Default = Unquote(parts);
            }
        }
    }
    line.Path = Trim(rest);
    if (line.KeyName.empty())
        line.KeyName = line.Path;
    return line;
}

// ---- the saver -----------------------------------------------------------------------

const TClassInfo& TrsPropSaver::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TrsPropSaver::Active>("Active").WithDefault(true),
        Prop<&TrsPropSaver::Storage, &TrsPropSaver::SetStorage>("Storage"),
        Prop<&TrsPropSaver::RootSection>("RootSection"),
        Prop<&TrsPropSaver::PropertiesObject>("Properties"),
        Prop<&TrsPropSaver::Options, &TrsPropSaver::SetOptions>("Options"),
        Prop<&TrsPropSaver::FormPlacementOptions, &TrsPropSaver::SetFormPlacementOptions>("FormPlacementOptions"),
        Prop<&TrsPropSaver::WhenLoad, &TrsPropSaver::SetWhenLoad>("WhenLoad").WithDefault(wlManual),
        Prop<&TrsPropSaver::WhenSave, &TrsPropSaver::SetWhenSave>("WhenSave").WithDefault(wsManual),
        Prop<&TrsPropSaver::CustomProperties, &TrsPropSaver::SetCustomProperties>("CustomProperties"),
        Prop<&TrsPropSaver::OnBeforeLoad>("OnBeforeLoad"),
        Prop<&TrsPropSaver::OnAfterLoad>("OnAfterLoad"),
        Prop<&TrsPropSaver::OnBeforeSave>("OnBeforeSave"),
        Prop<&TrsPropSaver::OnAfterSave>("OnAfterSave"),
        Prop<&TrsPropSaver::OnGetProperty>("OnGetProperty"),
        Prop<&TrsPropSaver::OnSetProperty>("OnSetProperty"),
        Prop<&TrsPropSaver::OnGetUserProperty>("OnGetUserProperty"),
        Prop<&TrsPropSaver::OnSetUserProperty>("OnSetUserProperty"),
    };
    static const TClassInfo info = MakeClassInfo<TrsPropSaver, TrsStorageClient>("TrsPropSaver", props);
    return info;
}

TrsPropSaver::TrsPropSaver(TComponent* owner) : TrsStorageClient(owner) {
    for (TComponent* c = owner; c && !root_; c = c->Owner())
        if (dynamic_cast<TCustomForm*>(c) || dynamic_cast<TDataModule*>(c))
            root_ = c;
    form_ = dynamic_cast<TCustomForm*>(root_);
}

TrsPropSaver::~TrsPropSaver() {
    RemoveLoadHook();
    RemoveSaveHook();
}

void TrsPropSaver::BeforeDestruction() {
    RemoveLoadHook();
    RemoveSaveHook();
    TrsStorageClient::BeforeDestruction();
}

void TrsPropSaver::Loaded() {
    TrsStorageClient::Loaded();
    // Hooks wait for the end of loading, so that the form's own handlers are in place.
    InstallLoadHook();
    InstallSaveHook();
}

void TrsPropSaver::SetOptions(TrsPropSaverOptions options) {
    const bool was = options_.Contains(poStoreFormPlacement);
    options_ = options;
    if (!was && options.Contains(poStoreFormPlacement))
        placement_ = {pfpPlacement, pfpSize, pfpState};
    else if (was && !options.Contains(poStoreFormPlacement))
        placement_ = {};
}

void TrsPropSaver::SetFormPlacementOptions(TrsPropSaverFormPlacements placement) {
    placement_ = placement;
    if (placement.Empty())
        options_.Exclude(poStoreFormPlacement);
    else
        options_.Include(poStoreFormPlacement);
}

void TrsPropSaver::SetCustomProperties(TrsAddInProperties* custom) {
    if (custom_)
        RemoveFreeNotification(custom_);
    custom_ = custom;
    if (custom_)
        custom_->FreeNotification(this);
}

void TrsPropSaver::Notification(TComponent* component, TOperation operation) {
    TrsStorageClient::Notification(component, operation);
    if (operation == opRemove && component == custom_)
        custom_ = nullptr;
    if (operation == opRemove && component == root_) {
        loadHooked_ = saveHooked_ = false;
        root_ = form_ = nullptr;
    }
}

namespace {

bool RootLoading(TComponent* root) { return root && root->IsLoading(); }

}  // namespace

void TrsPropSaver::SetWhenLoad(TrsPropSaverLoad value) {
    RemoveLoadHook();
    whenLoad_ = value;
    if (!RootLoading(root_) && !IsLoading())
        InstallLoadHook();
}

void TrsPropSaver::SetWhenSave(TrsPropSaverSave value) {
    RemoveSaveHook();
    whenSave_ = value;
    if (!RootLoading(root_) && !IsLoading())
        InstallSaveHook();
}

void TrsPropSaver::InstallLoadHook() {
    if (loadHooked_ || !root_ || whenLoad_ == wlManual)
        return;
    TNotifyEvent* hooked = LoadEventOf(*root_, whenLoad_);
    if (!hooked)
        return;
    loadEvent_ = hooked;
    TNotifyEvent& event = *hooked;
    previousLoad_ = event;
    event = [this](TObject* sender) {
        if (Active)
            GuardedLoad();
        TNotifyEvent previous = previousLoad_;  // the handler may free this saver
        previous(sender);
    };
    loadHooked_ = true;
}

void TrsPropSaver::RemoveLoadHook() {
    if (!loadHooked_)
        return;
    loadHooked_ = false;
    // The events of an owner that frees its components are gone already.
    if (!root_ || root_->IsDestroying())
        return;
    *loadEvent_ = previousLoad_;
    previousLoad_ = {};
}

void TrsPropSaver::InstallSaveHook() {
    if (saveHooked_ || !root_ || whenSave_ == wsManual)
        return;
    if (whenSave_ == wsOnClose) {
        if (!form_)
            return;
        previousClose_ = form_->OnClose;
        form_->OnClose = [this](TObject* sender, TCloseAction& action) {
            TCloseEvent previous = previousClose_;
            TrsPropSaver* self = this;
            previous(sender, action);
            if (action != caNone && self->Active && self->form_ && self->form_->HandleAllocated())
                self->GuardedSave();
        };
    } else {
        TNotifyEvent* hooked = SaveEventOf(*root_, whenSave_);
        if (!hooked)
            return;
        saveEvent_ = hooked;
        previousSave_ = *hooked;
        *hooked = [this](TObject* sender) {
            TNotifyEvent previous = previousSave_;
            previous(sender);
            // A data module has no window to wait for.
            if (Active && root_ && (!form_ || form_->HandleAllocated()))
                GuardedSave();
        };
    }
    saveHooked_ = true;
}

void TrsPropSaver::RemoveSaveHook() {
    if (!saveHooked_)
        return;
    saveHooked_ = false;
    if (!root_ || root_->IsDestroying())
        return;
    if (whenSave_ == wsOnClose) {
        form_->OnClose = previousClose_;
        previousClose_ = {};
        return;
    }
    *saveEvent_ = previousSave_;
    previousSave_ = {};
}

void TrsPropSaver::GuardedLoad() {
    try {
        LoadFromStorage();
    } catch (...) {
        Application.HandleException(this);
    }
}

void TrsPropSaver::GuardedSave() {
    try {
        SaveToStorage();
    } catch (...) {
        Application.HandleException(this);
    }
}

std::string TrsPropSaver::NormalizedRoot() const {
    if (RootSection.empty())
        return "\\";
    std::string root = RootSection;
    if (!IsPathSeparator(root.front()))
        root = "\\" + root;
    if (!IsPathSeparator(root.back()))
        root += "\\";
    return root;
}

void TrsPropSaver::RegisterEncrypted(const std::string& keyName) {
    TrsStorage* storage = Storage();
    if (!storage || !storage->Encryptor())
        return;
    TStringList& keys = storage->Encryptor()->EncryptKeys();
    const std::string name = NormalizedRoot() + keyName;
    if (keys.IndexOf(name) < 0 && keys.IndexOf(name.substr(1)) < 0)
        keys.Add(name);
}

// ---- paths and values ----------------------------------------------------------------

bool TrsPropSaver::Resolve(const std::string& path, Resolved& out) const {
    TComponent* owner = Owner();
    if (!owner || path.empty())
        return false;
    const std::vector<std::string> parts = Split(path, '.');
    if (std::any_of(parts.begin(), parts.end(), [](const std::string& p) { return p.empty(); }))
        return false;
    TObject* current = owner;
    if (parts.size() == 1) {
        if (const TPropInfo* prop = FindPropInfo(*owner, parts[0])) {
            out.Targets.push_back({owner, prop});
            return true;
        }
        if (TComponent* child = owner->FindComponent(parts[0])) {
            out.Targets.push_back({child, nullptr});
            return true;
        }
        return false;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const TPropInfo* prop = FindPropInfo(*current, parts[i]);
        if (auto collection = dynamic_cast<TCollection*>(current); collection && !prop) {
            out.Collection = collection;
            for (size_t k = i; k < parts.size(); ++k)
                out.ItemPath += (k > i ? "." : "") + parts[k];
            return true;
        }
        if (last) {
            if (!prop)
                return false;
            out.Targets.push_back({current, prop});
            return true;
        }
        if (prop && prop->Kind == TTypeKind::Class) {
            current = std::get<TObject*>(GetPropValue(*current, *prop));
        } else if (auto component = dynamic_cast<TComponent*>(current)) {
            current = component->FindComponent(parts[i]);
        } else {
            current = nullptr;
        }
        if (!current)
            return false;
    }
    return false;
}

bool TrsPropSaver::ReadProperty(TObject& object, const TPropInfo& prop, TrsKeyItem& value) const {
    const TPropValue raw = GetPropValue(object, prop);
    switch (prop.Kind) {
    case TTypeKind::Integer:
    case TTypeKind::Char:
    case TTypeKind::Colour:
        value = TrsKeyItem::OfInteger(static_cast<int32_t>(std::get<int64_t>(raw)));
        return true;
    case TTypeKind::Enumeration:
    case TTypeKind::Boolean:
        value = TrsKeyItem::OfString(GetEnumName(prop, std::get<int64_t>(raw)));
        return true;
    case TTypeKind::Set:
        value = TrsKeyItem::OfString(SetToString(prop, std::get<int64_t>(raw)));
        return true;
    case TTypeKind::Float:
        value = TrsKeyItem::OfFloat(std::get<double>(raw));
        return true;
    case TTypeKind::String:
        value = TrsKeyItem::OfString(std::get<std::string>(raw));
        return true;
    case TTypeKind::Int64:
        value = TrsKeyItem::OfInt64(std::get<int64_t>(raw));
        return true;
    case TTypeKind::Class: {
        TObject* target = std::get<TObject*>(raw);
        if (auto list = dynamic_cast<TStringList*>(target)) {
            value = TrsKeyItem::OfString(list->Text());
            return true;
        }
        if (auto component = dynamic_cast<TComponent*>(target)) {
            std::string name = component->Name();
            if (component->Owner() && component->Owner() != Owner())
                name = component->Owner()->Name() + "." + name;
            value = TrsKeyItem::OfString(name);
            return true;
        }
        if (!target) {
            value = TrsKeyItem::OfString("");
            return true;
        }
        if (auto persistent = dynamic_cast<const TPersistent*>(target)) {
            value = Streamed([&](TStream& stream) { WritePersistent(stream, *persistent); });
            return true;
        }
        return false;
    }
    case TTypeKind::Method: return false;
    }
    return false;
}

void TrsPropSaver::WriteProperty(TObject& object, const TPropInfo& prop, const TrsKeyItem& value) {
    if (!prop.Writable() && prop.Kind != TTypeKind::Class)
        return;
    switch (prop.Kind) {
    case TTypeKind::Integer:
    case TTypeKind::Char:
    case TTypeKind::Colour:
        SetPropValue(object, prop, static_cast<int64_t>(KeyItemAsInteger(value, prop.Name)));
        return;
    case TTypeKind::Enumeration:
    case TTypeKind::Boolean: {
        const int64_t ordinal = GetEnumValue(prop, KeyItemAsString(value, prop.Name));
        if (ordinal < 0)
            throw EConvertError(Format("Invalid value for %s", prop.Name));
        SetPropValue(object, prop, ordinal);
        return;
    }
    case TTypeKind::Set:
        if (value.Kind == TrsKeyKind::Integer)
            SetPropValue(object, prop, value.Int);
        else
            SetPropValue(object, prop, StringToSet(prop, KeyItemAsString(value, prop.Name)));
        return;
    case TTypeKind::Float: SetPropValue(object, prop, KeyItemAsFloat(value, prop.Name)); return;
    case TTypeKind::String: SetPropValue(object, prop, KeyItemAsString(value, prop.Name)); return;
    case TTypeKind::Int64: SetPropValue(object, prop, KeyItemAsInt64(value, prop.Name)); return;
    case TTypeKind::Class: {
        TObject* target = std::get<TObject*>(GetPropValue(object, prop));
        if (auto list = dynamic_cast<TStringList*>(target)) {
            list->SetText(KeyItemAsString(value, prop.Name));
            return;
        }
        if (auto persistent = dynamic_cast<TPersistent*>(target); persistent && !dynamic_cast<TComponent*>(target)) {
            TMemoryStream stream;
            ValueStream(value, prop.Name, stream);
            ReadPersistent(stream, *persistent, ReferencesAmongOpenForms());
            return;
        }
        if (!prop.Writable() || !prop.PropClass || !prop.PropClass().InheritsFrom(TComponent::StaticClassInfo()))
            return;
        const std::string text = KeyItemAsString(value, prop.Name);
        TComponent* found = text.find('.') != std::string::npos ? FindFormComponent(text)
                            : Owner()                             ? Owner()->FindComponent(text)
                                                                  : nullptr;
        if (found && found->InheritsFrom(prop.PropClass()))
            SetPropValue(object, prop, static_cast<TObject*>(found));
        return;
    }
    case TTypeKind::Method: return;
    }
}

bool TrsPropSaver::SaveLine(const TrsProperty& line, TrsKeyItem& value) {
    switch (line.Kind) {
    case TrsPropKind::Published: {
        Resolved resolved;
        if (!Resolve(line.Path, resolved))
            return false;
        if (OnGetProperty.Assigned()) {
            bool allow = true;
            TObject* instance = resolved.Collection ? static_cast<TObject*>(resolved.Collection)
                                : resolved.Targets.empty() ? nullptr : resolved.Targets[0].Object;
            OnGetProperty(this, instance, line.Path, value, allow);
            if (!allow)
                return true;
        }
        if (resolved.Collection) {
            std::string joined;
            for (int i = 0; i < resolved.Collection->Count(); ++i) {
                const auto targets = ResolvePropPath(*resolved.Collection->Items(i), resolved.ItemPath);
                TrsKeyItem item;
                if (targets.size() != 1 || !targets[0].Prop || !ReadProperty(*targets[0].Object, *targets[0].Prop, item))
                    return false;
                joined += (i ? "," : "") + KeyItemAsString(item, line.KeyName);
            }
            value = TrsKeyItem::OfString("\"" + joined + "\"");
            return true;
        }
        if (resolved.Targets.size() != 1)
            return false;
        if (!resolved.Targets[0].Prop) {  // a whole component
            const auto& component = dynamic_cast<const TComponent&>(*resolved.Targets[0].Object);
            value = Streamed([&](TStream& stream) { WriteComponent(stream, component); });
            return true;
        }
        return ReadProperty(*resolved.Targets[0].Object, *resolved.Targets[0].Prop, value);
    }
    case TrsPropKind::Custom: {
        Resolved resolved;
        if (!custom_ || !Resolve(line.Path, resolved) || resolved.Targets.size() != 1)
            return false;
        const TPropTarget& target = resolved.Targets[0];
        value = custom_->GetValue(*this, *target.Object, target.Prop ? target.Prop->Name : line.Path);
        return value.Assigned();
    }
    case TrsPropKind::User:
        if (!OnGetUserProperty.Assigned())
            return false;
        OnGetUserProperty(this, line.KeyName, value);
        return true;
    case TrsPropKind::None: return false;
    }
    return false;
}

void TrsPropSaver::SaveToStorage() {
    const TRunScope run(*this, saving_, OnBeforeSave, OnAfterSave);
    TrsStorage* storage = Storage();
    if (!storage)
        return;
    storage->SetRootSection(RootSection);
    for (int i = 0; i < properties_.Count(); ++i) {
        const TrsProperty line = TrsProperty::Parse(properties_[i]);
        if (line.Direction == TrsPropDirection::Read)
            continue;
        TrsKeyItem value;
        bool ok = false;
        if (line.Enabled) {
            try {
                ok = SaveLine(line, value);
            } catch (const Exception&) {
                ok = false;  // a property that cannot be read is not stored
            }
        }
        if (ok && !options_.Contains(poStoreDefValues) && SameText(KeyItemAsString(value, line.KeyName), line.Default))
            ok = false;
        if (!ok) {
            storage->DeleteKey(line.KeyName);
            continue;
        }
        storage->WriteValue(line.KeyName, value);
        if (line.Encipher)
            RegisterEncrypted(line.KeyName);
    }
    if (options_.Contains(poStoreFormPlacement)) {
        const std::string placement = PlacementText();
        if (!placement.empty()) {
            storage->WriteString("FormPlacement", placement);
            if (options_.Contains(poEncryptFormPlacement))
                RegisterEncrypted("FormPlacement");
        }
    }
}

void TrsPropSaver::LoadLine(const TrsProperty& line, const TrsKeyItem& stored) {
    TrsKeyItem value = stored;
    switch (line.Kind) {
    case TrsPropKind::Published: {
        Resolved resolved;
        if (!Resolve(line.Path, resolved))
            return;
        if (OnSetProperty.Assigned()) {
            bool allow = true;
            TObject* instance = resolved.Collection ? static_cast<TObject*>(resolved.Collection)
                                : resolved.Targets.empty() ? nullptr : resolved.Targets[0].Object;
            OnSetProperty(this, instance, line.Path, value, allow);
            if (!allow)
                return;
        }
        if (TCollection* collection = resolved.Collection) {
            std::string text = KeyItemAsString(value, line.KeyName);
            if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
                text = text.substr(1, text.size() - 2);
            const std::vector<std::string> values = text.empty() ? std::vector<std::string>{} : Split(text, ',');
            const bool restoreCount = !options_.Contains(poNotRestoreCollectionItemsCount);
            collection->BeginUpdate();
            try {
                if (restoreCount)
                    while (collection->Count() < static_cast<int>(values.size()))
                        collection->Add();
                const int count = std::min(collection->Count(), static_cast<int>(values.size()));
                for (int i = 0; i < count; ++i) {
                    const auto targets = ResolvePropPath(*collection->Items(i), resolved.ItemPath);
                    for (const TPropTarget& target : targets)
                        if (target.Prop)
                            WriteProperty(*target.Object, *target.Prop, TrsKeyItem::OfString(values[static_cast<size_t>(i)]));
                }
                if (restoreCount)
                    while (collection->Count() > static_cast<int>(values.size()))
                        collection->Delete(collection->Count() - 1);
            } catch (...) {
                collection->EndUpdate();
                throw;
            }
            collection->EndUpdate();
            return;
        }
        if (resolved.Targets.size() != 1)
            return;
        if (!resolved.Targets[0].Prop) {  // a whole component
            TMemoryStream stream;
            ValueStream(value, line.KeyName, stream);
            ReadComponent(stream, dynamic_cast<TComponent&>(*resolved.Targets[0].Object), ReferencesAmongOpenForms());
            return;
        }
        WriteProperty(*resolved.Targets[0].Object, *resolved.Targets[0].Prop, value);
        return;
    }
    case TrsPropKind::Custom: {
        Resolved resolved;
        if (!custom_ || !Resolve(line.Path, resolved) || resolved.Targets.size() != 1)
            return;
        const TPropTarget& target = resolved.Targets[0];
        custom_->SetValue(*this, *target.Object, target.Prop ? target.Prop->Name : line.Path, value);
        return;
    }
    case TrsPropKind::User: OnSetUserProperty(this, line.KeyName, value); return;
    case TrsPropKind::None: return;
    }
}

void TrsPropSaver::LoadFromStorage() {
    const TRunScope run(*this, loading_, OnBeforeLoad, OnAfterLoad);
    TrsStorage* storage = Storage();
    if (!storage)
        return;
    storage->SetRootSection(RootSection);
    for (int i = 0; i < properties_.Count(); ++i) {
        const TrsProperty line = TrsProperty::Parse(properties_[i]);
        if (!line.Enabled || line.Direction == TrsPropDirection::Write)
            continue;
        TrsKeyItem value;
        if (storage->FindKey(line.KeyName, false))
            value = storage->Key().Value();
        else if (!line.Default.empty())
            value = TrsKeyItem::OfString(line.Default);
        else
            continue;
        try {
            LoadLine(line, value);
        } catch (const Exception&) {
            // A damaged value leaves its property as it was (a whole component keeps what was
            // read before the error, and is loaded all the same); the other lines still load.
        }
    }
    if (options_.Contains(poStoreFormPlacement) && storage->FindKey("FormPlacement", false)) {
        if (options_.Contains(poEncryptFormPlacement) && storage->Encryptor())
            storage->Encryptor()->DecipherKey(*storage, "FormPlacement");
        ApplyPlacementText(storage->ReadString("FormPlacement", ""));
    }
}

// ---- window placement ------------------------------------------------------------------

std::string TrsPropSaver::PlacementText() const {
    if (!form_ || !form_->HandleAllocated())
        return {};
    WINDOWPLACEMENT wp{};
    wp.length = sizeof(wp);
    if (!GetWindowPlacement(form_->WindowHandle(), &wp))
        return {};
    if (form_ == Application.MainForm() && IsIconic(Application.Handle()))
        wp.showCmd = SW_SHOWMINIMIZED;
    if ((GetWindowLongPtrA(form_->WindowHandle(), GWL_EXSTYLE) & WS_EX_MDICHILD) && IsIconic(form_->WindowHandle()))
        wp.flags |= WPF_SETMINPOSITION;
    return Format("%u,%u,%ld,%ld,%ld,%ld,%ld,%ld,%ld,%ld", wp.flags, wp.showCmd, wp.ptMinPosition.x, wp.ptMinPosition.y,
                  wp.ptMaxPosition.x, wp.ptMaxPosition.y, wp.rcNormalPosition.left, wp.rcNormalPosition.top,
                  wp.rcNormalPosition.right, wp.rcNormalPosition.bottom);
}

void TrsPropSaver::ApplyPlacementText(const std::string& text) {
    if (!form_)
        return;
    std::vector<long> fields;
    for (const std::string& field : Split(text, ',')) {
        int value;
        if (!TryStrToInt(Trim(field), value))
            return;
        fields.push_back(value);
    }
    if (fields.size() != 10)
        return;
    HWND window = form_->Handle();
    WINDOWPLACEMENT wp{};
    wp.length = sizeof(wp);
    if (!GetWindowPlacement(window, &wp))
        return;
    if (!IsWindowVisible(window))
        wp.showCmd = SW_HIDE;
    wp.flags = static_cast<UINT>(fields[0]) & (WPF_SETMINPOSITION | WPF_RESTORETOMAXIMIZED | WPF_ASYNCWINDOWPLACEMENT);
    wp.ptMinPosition = {fields[2], fields[3]};
    wp.ptMaxPosition = {fields[4], fields[5]};
    const int width = form_->Width(), height = form_->Height();
    if (placement_.Contains(pfpPlacement)) {
        wp.rcNormalPosition.left = fields[6];
        wp.rcNormalPosition.top = fields[7];
    } else {
        wp.rcNormalPosition.left = form_->Left();
        wp.rcNormalPosition.top = form_->Top();
    }
    if (placement_.Contains(pfpSize)) {
        wp.rcNormalPosition.right = wp.rcNormalPosition.left + (fields[8] - fields[6]);
        wp.rcNormalPosition.bottom = wp.rcNormalPosition.top + (fields[9] - fields[7]);
    } else {
        wp.rcNormalPosition.right = wp.rcNormalPosition.left + width;
        wp.rcNormalPosition.bottom = wp.rcNormalPosition.top + height;
    }
    // A stored rectangle of no size would make the window vanish.
    if (wp.rcNormalPosition.right <= wp.rcNormalPosition.left || wp.rcNormalPosition.bottom <= wp.rcNormalPosition.top)
        return;
    if (form_->Position() == poScreenCenter)
        form_->SetPosition(poDesigned);
    SetWindowPlacement(window, &wp);
    if (placement_.Contains(pfpState)) {
        switch (fields[1]) {
        case 2: case 6: case 7: form_->SetWindowState(wsMinimized); break;
        case 3: form_->SetWindowState(wsMaximized); break;
        default: form_->SetWindowState(wsNormal); break;
        }
    }
    form_->Realign();
}
