#pragma once

// Published properties: each class lists its properties in a constant table of
// TPropInfo beside the class; lookups walk the parent chain and ignore case.
//
//   const TClassInfo& TPanel::StaticClassInfo() {
//       static const TPropInfo props[] = {
//           Prop<&TPanel::Caption, &TPanel::SetCaption>("Caption"),
//           Prop<&TPanel::BevelWidth, &TPanel::SetBevelWidth>("BevelWidth").WithDefault(1),
//           Prop<&TPanel::OnResize>("OnResize"),   // an event field
//       };
//       static const TClassInfo info = MakeClassInfo<TPanel, TCustomControl>("TPanel", props);
//       return info;
//   }
//
// The kind of a property follows from its C++ type: integral -> Integer, char -> Char,
// bool -> Boolean, int64_t -> Int64, floating -> Float, std::string -> String,
// a TObject-derived pointer -> Class, TEvent<...> -> Method, an enum with TEnumTraits
// -> Enumeration, TSet<E> -> Set, and types with a TPropKindOverride (TColor) -> that kind.

#include "Event.h"
#include "Object.h"
#include "SysUtils.h"

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <variant>

class TComponent;

class EPropertyError : public Exception {
    using Exception::Exception;
};

enum class TTypeKind : uint8_t {
    Integer,
    Char,
    Enumeration,
    Boolean,
    Set,
    Float,
    String,
    Int64,
    Class,
    Method,
    Colour,
};

// Names of an enumeration's values in ordinal order, starting at 0.
// Specialise: template <> struct TEnumTraits<TAlign> { static constexpr const char* Names[] = {...}; };
template <class E>
struct TEnumTraits;

// Lets a type choose its kind, e.g. TColor (an enum) is a Colour, and optionally its
// text forms: static std::string ToText(int64_t); static bool FromText(const std::string&, int64_t&).
template <class T>
struct TPropKindOverride;

// A set of enumeration values stored as bits: bit n is the value with ordinal n.
template <class E>
class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> values) {
        for (E value : values)
            bits_ |= Bit(value);
    }
    static constexpr TSet FromBits(uint32_t bits) {
        TSet set;
        set.bits_ = bits;
        return set;
    }
    constexpr uint32_t Bits() const { return bits_; }
    constexpr bool Contains(E value) const { return bits_ & Bit(value); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TSet& Include(E value) { bits_ |= Bit(value); return *this; }
    constexpr TSet& Exclude(E value) { bits_ &= ~Bit(value); return *this; }
    constexpr TSet operator|(TSet other) const { return FromBits(bits_ | other.bits_); }
    constexpr TSet operator&(TSet other) const { return FromBits(bits_ & other.bits_); }
    constexpr TSet operator-(TSet other) const { return FromBits(bits_ & ~other.bits_); }
    constexpr bool operator==(const TSet&) const = default;

private:
    static constexpr uint32_t Bit(E value) { return uint32_t(1) << static_cast<unsigned>(value); }
    uint32_t bits_ = 0;
};

// Ordinal kinds travel as int64_t, Float as double, Class as TObject*.
using TPropValue = std::variant<std::monostate, int64_t, double, std::string, TObject*>;

struct TPropInfo {
    const char* Name = "";
    TTypeKind Kind = TTypeKind::Integer;
    std::span<const char* const> EnumNames;           // Enumeration values or Set elements
    const TClassInfo& (*PropClass)() = nullptr;       // Class: the class referred to
    TPropValue (*Get)(const TObject&) = nullptr;
    void (*Set)(TObject&, const TPropValue&) = nullptr;  // null: read-only
    void* (*EventAddress)(TObject&) = nullptr;        // Method: the TEvent field
    const std::type_info* EventType = nullptr;        // Method: typeid of that TEvent
    std::string (*OrdinalToText)(int64_t) = nullptr;  // text forms of an overriding type
    bool (*TextToOrdinal)(const std::string&, int64_t&) = nullptr;
    int64_t Default = 0;
    bool HasDefault = false;
    bool (*IsStored)(const TObject&) = nullptr;       // null: always stored
    bool NeverStored = false;

    TPropInfo WithDefault(int64_t value) const {
        TPropInfo copy = *this;
        copy.Default = value;
        copy.HasDefault = true;
        return copy;
    }
    TPropInfo NotStored() const {
        TPropInfo copy = *this;
        copy.NeverStored = true;
        return copy;
    }
    template <auto Predicate>
    TPropInfo StoredIf() const;

    bool Writable() const { return Set != nullptr || EventAddress != nullptr; }
    bool Stored(const TObject& instance) const {
        return !NeverStored && (!IsStored || IsStored(instance));
    }
};

struct TClassInfo {
    const char* Name = "";
    const TClassInfo* Parent = nullptr;
    std::span<const TPropInfo> Props;
    // Creates an instance owned by owner; null for classes not made by name.
    TComponent* (*Create)(TComponent* owner) = nullptr;

    bool InheritsFrom(const TClassInfo& other) const;
    // Case-insensitive, own properties first, then the parents'.
    const TPropInfo* FindProp(const std::string& name) const;
    // Every property, the root class's first.
    std::vector<const TPropInfo*> AllProps() const;
};

// ---- building tables ----------------------------------------------------------------

namespace typinfo_detail {

template <class T>
struct IsEvent : std::false_type {};
template <class Sig>
struct IsEvent<TEvent<Sig>> : std::true_type {};

template <class T>
struct IsSet : std::false_type {};
template <class E>
struct IsSet<TSet<E>> : std::true_type {
    using Element = E;
};

template <class T, class = void>
struct HasKindOverride : std::false_type {};
template <class T>
struct HasKindOverride<T, std::void_t<decltype(TPropKindOverride<T>::Kind)>> : std::true_type {};

template <class T, class = void>
struct HasTextForms : std::false_type {};
template <class T>
struct HasTextForms<T, std::void_t<decltype(&TPropKindOverride<T>::ToText), decltype(&TPropKindOverride<T>::FromText)>>
    : std::true_type {};

template <class T>
constexpr TTypeKind KindOf() {
    if constexpr (HasKindOverride<T>::value)
        return TPropKindOverride<T>::Kind;
    else if constexpr (std::is_same_v<T, bool>)
        return TTypeKind::Boolean;
    else if constexpr (std::is_same_v<T, char>)
        return TTypeKind::Char;
    else if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, uint64_t>)
        return TTypeKind::Int64;
    else if constexpr (std::is_integral_v<T>)
        return TTypeKind::Integer;
    else if constexpr (std::is_floating_point_v<T>)
        return TTypeKind::Float;
    else if constexpr (std::is_same_v<T, std::string>)
        return TTypeKind::String;
    else if constexpr (std::is_enum_v<T>)
        return TTypeKind::Enumeration;
    else if constexpr (IsSet<T>::value)
        return TTypeKind::Set;
    else if constexpr (std::is_pointer_v<T> && std::is_base_of_v<TObject, std::remove_cv_t<std::remove_pointer_t<T>>>)
        return TTypeKind::Class;
    else if constexpr (IsEvent<T>::value)
        return TTypeKind::Method;
    else
        static_assert(sizeof(T) == 0, "no property kind for this type");
}

template <class T>
TPropValue ToValue(const T& value) {
    if constexpr (std::is_same_v<T, std::string>)
        return value;
    else if constexpr (std::is_floating_point_v<T>)
        return static_cast<double>(value);
    else if constexpr (std::is_pointer_v<T>)
        return static_cast<TObject*>(const_cast<std::remove_cv_t<std::remove_pointer_t<T>>*>(value));
    else if constexpr (IsSet<T>::value)
        return static_cast<int64_t>(value.Bits());
    else
        return static_cast<int64_t>(value);
}

// Values of another alternative are refused with EPropertyError.
[[noreturn]] void WrongValue(const char* expected);

template <class T>
T FromValue(const TPropValue& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        if (auto text = std::get_if<std::string>(&value))
            return *text;
        WrongValue("a string");
    } else if constexpr (std::is_floating_point_v<T>) {
        if (auto number = std::get_if<double>(&value))
            return static_cast<T>(*number);
        if (auto ordinal = std::get_if<int64_t>(&value))
            return static_cast<T>(*ordinal);
        WrongValue("a number");
    } else if constexpr (std::is_pointer_v<T>) {
        if (auto object = std::get_if<TObject*>(&value)) {
            using Pointee = std::remove_cv_t<std::remove_pointer_t<T>>;
            if (!*object)
                return nullptr;
            if (auto cast = dynamic_cast<Pointee*>(*object))
                return cast;
            WrongValue("an object of the property's class");
        }
        if (std::holds_alternative<std::monostate>(value))
            return nullptr;
        WrongValue("an object");
    } else if constexpr (IsSet<T>::value) {
        if (auto ordinal = std::get_if<int64_t>(&value))
            return T::FromBits(static_cast<uint32_t>(*ordinal));
        WrongValue("a set");
    } else {
        if (auto ordinal = std::get_if<int64_t>(&value))
            return static_cast<T>(*ordinal);
        WrongValue("an ordinal value");
    }
}

template <class Pointer>
struct MemberTraits;
template <class C, class T>
struct MemberTraits<T C::*> {
    using Class = C;
    using Type = T;  // for a member function: its function type
};
template <class C, class R>
struct MemberTraits<R (C::*)() const> {
    using Class = C;
    using Result = R;
};

template <auto Member, bool IsData = std::is_member_object_pointer_v<decltype(Member)>>
struct Access;

// A data member: read and written directly.
template <auto Member>
struct Access<Member, true> {
    using C = typename MemberTraits<decltype(Member)>::Class;
    using Type = typename MemberTraits<decltype(Member)>::Type;
    static const Type& Read(const TObject& instance) { return static_cast<const C&>(instance).*Member; }
    static void Write(TObject& instance, const Type& value) { static_cast<C&>(instance).*Member = value; }
    static void* Address(TObject& instance) { return &(static_cast<C&>(instance).*Member); }
};

// A getter.
template <auto Getter>
struct Access<Getter, false> {
    using C = typename MemberTraits<decltype(Getter)>::Class;
    using Type = std::remove_cvref_t<typename MemberTraits<decltype(Getter)>::Result>;
    static Type Read(const TObject& instance) { return (static_cast<const C&>(instance).*Getter)(); }
};

template <auto Setter>
struct SetterAccess;

template <class C, class A, void (C::*Setter)(A)>
struct SetterAccess<Setter> {
    using Type = std::remove_cvref_t<A>;
    static void Write(TObject& instance, const Type& value) { (static_cast<C&>(instance).*Setter)(value); }
};

template <class T>
std::span<const char* const> NamesOf() {
    if constexpr (std::is_enum_v<T> && !HasKindOverride<T>::value)
        return TEnumTraits<T>::Names;
    else if constexpr (IsSet<T>::value)
        return TEnumTraits<typename IsSet<T>::Element>::Names;
    else
        return {};
}

template <class T>
const TClassInfo& ClassOf() {
    return std::remove_cv_t<std::remove_pointer_t<T>>::StaticClassInfo();
}

}  // namespace typinfo_detail

// A property read through Getter (a getter or a data member) and written through
// Setter (a setter, or nullptr for the data member itself when Getter is one).
template <auto Getter, auto Setter = nullptr>
TPropInfo Prop(const char* name) {
    using namespace typinfo_detail;
    using Read = Access<Getter>;
    using T = typename Read::Type;
    TPropInfo info;
    info.Name = name;
    info.Kind = KindOf<T>();
    if constexpr (IsEvent<T>::value) {
        static_assert(std::is_member_object_pointer_v<decltype(Getter)>, "events are fields");
        info.EventAddress = &Read::Address;
        info.EventType = &typeid(T);
        return info;
    } else {
        info.EnumNames = NamesOf<T>();
        if constexpr (HasTextForms<T>::value) {
            info.OrdinalToText = &TPropKindOverride<T>::ToText;
            info.TextToOrdinal = &TPropKindOverride<T>::FromText;
        }
        if constexpr (std::is_pointer_v<T>)
            info.PropClass = &ClassOf<T>;
        info.Get = [](const TObject& instance) -> TPropValue { return ToValue<T>(Read::Read(instance)); };
        if constexpr (!std::is_same_v<decltype(Setter), std::nullptr_t>) {
            info.Set = [](TObject& instance, const TPropValue& value) {
                using Write = SetterAccess<Setter>;
                Write::Write(instance, FromValue<typename Write::Type>(value));
            };
        } else if constexpr (std::is_member_object_pointer_v<decltype(Getter)>) {
            info.Set = [](TObject& instance, const TPropValue& value) { Read::Write(instance, FromValue<T>(value)); };
        }
        return info;
    }
}

template <auto Predicate>
TPropInfo TPropInfo::StoredIf() const {
    TPropInfo copy = *this;
    copy.IsStored = [](const TObject& instance) { return typinfo_detail::Access<Predicate>::Read(instance); };
    return copy;
}

template <class C>
TComponent* CreateComponentOf(TComponent* owner) {
    return new C(owner);
}

// The class info of C below Parent; classes derived from TComponent with a
// constructor taking the owner can be created by name.
template <class C, class Parent>
TClassInfo MakeClassInfo(const char* name, std::span<const TPropInfo> props) {
    TClassInfo info;
    info.Name = name;
    info.Parent = &Parent::StaticClassInfo();
    info.Props = props;
    if constexpr (std::is_base_of_v<TComponent, C> && std::is_constructible_v<C, TComponent*> &&
                  !std::is_abstract_v<C>)
        info.Create = &CreateComponentOf<C>;
    return info;
}

// ---- reading and writing ------------------------------------------------------------

const TPropInfo* FindPropInfo(const TObject& instance, const std::string& name);
// Raises EPropertyError when there is no such property.
const TPropInfo& GetPropInfo(const TObject& instance, const std::string& name);

TPropValue GetPropValue(const TObject& instance, const TPropInfo& prop);
// Ordinal kinds also take their value's name (enumerations, "True"/"False").
void SetPropValue(TObject& instance, const TPropInfo& prop, const TPropValue& value);

int64_t GetOrdProp(const TObject& instance, const std::string& name);
void SetOrdProp(TObject& instance, const std::string& name, int64_t value);
std::string GetStrProp(const TObject& instance, const std::string& name);
void SetStrProp(TObject& instance, const std::string& name, const std::string& value);
double GetFloatProp(const TObject& instance, const std::string& name);
void SetFloatProp(TObject& instance, const std::string& name, double value);
TObject* GetObjectProp(const TObject& instance, const std::string& name);
void SetObjectProp(TObject& instance, const std::string& name, TObject* value);

// Enumeration names; GetEnumValue gives -1 for an unknown name (case-insensitive).
std::string GetEnumName(const TPropInfo& prop, int64_t value);
int64_t GetEnumValue(const TPropInfo& prop, const std::string& name);
// "[fsBold,fsItalic]" with the elements in ordinal order.
std::string SetToString(const TPropInfo& prop, int64_t bits);
int64_t StringToSet(const TPropInfo& prop, const std::string& text);

// The value as text: numbers in decimal, enumerations and booleans by name, sets in
// brackets, strings as they are, objects by component name (empty when none).
std::string GetPropText(const TObject& instance, const TPropInfo& prop);
void SetPropText(TObject& instance, const TPropInfo& prop, const std::string& text);

// The TEvent field of a method property; null when the property has another type.
template <class E>
E* GetMethodProp(TObject& instance, const std::string& name) {
    const TPropInfo* prop = FindPropInfo(instance, name);
    if (!prop || prop->Kind != TTypeKind::Method || *prop->EventType != typeid(E))
        return nullptr;
    return static_cast<E*>(prop->EventAddress(instance));
}

// True when the instance has a method property of that name and event type.
template <class E>
bool SetMethodProp(TObject& instance, const std::string& name, const E& handler) {
    E* event = GetMethodProp<E>(instance, name);
    if (event)
        *event = handler;
    return event != nullptr;
}
