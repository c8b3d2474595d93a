#pragma once

// Form streams: the binary property-list layout that describes an object, its
// properties and its child objects, as tools/formconv.py writes it.
//
//   stream     = "TPF0" object
//   object     = shortstr(class) shortstr(name) property* 0 object* 0
//   property   = shortstr(name, dotted allowed) value
//   value      = type byte, then the bytes the type calls for (TFormValueType)
//   shortstr   = 1 length byte, then the characters
//
// Two layers: ParseForm turns bytes into a TFormObject tree anyone can walk (it
// touches no component, so damaged input never half-fills one); ReadComponent
// applies a tree to a root component through the published property tables and
// the class registry, with the loading protocol. Every read checks the bytes
// left, and nesting is capped at kFormStreamMaxNesting.

#include "Classes.h"
#include "Streams.h"
#include "TypInfo.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

// Damaged or truncated form data. Offset counts from the start of the parsed bytes.
class EFormStreamError : public EReadError {
public:
    EFormStreamError(std::string message, size_t offset) : EReadError(std::move(message)), Offset(offset) {}
    size_t Offset;
};

// The type byte before each value. All numbers are little-endian.
enum class TFormValueType : uint8_t {
    Null = 0,         // ends a list or a collection
    List = 1,         // values until Null
    Int8 = 2,
    Int16 = 3,
    Int32 = 4,
    Extended = 5,     // 10-byte x87 float
    String = 6,       // 1 length byte
    Ident = 7,        // short string: enumeration names, events, component references
    False = 8,
    True = 9,
    Binary = 10,      // 4-byte length
    Set = 11,         // short strings until an empty one
    LString = 12,     // 4-byte length
    Nil = 13,
    Collection = 14,  // items until Null: [Int8|Int16|Int32 order] List property* 0
    Single = 15,      // 4-byte float
    Currency = 16,    // 8-byte integer, value * 10000
    Date = 17,        // 8-byte double
    WString = 18,     // 4-byte length in UTF-16 units
    Int64 = 19,
    UTF8String = 20,  // 4-byte length
};

inline constexpr uint8_t kMaxFormValueType = 20;
inline constexpr int kFormStreamMaxNesting = 64;

struct TFormValue;
struct TFormProperty;
struct TFormCollectionItem;

struct TFormValue {
    TFormValueType Type = TFormValueType::Null;
    int64_t Int = 0;     // integers; False/True as 0/1; Currency unscaled (value * 10000)
    double Float = 0;    // Extended, Single, Date
    std::string Text;    // strings and identifiers (WString as UTF-8), Binary's bytes
    std::vector<std::string> Elements;       // Set
    std::vector<TFormValue> List;            // List
    std::vector<TFormCollectionItem> Items;  // Collection

    bool IsInteger() const;  // Int8, Int16, Int32, Int64
    bool IsString() const;   // String, LString, WString, UTF8String
    // A string's text in the ANSI code page, as 8-bit properties hold it.
    std::string AnsiText() const;
};

struct TFormProperty {
    std::string Name;
    TFormValue Value;
};

struct TFormCollectionItem {
    bool HasOrder = false;
    int64_t Order = 0;
    std::vector<TFormProperty> Properties;
};

struct TFormObject {
    std::string ClassName;
    std::string Name;
    std::vector<TFormProperty> Properties;
    std::vector<TFormObject> Children;

    // The first property of that name (case-insensitive), or null.
    const TFormProperty* FindProperty(const std::string& name) const;
};

// Values a class keeps in a form stream beside its published properties: a string list's
// lines ("Strings"), a graphic's bytes ("Data"), a file storage's data. The class names each
// one on the filer in TPersistent::DefineProperties, with a reader and a writer; a null reader
// or writer leaves that direction out. Reading, a name that is no published property goes to
// the reader defined under it (case-insensitive; the first definition wins). Writing, every
// value whose hasData is true follows the published properties, in the order defined.
// Writing calls DefineProperties of a const object: writers only look.
class TFiler {
public:
    using TValueReader = std::function<void(const TFormValue& value)>;
    using TValueWriter = std::function<TFormValue()>;
    // The stream holds the value's bytes and nothing else, from position 0.
    using TStreamProc = std::function<void(TStream& stream)>;

    TFiler() = default;
    TFiler(const TFiler&) = delete;
    TFiler& operator=(const TFiler&) = delete;
    virtual ~TFiler() = default;

    // A value of any type; the reader checks the one it gets.
    virtual void DefineProperty(const std::string& name, const TValueReader& reader, const TValueWriter& writer,
                                bool hasData) = 0;
    // A binary value; any other type is refused before the reader runs.
    virtual void DefineBinaryProperty(const std::string& name, const TStreamProc& reader, const TStreamProc& writer,
                                      bool hasData) = 0;

protected:
    void DefineOf(TPersistent& object) { object.DefineProperties(*this); }
};

// A bounded cursor over form-stream bytes, for readers that walk the layout
// themselves. Every read raises EFormStreamError rather than pass the end.
class TFormReader {
public:
    explicit TFormReader(std::span<const unsigned char> data) : data_(data) {}

    size_t Position() const { return position_; }
    size_t Remaining() const { return data_.size() - position_; }

    uint8_t ReadByte();
    uint8_t PeekByte() const;
    std::string ReadShortString();
    // Raises unless the next four bytes are "TPF0".
    void ReadSignature();
    // A type byte in 0..kMaxFormValueType.
    TFormValueType ReadValueType();
    // The value that follows a type byte already read; Null is refused.
    TFormValue ReadValue(TFormValueType type);
    TFormValue ReadValue() { return ReadValue(ReadValueType()); }
    // Properties up to and including the empty name that ends them.
    std::vector<TFormProperty> ReadProperties();
    // Class, name, properties and children.
    TFormObject ReadObject();

    [[noreturn]] void Fail(const std::string& what) const;

private:
    class TNesting;
    void Need(uint64_t count) const;
    uint64_t ReadUnsigned(int bytes);
    std::string ReadChars(uint64_t count);

    std::span<const unsigned char> data_;
    size_t position_ = 0;
    int depth_ = 0;
};

// "TPF0" and one object. Bytes after the object are not looked at.
TFormObject ParseForm(std::span<const unsigned char> data);
// The same from the stream's position on; the position ends just after the object.
TFormObject ParseForm(TStream& stream);

// How ReadComponent treats what the property tables cannot handle alone.
struct TFormReadOptions {
    // Binds the handler called name to the method property prop of target
    // (BindEvent helps); false when the root has no such handler.
    std::function<bool(TObject& target, const TPropInfo& prop, const std::string& name)> FindMethod;
    // Gives a nested child its container (the object it appears in; the root for
    // top-level children) before its properties are read.
    std::function<void(TComponent& child, TComponent& container)> SetParent;
    // Takes a value of a name that is not a published property (lists, binary
    // data); false when it does not know the name either.
    std::function<bool(TObject& target, const TFormProperty& property)> ReadExtraProperty;
    // Unknown property names raise an error unless this is set.
    bool IgnoreUnknownProperties = false;
    // Finds a component reference that is neither the root, one of its components nor,
    // as "Owner.Name", a component of the root's owner; null when there is none.
    std::function<TComponent*(const std::string& name)> FindReference;
};

// Fills root from the stream's position on: its properties, then its child objects,
// each made by class name with root as owner unless root already owns a component
// of that name (that one is filled). Every object filled is marked loading before
// its properties; a name that is no published property goes to the values the object
// defines (TFiler), also under a dotted path ("Lines.Strings", "Icon.Data"), then to
// ReadExtraProperty; component references are resolved after the whole stream, then
// Loaded() runs on each in creation order, root first. Raises EFormStreamError for
// damaged input (before anything is touched), EClassNotFound for unknown classes,
// EPropertyError for unknown or unsettable properties and EReadError for references
// that cannot be found. A failed read keeps what it read before the error (the
// references that can be found are set) and the objects made so far, owned by root,
// and still runs Loaded() on every object it marked loading; then it raises the
// first error.
void ReadComponent(TStream& stream, TComponent& root, const TFormReadOptions& options = {});
void ReadComponent(const TFormObject& form, TComponent& root, const TFormReadOptions& options = {});

// Fills object, a persistent object that is no component, from what WritePersistent
// wrote: the stream's class must be object's class or one of its ancestors.
void ReadPersistent(TStream& stream, TPersistent& object, const TFormReadOptions& options = {});
// Reads a component of the class the stream names, made with owner as its owner and
// filled as ReadComponent fills a root. Raises EClassNotFound for an unknown class.
TComponent* ReadNewComponent(TStream& stream, TComponent* owner, const TFormReadOptions& options = {});

// ---- writing: the inverse of the reader, in the same layout ---------------------------

// Appends form-stream bytes to a buffer, each value in the smallest type that holds it.
class TFormWriter {
public:
    void WriteSignature() { bytes_ += "TPF0"; }
    void WriteShortString(const std::string& text);
    void WriteValue(const TFormValue& value);
    // Properties and the empty name that ends them.
    void WriteProperties(const std::vector<TFormProperty>& properties);
    void WriteObject(const TFormObject& object);
    const std::string& Bytes() const { return bytes_; }

private:
    void WriteUnsigned(uint64_t value, int bytes);
    std::string bytes_;
};

// "TPF0" and one object, as ParseForm reads it back.
std::string FormBytes(const TFormObject& object);

// The stored published properties of object that differ from their defaults, as the
// reader sets them: persistent sub-objects' properties under dotted names ("Font.Color"),
// the values each object defines (TFiler) after its properties ("Lines.Strings"),
// collections as collection values, component references by name (a component that is
// neither lookupRoot nor one of its components as "Owner.Name"), nothing for a nil
// reference. Events are left out: a handler keeps no name to write.
std::vector<TFormProperty> DescribeProperties(const TObject& object, const TComponent* lookupRoot);
// The component's class, name and properties, and the named components it owns as children:
// each inside the object of its parent component (GetParentComponent) when that one is among
// them, as the reader's SetParent hook gives containers back.
TFormObject DescribeComponent(const TComponent& root);

// Writes "TPF0" and the component from the stream's position on.
void WriteComponent(TStream& stream, const TComponent& root);
// Writes a persistent object that is no component: its class, an empty name, its
// properties and no children.
void WritePersistent(TStream& stream, const TPersistent& object);

// Stores handler in the method property prop of target when the property is an E;
// returns whether it was.
template <class E>
bool BindEvent(TObject& target, const TPropInfo& prop, const E& handler) {
    if (prop.Kind != TTypeKind::Method || !prop.EventType || *prop.EventType != typeid(E))
        return false;
    *static_cast<E*>(prop.EventAddress(target)) = handler;
    return true;
}
