#include "TypInfo.h"

#include "Classes.h"

#include <cmath>
#include <cstdlib>

const TClassInfo& TObject::StaticClassInfo() {
    static const TClassInfo info{"TObject", nullptr, {}, nullptr};
    return info;
}

std::string TObject::ClassName() const { return ClassInfo().Name; }

bool TObject::InheritsFrom(const TClassInfo& other) const { return ClassInfo().InheritsFrom(other); }

bool TClassInfo::InheritsFrom(const TClassInfo& other) const {
    for (const TClassInfo* info = this; info; info = info->Parent)
        if (info == &other)
            return true;
    return false;
}

const TPropInfo* TClassInfo::FindProp(const std::string& name) const {
    for (const TClassInfo* info = this; info; info = info->Parent)
        for (const TPropInfo& prop : info->Props)
            if (SameText(prop.Name, name))
                return &prop;
    return nullptr;
}

std::vector<const TPropInfo*> TClassInfo::AllProps() const {
    std::vector<const TPropInfo*> props = Parent ? Parent->AllProps() : std::vector<const TPropInfo*>{};
    for (const TPropInfo& prop : Props)
        props.push_back(&prop);
    return props;
}

void typinfo_detail::WrongValue(const char* expected) {
    throw EPropertyError(Format("Invalid property value: %s was expected", expected));
}

const TPropInfo* FindPropInfo(const TObject& instance, const std::string& name) {
    return instance.ClassInfo().FindProp(name);
}

const TPropInfo& GetPropInfo(const TObject& instance, const std::string& name) {
    if (const TPropInfo* prop = FindPropInfo(instance, name))
        return *prop;
    throw EPropertyError(Format("Property %s does not exist", name.c_str()));
}

namespace {

bool IsOrdinal(TTypeKind kind) {
    switch (kind) {
    case TTypeKind::Integer:
    case TTypeKind::Char:
    case TTypeKind::Enumeration:
    case TTypeKind::Boolean:
    case TTypeKind::Set:
    case TTypeKind::Int64:
    case TTypeKind::Colour:
        return true;
    default:
        return false;
    }
}

const char* const kBooleanNames[] = {"False", "True"};

std::span<const char* const> ValueNames(const TPropInfo& prop) {
    return prop.Kind == TTypeKind::Boolean ? std::span<const char* const>(kBooleanNames) : prop.EnumNames;
}

std::string ComponentPath(const TObject* object) {
    auto component = dynamic_cast<const TComponent*>(object);
    return component ? component->Name() : std::string();
}

}  // namespace

TPropValue GetPropValue(const TObject& instance, const TPropInfo& prop) {
    if (!prop.Get)
        throw EPropertyError(Format("Property %s cannot be read", prop.Name));
    return prop.Get(instance);
}

void SetPropValue(TObject& instance, const TPropInfo& prop, const TPropValue& value) {
    if (!prop.Set)
        throw EPropertyError(Format("Property %s is read-only", prop.Name));
    if (auto text = std::get_if<std::string>(&value); text && prop.Kind != TTypeKind::String) {
        SetPropText(instance, prop, *text);
        return;
    }
    if (auto ordinal = std::get_if<int64_t>(&value); ordinal && prop.Kind == TTypeKind::Enumeration) {
        if (*ordinal < 0 || *ordinal >= static_cast<int64_t>(prop.EnumNames.size()))
            throw EPropertyError(Format("%lld is out of range for property %s", static_cast<long long>(*ordinal), prop.Name));
    }
    if (auto ordinal = std::get_if<int64_t>(&value); ordinal && prop.Kind == TTypeKind::Boolean)
        return prop.Set(instance, TPropValue(int64_t(*ordinal != 0)));
    prop.Set(instance, value);
}

int64_t GetOrdProp(const TObject& instance, const std::string& name) {
    const TPropInfo& prop = GetPropInfo(instance, name);
    if (!IsOrdinal(prop.Kind))
        throw EPropertyError(Format("Property %s is not ordinal", prop.Name));
    return std::get<int64_t>(GetPropValue(instance, prop));
}

void SetOrdProp(TObject& instance, const std::string& name, int64_t value) {
    const TPropInfo& prop = GetPropInfo(instance, name);
    if (!IsOrdinal(prop.Kind))
        throw EPropertyError(Format("Property %s is not ordinal", prop.Name));
    SetPropValue(instance, prop, value);
}

std::string GetStrProp(const TObject& instance, const std::string& name) {
    return GetPropText(instance, GetPropInfo(instance, name));
}

void SetStrProp(TObject& instance, const std::string& name, const std::string& value) {
    SetPropText(instance, GetPropInfo(instance, name), value);
}

double GetFloatProp(const TObject& instance, const std::string& name) {
    const TPropInfo& prop = GetPropInfo(instance, name);
    if (prop.Kind != TTypeKind::Float)
        throw EPropertyError(Format("Property %s is not a number", prop.Name));
    return std::get<double>(GetPropValue(instance, prop));
}

void SetFloatProp(TObject& instance, const std::string& name, double value) {
    const TPropInfo& prop = GetPropInfo(instance, name);
    if (prop.Kind != TTypeKind::Float)
        throw EPropertyError(Format("Property %s is not a number", prop.Name));
    SetPropValue(instance, prop, value);
}

TObject* GetObjectProp(const TObject& instance, const std::string& name) {
    const TPropInfo& prop = GetPropInfo(instance, name);
    if (prop.Kind != TTypeKind::Class)
        throw EPropertyError(Format("Property %s is not an object", prop.Name));
    return std::get<TObject*>(GetPropValue(instance, prop));
}

void SetObjectProp(TObject& instance, const std::string& name, TObject* value) {
    const TPropInfo& prop = GetPropInfo(instance, name);
    if (prop.Kind != TTypeKind::Class)
        throw EPropertyError(Format("Property %s is not an object", prop.Name));
    SetPropValue(instance, prop, value);
}

std::string GetEnumName(const TPropInfo& prop, int64_t value) {
    const auto names = ValueNames(prop);
    if (value < 0 || value >= static_cast<int64_t>(names.size()))
        return IntToStr(value);
    return names[static_cast<size_t>(value)];
}

int64_t GetEnumValue(const TPropInfo& prop, const std::string& name) {
    const auto names = ValueNames(prop);
    for (size_t i = 0; i < names.size(); ++i)
        if (SameText(names[i], name))
            return static_cast<int64_t>(i);
    return -1;
}

std::string SetToString(const TPropInfo& prop, int64_t bits) {
    std::string text;
    for (size_t i = 0; i < prop.EnumNames.size() && i < 32; ++i) {
        if (!(bits & (int64_t(1) << i)))
            continue;
        if (!text.empty())
            text += ',';
        text += prop.EnumNames[i];
    }
    return "[" + text + "]";
}

int64_t StringToSet(const TPropInfo& prop, const std::string& text) {
    std::string body = Trim(text);
    if (body.size() >= 2 && body.front() == '[' && body.back() == ']')
        body = body.substr(1, body.size() - 2);
    int64_t bits = 0;
    size_t start = 0;
    while (start <= body.size()) {
        size_t comma = body.find(',', start);
        const std::string element =
            Trim(body.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!element.empty()) {
            const int64_t ordinal = GetEnumValue(prop, element);
            if (ordinal < 0)
                throw EPropertyError(Format("Invalid set element %s for property %s", element.c_str(), prop.Name));
            bits |= int64_t(1) << ordinal;
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return bits;
}

std::string GetPropText(const TObject& instance, const TPropInfo& prop) {
    if (prop.Kind == TTypeKind::Method)
        throw EPropertyError(Format("Property %s is an event", prop.Name));
    const TPropValue value = GetPropValue(instance, prop);
    if (prop.OrdinalToText)
        return prop.OrdinalToText(std::get<int64_t>(value));
    switch (prop.Kind) {
    case TTypeKind::String:
        return std::get<std::string>(value);
    case TTypeKind::Float:
        return Format("%.15g", std::get<double>(value));
    case TTypeKind::Class:
        return ComponentPath(std::get<TObject*>(value));
    case TTypeKind::Enumeration:
    case TTypeKind::Boolean:
        return GetEnumName(prop, std::get<int64_t>(value));
    case TTypeKind::Set:
        return SetToString(prop, std::get<int64_t>(value));
    case TTypeKind::Char:
        return std::string(1, static_cast<char>(std::get<int64_t>(value)));
    default:
        return IntToStr(std::get<int64_t>(value));
    }
}

void SetPropText(TObject& instance, const TPropInfo& prop, const std::string& text) {
    if (!prop.Set)
        throw EPropertyError(Format("Property %s is read-only", prop.Name));
    if (prop.TextToOrdinal) {
        int64_t ordinal;
        if (!prop.TextToOrdinal(Trim(text), ordinal))
            throw EPropertyError(Format("Invalid value %s for property %s", text.c_str(), prop.Name));
        prop.Set(instance, ordinal);
        return;
    }
    switch (prop.Kind) {
    case TTypeKind::String:
        prop.Set(instance, text);
        return;
    case TTypeKind::Float: {
        char* end = nullptr;
        const double number = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(number))
            throw EPropertyError(Format("'%s' is not a valid number for property %s", text.c_str(), prop.Name));
        prop.Set(instance, number);
        return;
    }
    case TTypeKind::Enumeration:
    case TTypeKind::Boolean: {
        const int64_t ordinal = GetEnumValue(prop, Trim(text));
        if (ordinal < 0)
            throw EPropertyError(Format("Invalid value %s for property %s", text.c_str(), prop.Name));
        prop.Set(instance, ordinal);
        return;
    }
    case TTypeKind::Set:
        prop.Set(instance, StringToSet(prop, text));
        return;
    case TTypeKind::Char:
        if (text.size() != 1)
            throw EPropertyError(Format("Property %s takes one character", prop.Name));
        prop.Set(instance, int64_t(static_cast<unsigned char>(text[0])));
        return;
    case TTypeKind::Integer:
    case TTypeKind::Colour: {
        int value;
        if (!TryStrToInt(text, value))
            throw EPropertyError(Format("'%s' is not a valid integer for property %s", text.c_str(), prop.Name));
        prop.Set(instance, int64_t(value));
        return;
    }
    case TTypeKind::Int64: {
        char* end = nullptr;
        const long long number = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0')
            throw EPropertyError(Format("'%s' is not a valid integer for property %s", text.c_str(), prop.Name));
        prop.Set(instance, int64_t(number));
        return;
    }
    case TTypeKind::Class:
    case TTypeKind::Method:
        break;
    }
    throw EPropertyError(Format("Property %s cannot be set from text", prop.Name));
}
