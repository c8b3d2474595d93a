#pragma once

// Copies listed published properties of a form (and of components on it) into keys of a
// storage and back, remembers the form's window placement, and hooks the form's events so
// that both happen by themselves.

#include "Forms.h"
#include "StringList.h"
#include "rsStorage.h"

#include <string>
#include <vector>

enum TrsPropSaverOption { poStoreFormPlacement, poStoreDefValues, poEncryptFormPlacement, poNotRestoreCollectionItemsCount };
using TrsPropSaverOptions = TSet<TrsPropSaverOption>;
enum TrsPropSaverFormPlacement { pfpPlacement, pfpSize, pfpState };
using TrsPropSaverFormPlacements = TSet<TrsPropSaverFormPlacement>;
enum TrsPropSaverLoad { wlManual, wlOnActivate, wlOnCreate, wlOnShow };
enum TrsPropSaverSave { wsManual, wsOnClose, wsOnDeactivate, wsOnDestroy, wsOnHide };

using TrsPropertyEvent = TEvent<void(TObject* Sender, TObject* Instance, const std::string& PropName, TrsKeyItem& Value, bool& Allow)>;
using TrsUserPropertyEvent = TEvent<void(TObject* Sender, const std::string& PropName, TrsKeyItem& Value)>;

class TrsPropSaver;

// Supplies values of custom property lines; the base keeps nothing.
class TrsAddInProperties : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TrsAddInProperties(TComponent* owner) : TComponent(owner) {}
    virtual TrsKeyItem GetValue(TrsPropSaver& /*saver*/, TObject& /*instance*/, const std::string& /*propName*/) { return {}; }
    virtual void SetValue(TrsPropSaver& /*saver*/, TObject& /*instance*/, const std::string& /*propName*/, const TrsKeyItem& /*value*/) {}
};

enum class TrsPropKind : char { Published = 'P', Custom = 'C', User = 'U', None = 'V' };
enum class TrsPropDirection : char { Both = 'D', Read = 'R', Write = 'W' };

// One parsed property line.
struct TrsProperty {
    std::string Path;
    std::string KeyName;
    std::string Default;
    bool Enabled = true;
    TrsPropKind Kind = TrsPropKind::Published;
    TrsPropDirection Direction = TrsPropDirection::Both;
    bool Encipher = false;

    static TrsProperty Parse(const std::string& line);
};

class TrsPropSaver : public TrsStorageClient {
    DECLARE_CLASS_INFO()

public:
    explicit TrsPropSaver(TComponent* owner);
    ~TrsPropSaver() override;
    void BeforeDestruction() override;
    void Loaded() override;

    bool Active = true;
    std::string RootSection;
    TStringList& Properties() { return properties_; }
    TStringList* PropertiesObject() const { return const_cast<TStringList*>(&properties_); }
    TrsPropSaverOptions Options() const { return options_; }
    void SetOptions(TrsPropSaverOptions options);
    TrsPropSaverFormPlacements FormPlacementOptions() const { return placement_; }
    void SetFormPlacementOptions(TrsPropSaverFormPlacements placement);
    TrsPropSaverLoad WhenLoad() const { return whenLoad_; }
    void SetWhenLoad(TrsPropSaverLoad value);
    TrsPropSaverSave WhenSave() const { return whenSave_; }
    void SetWhenSave(TrsPropSaverSave value);
    TrsAddInProperties* CustomProperties() const { return custom_; }
    void SetCustomProperties(TrsAddInProperties* custom);

    TNotifyEvent OnBeforeLoad, OnAfterLoad, OnBeforeSave, OnAfterSave;
    TrsPropertyEvent OnGetProperty, OnSetProperty;
    TrsUserPropertyEvent OnGetUserProperty, OnSetUserProperty;

    void SaveToStorage();
    void LoadFromStorage();
    bool Saving() const { return saving_; }
    bool Loading() const { return loading_; }

    // The ten numbers of the owner form's window placement; empty without a form window.
    std::string PlacementText() const;
    // Applies a placement text of exactly ten fields; others are ignored.
    void ApplyPlacementText(const std::string& text);
    // The root section with a leading and a trailing "\"; "\" when empty.
    std::string NormalizedRoot() const;

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    struct Resolved {
        std::vector<TPropTarget> Targets;
        TCollection* Collection = nullptr;  // the path runs through every item of this
        std::string ItemPath;
    };
    bool Resolve(const std::string& path, Resolved& out) const;
    bool ReadProperty(TObject& object, const TPropInfo& prop, TrsKeyItem& value) const;
    void WriteProperty(TObject& object, const TPropInfo& prop, const TrsKeyItem& value);
    bool SaveLine(const TrsProperty& line, TrsKeyItem& value);
    void LoadLine(const TrsProperty& line, const TrsKeyItem& value);
    void RegisterEncrypted(const std::string& keyName);
    void InstallLoadHook();
    void InstallSaveHook();
    void RemoveLoadHook();
    void RemoveSaveHook();
    void GuardedLoad();
    void GuardedSave();

    // The nearest owner up the chain that is a form or a data module; form_ when a form.
    TComponent* root_ = nullptr;
    TCustomForm* form_ = nullptr;
    TStringList properties_;
    TrsPropSaverOptions options_ = {poStoreFormPlacement, poStoreDefValues};
    TrsPropSaverFormPlacements placement_ = {pfpPlacement, pfpSize, pfpState};
    TrsPropSaverLoad whenLoad_ = wlManual;
    TrsPropSaverSave whenSave_ = wsManual;
    bool loadHooked_ = false;
    bool saveHooked_ = false;
    TrsAddInProperties* custom_ = nullptr;
    bool saving_ = false;
    bool loading_ = false;
    // The owner's events the hooks took over (a dying owner's type no longer tells which) and
    // the handlers they replaced.
    TNotifyEvent* loadEvent_ = nullptr;
    TNotifyEvent* saveEvent_ = nullptr;
    TNotifyEvent previousLoad_;
    TNotifyEvent previousSave_;
    TCloseEvent previousClose_;
};

template <>
struct TEnumTraits<TrsPropSaverOption> {
    static constexpr const char* Names[] = {"poStoreFormPlacement", "poStoreDefValues", "poEncryptFormPlacement",
                                            "poNotRestoreCollectionItemsCount"};
};
template <>
struct TEnumTraits<TrsPropSaverFormPlacement> {
    static constexpr const char* Names[] = {"pfpPlacement", "pfpSize", "pfpState"};
};
template <>
struct TEnumTraits<TrsPropSaverLoad> {
    static constexpr const char* Names[] = {"wlManual", "wlOnActivate", "wlOnCreate", "wlOnShow"};
};
template <>
struct TEnumTraits<TrsPropSaverSave> {
    static constexpr const char* Names[] = {"wsManual", "wsOnClose", "wsOnDeactivate", "wsOnDestroy", "wsOnHide"};
};
