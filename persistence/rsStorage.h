#pragma once

// An in-memory tree of named sections holding named, typed keys. A back end fills it from
// a file and writes it back; clients read and write its keys.

#include "Classes.h"
#include "Event.h"
#include "StringList.h"
#include "Streams.h"
#include "rsUtils.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class TrsKeyKind : uint16_t { Empty, String, Binary, Integer, Float, Currency, DateTime, Boolean, Point, Int64 };

// A typed value. String and Binary keep their bytes in Text; Integer, Boolean, Int64 and
// Currency (times 10000) in Int; Float and DateTime (days since 1899-12-30) in Float.
struct TrsKeyItem {
    TrsKeyKind Kind = TrsKeyKind::Empty;
    std::string Text;
    int64_t Int = 0;
    double Float = 0;
    int32_t X = 0, Y = 0;

    static TrsKeyItem OfString(const std::string& s) { TrsKeyItem k; k.Kind = TrsKeyKind::String; k.Text = s; return k; }
    static TrsKeyItem OfBinary(const std::string& b) { TrsKeyItem k; k.Kind = TrsKeyKind::Binary; k.Text = b; return k; }
    static TrsKeyItem OfInteger(int32_t v) { TrsKeyItem k; k.Kind = TrsKeyKind::Integer; k.Int = v; return k; }
    static TrsKeyItem OfInt64(int64_t v) { TrsKeyItem k; k.Kind = TrsKeyKind::Int64; k.Int = v; return k; }
    static TrsKeyItem OfFloat(double v) { TrsKeyItem k; k.Kind = TrsKeyKind::Float; k.Float = v; return k; }
    static TrsKeyItem OfCurrency(int64_t scaled) { TrsKeyItem k; k.Kind = TrsKeyKind::Currency; k.Int = scaled; return k; }
    static TrsKeyItem OfDateTime(double v) { TrsKeyItem k; k.Kind = TrsKeyKind::DateTime; k.Float = v; return k; }
    static TrsKeyItem OfBoolean(bool v) { TrsKeyItem k; k.Kind = TrsKeyKind::Boolean; k.Int = v ? 1 : 0; return k; }
    static TrsKeyItem OfPoint(int32_t x, int32_t y) { TrsKeyItem k; k.Kind = TrsKeyKind::Point; k.X = x; k.Y = y; return k; }
    bool Assigned() const { return Kind != TrsKeyKind::Empty; }
};

// Conversions of a value; keyName names the key in the error raised for an unconvertible kind.
double KeyItemAsFloat(const TrsKeyItem& item, const std::string& keyName);
int64_t KeyItemAsInt64(const TrsKeyItem& item, const std::string& keyName);
int32_t KeyItemAsInteger(const TrsKeyItem& item, const std::string& keyName);
std::string KeyItemAsString(const TrsKeyItem& item, const std::string& keyName);

// Locale text of dates and amounts, shared with the settings file.
std::string DateTimeToText(double value);
// False when the text is no date in the locale's order.
bool TextToDateTime(const std::string& text, double& value);
std::string CurrencyToText(int64_t scaled);
bool TextToCurrency(const std::string& text, int64_t& scaled);

// "Form.Component": the component of that name on the open form or data module named
// exactly Form; null when there is none.
TComponent* FindFormComponent(const std::string& text);

class TrsStorage;
class TrsStorageClient;
class TrsEncryptor;

enum TrsStorageOption { soSaveOnClose, soSaveEmptySection };
using TrsStorageOptions = TSet<TrsStorageOption>;
using TrsStorageKeyEvent = TEvent<void(TObject* Sender, const std::string& Key)>;
using TrsStorageDataProgressEvent = TEvent<void(TObject* Sender, int Percent)>;

enum TrsNotifyKind : int {
    rnCleared = 1,
    rnLoaded = 2,
    rnSectionCreated = 3,
    rnSectionCleared = 6,
    rnRootChanged = 7,
    rnKeyAdded = 8,
    rnKeyDeleted = 9,
    rnKindCount = 12,
};

// The clients of a storage by notification kind.
class TrsClientList : public TObject {
public:
    void Add(TrsStorageClient* client);
    void Remove(TrsStorageClient* client);
    void Notify(int kind, const std::string& argument);
    bool Suspended = false;

private:
    std::vector<TrsStorageClient*> kinds_[rnKindCount];
};

// The current key of a storage, read with conversions.
class TrsKeyWrapper : public TObject {
public:
    explicit TrsKeyWrapper(TrsStorage& storage) : storage_(storage) {}
    bool Valid() const;
    const TrsKeyItem& Value() const;
    std::string FullName() const;
    double AsFloat() const { return KeyItemAsFloat(Value(), FullName()); }
    int64_t AsInt64() const { return KeyItemAsInt64(Value(), FullName()); }
    int32_t AsInteger() const { return KeyItemAsInteger(Value(), FullName()); }
    std::string AsString() const { return KeyItemAsString(Value(), FullName()); }
    // Empty and point kinds read as unassigned.
    TrsKeyItem AsVariant() const;

    // The component's properties (and its components'), written with the component writer
    // into the current key as a binary value; read back into it; or a component of the
    // class the value names, made with owner. Reading raises for a key of another kind.
    void WriteComponent(const TComponent& component);
    void ReadComponent(TComponent& component);
    TComponent* ReadNewComponent(TComponent* owner);
    // The scratch stream those use, freed when the storage is deactivated.
    bool HasScratch() const { return scratch_ != nullptr; }
    void FreeScratch() { scratch_.reset(); }

private:
    // The current key's binary value in the scratch stream, at its start.
    TMemoryStream& ValueStream();
    TMemoryStream& Scratch();

    TrsStorage& storage_;
    std::unique_ptr<TMemoryStream> scratch_;
};

class TrsSectionWrapper : public TObject {
public:
    explicit TrsSectionWrapper(TrsStorage& storage) : storage_(storage) {}
    TrsStorage& Storage() const { return storage_; }

private:
    TrsStorage& storage_;
};

// The back end that fills a storage and writes it back.
class TrsStorageData : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TrsStorageData(TComponent* owner) : TComponent(owner) {}
    ~TrsStorageData() override;
    void BeforeDestruction() override;

    virtual void DoProgress();
    virtual void LoadData() {}
    virtual void SaveData() {}

    // The storage being loaded or saved; null outside a run.
    TrsStorage* CurrentStorage() const { return current_; }
    void SetProgressTotal(int total) { total_ = total; }
    void ResetProgress() { done_ = 0; total_ = 0; lastPercent_ = -1; }

    TNotifyEvent OnBeforeLoad, OnAfterLoad, OnBeforeSave, OnAfterSave;
    TrsStorageDataProgressEvent OnProgress;

private:
    friend class TrsStorage;
    std::vector<TrsStorage*> storages_;
    TrsStorage* current_ = nullptr;
    int total_ = 0;
    int done_ = 0;
    int lastPercent_ = -1;
};

// Reads and writes keys of a storage; hears its notifications.
class TrsStorageClient : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TrsStorageClient(TComponent* owner) : TComponent(owner) {}
    ~TrsStorageClient() override;

    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool value) { enabled_ = value; }
    TrsStorage* Storage() const { return storage_; }
    virtual void SetStorage(TrsStorage* storage);
    virtual void Notify(int /*kind*/, const std::string& /*argument*/) {}
    // The notification kinds this client hears (bit n = kind n).
    uint32_t NotifyKinds = 0;

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    TrsStorage* storage_ = nullptr;
    bool enabled_ = true;
};

// An extension point for enciphering keys; descendants supply the cipher.
class TrsEncryptor : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TrsEncryptor(TComponent* owner);

    bool Active = true;
    bool EncryptAll = false;
    TStringList& EncryptKeys() { return encryptKeys_; }
    TStringList* EncryptKeysObject() const { return const_cast<TStringList*>(&encryptKeys_); }

    // The cipher: transforms in place; sizes for a given length. -1: no cipher.
    virtual int Encipher(unsigned char* /*buffer*/, int /*length*/) { return -1; }
    virtual int Decipher(unsigned char* /*buffer*/, int /*length*/) { return -1; }
    virtual int EncipheredSize(int /*length*/) { return -1; }
    virtual int DecipheredSize(int /*length*/) { return -1; }

    // Before a save / after a save or load.
    virtual void EncipherStorage(TrsStorage& storage);
    virtual void DecipherStorage(TrsStorage& storage);
    // One key in place: its kind and bytes enciphered, kept as binary for a binary key and
    // as Base64 text otherwise.
    virtual bool EncipherKey(TrsStorage& storage, const std::string& path);
    virtual bool DecipherKey(TrsStorage& storage, const std::string& path);
    // A section's subtree (the root's for an empty path) as one enciphered binary key in the
    // emptied section.
    virtual bool EncipherSection(TrsStorage& storage, const std::string& path);
    virtual bool DecipherSection(TrsStorage& storage, const std::string& path);
    // The key that holds an enciphered subtree.
    static constexpr const char* kSectionKey = "rsEncipheredSection";
    // True when text enciphers to what the key holds.
    virtual bool CheckValue(TrsStorage& storage, const std::string& path, const std::string& text);

private:
    bool HasCipher() { return EncipheredSize(1) >= 0; }
    std::string Transform(const std::string& bytes, bool encipher);
    TStringList encryptKeys_;
};

class TrsStorage : public TComponent {
    DECLARE_CLASS_INFO()

public:
    struct SectionRec {
        std::string Name;
        uint32_t Id;
        uint32_t ParentId;
    };
    struct KeyRec {
        std::string Name;
        uint32_t SectionId;
        TrsKeyItem Value;
    };

    explicit TrsStorage(TComponent* owner);
    ~TrsStorage() override;
    void BeforeDestruction() override;
    void Loaded() override;

    bool Active() const { return active_; }
    void SetActive(bool value);
    TrsStorageData* StorageData() const { return data_; }
    void SetStorageData(TrsStorageData* data);
    TrsEncryptor* Encryptor() const { return encryptor_; }
    void SetEncryptor(TrsEncryptor* encryptor);
    const std::string& RootSection() const { return rootPath_; }
    void SetRootSection(const std::string& path);
    TrsStorageOptions Options = {soSaveOnClose};

    // The longest section or key name: the binary layout gives a name one length byte.
    static constexpr size_t MaxNameLength = 255;
    // True when no section or key name in path is longer than MaxNameLength.
    static bool NamesFit(const std::string& path);

    TNotifyEvent OnBeforeLoad, OnAfterLoad, OnBeforeSave, OnAfterSave;
    TrsStorageKeyEvent OnKeyAdd, OnKeyDeletion;

    // Loads (clearing first) or saves through the back end.
    void Load();
    void Save();

    bool KeyExists(const std::string& path);
    bool SectionExists(const std::string& path);
    // Makes the key current (see Key()); false when it is missing or the path is bad.
    bool FindKey(const std::string& path, bool create);
    TrsKeyWrapper& Key() { return keyWrapper_; }

    std::string ReadString(const std::string& path, const std::string& fallback);
    void WriteValue(const std::string& path, const TrsKeyItem& value);
    void WriteInteger(const std::string& path, int32_t value) { WriteValue(path, TrsKeyItem::OfInteger(value)); }
    void WriteInt64(const std::string& path, int64_t value) { WriteValue(path, TrsKeyItem::OfInt64(value)); }
    void WriteFloat(const std::string& path, double value) { WriteValue(path, TrsKeyItem::OfFloat(value)); }
    void WriteString(const std::string& path, const std::string& value) { WriteValue(path, TrsKeyItem::OfString(value)); }
    void WriteBoolean(const std::string& path, bool value) { WriteValue(path, TrsKeyItem::OfBoolean(value)); }
    void WritePoint(const std::string& path, int32_t x, int32_t y) { WriteValue(path, TrsKeyItem::OfPoint(x, y)); }
    void WriteBinary(const std::string& path, const void* buffer, size_t length);
    void WriteStream(const std::string& path, TStream& stream);
    // String and binary keys only; the number of bytes written.
    int64_t ReadStream(const std::string& path, TStream& stream);

    void DeleteKey(const std::string& path);
    void DeleteSection(const std::string& path);
    // The current root section's children and keys go; the section stays.
    void ClearSection();
    void Clear();

    // The binary layout of a subtree: the current root section's, or the one at path.
    void SaveSectionToStream(TStream& stream, const std::string& path = "");
    // Loads into the current root section, clearing it first.
    void LoadSectionFromStream(TStream& stream);

    // The tables, for back ends.
    const std::vector<SectionRec>& Sections() const { return sections_; }
    const std::vector<KeyRec>& Keys() const { return keys_; }
    std::string SectionPath(uint32_t id) const;
    std::string KeyFullName(int keyIndex) const;
    void Reserve(size_t sections, size_t keys);
    TrsClientList& Clients() { return clients_; }

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class TrsKeyWrapper;
    enum class StartAt { Auto, Top, Current };
    // Index of the section (-1 the root), or -2 when it cannot be resolved.
    int ResolveSection(const std::string& path, bool create, StartAt start);
    uint32_t IdOfSection(int index) const { return index < 0 ? 0 : sections_[static_cast<size_t>(index)].Id; }
    int IndexOfSectionId(uint32_t id) const;
    // Index of the key, or -1.
    int FindKeyIndex(const std::string& path, bool create);
    void DeleteKeyAt(size_t index);
    void DeleteSectionTree(uint32_t id, bool self);
    void WriteTree(TStream& stream, uint32_t id);
    void ReadTree(TStream& stream, uint32_t id, const std::string& path, int depth);
    void Deactivate();

    std::vector<SectionRec> sections_;
    std::vector<KeyRec> keys_;
    uint32_t counter_ = 0;
    uint32_t rootId_ = 0;
    std::string rootPath_;
    // The last section path resolved and the last key found.
    std::string cachedPath_;
    uint32_t cachedSectionId_ = 0;
    uint32_t cachedRootId_ = 0;
    bool cachedSectionValid_ = false;
    int currentKey_ = -1;
    bool active_ = false;
    bool activeWish_ = false;
    TrsStorageData* data_ = nullptr;
    TrsEncryptor* encryptor_ = nullptr;
    TrsClientList clients_;
    TrsKeyWrapper keyWrapper_{*this};
    TrsSectionWrapper sectionWrapper_{*this};
};

template <>
struct TEnumTraits<TrsStorageOption> {
    static constexpr const char* Names[] = {"soSaveOnClose", "soSaveEmptySection"};
};
