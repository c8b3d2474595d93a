#include "FormStream.h"

#include "SysUtils.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

bool TFormValue::IsInteger() const {
    return Type == TFormValueType::Int8 || Type == TFormValueType::Int16 || Type == TFormValueType::Int32 ||
           Type == TFormValueType::Int64;
}

bool TFormValue::IsString() const {
    return Type == TFormValueType::String || Type == TFormValueType::LString || Type == TFormValueType::WString ||
           Type == TFormValueType::UTF8String;
}

const TFormProperty* TFormObject::FindProperty(const std::string& name) const {
    for (const TFormProperty& property : Properties)
        if (SameText(property.Name, name))
            return &property;
    return nullptr;
}

// ---- reading bytes ------------------------------------------------------------------

namespace {

[[noreturn]] void FailAt(size_t offset, const std::string& what) {
    throw EFormStreamError(
        Format("Invalid form stream: %s at offset %llu", what.c_str(), static_cast<unsigned long long>(offset)),
        offset);
}

std::string Utf16ToUtf8(const std::wstring& wide) {
    if (wide.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string text(static_cast<size_t>(std::max(size, 0)), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size, nullptr,
                            nullptr);
    return text;
}

// Properties are 8-bit strings in the ANSI code page.
std::string Utf8ToAnsi(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX)
        return text;
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0)
        return text;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(std::max(size, 0)), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, wide.data(), units, ansi.data(), size, nullptr, nullptr);
    return ansi;
}

// A 10-byte x87 value: 64-bit mantissa with its integer bit, 15-bit biased exponent, sign.
double ExtendedToDouble(uint64_t mantissa, unsigned signExponent) {
    const int exponent = static_cast<int>(signExponent & 0x7FFF);
    double value;
    if (exponent == 0x7FFF)
        value = (mantissa << 1) ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    else
        value = std::ldexp(static_cast<double>(mantissa), (exponent == 0 ? 1 : exponent) - 16383 - 63);
    return (signExponent & 0x8000) ? -value : value;
}

}  // namespace

std::string TFormValue::AnsiText() const {
    return Type == TFormValueType::WString || Type == TFormValueType::UTF8String ? Utf8ToAnsi(Text) : Text;
}

class TFormReader::TNesting {
public:
    explicit TNesting(TFormReader& reader) : reader_(reader) {
        if (reader_.depth_ >= kFormStreamMaxNesting)
            reader_.Fail("nesting too deep");
        ++reader_.depth_;
    }
    TNesting(const TNesting&) = delete;
    TNesting& operator=(const TNesting&) = delete;
    ~TNesting() { --reader_.depth_; }

private:
    TFormReader& reader_;
};

void TFormReader::Fail(const std::string& what) const { FailAt(position_, what); }

void TFormReader::Need(uint64_t count) const {
    if (count > Remaining())
        Fail("unexpected end of data");
}

uint8_t TFormReader::ReadByte() {
    Need(1);
    return data_[position_++];
}

uint8_t TFormReader::PeekByte() const {
    Need(1);
    return data_[position_];
}

uint64_t TFormReader::ReadUnsigned(int bytes) {
    Need(static_cast<uint64_t>(bytes));
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<uint64_t>(data_[position_ + static_cast<size_t>(i)]) << (8 * i);
    position_ += static_cast<size_t>(bytes);
    return value;
}

std::string TFormReader::ReadChars(uint64_t count) {
    Need(count);
    std::string text(reinterpret_cast<const char*>(data_.data() + position_), static_cast<size_t>(count));
    position_ += static_cast<size_t>(count);
    return text;
}

std::string TFormReader::ReadShortString() { return ReadChars(ReadByte()); }

void TFormReader::ReadSignature() {
    if (Remaining() < 4 || std::memcmp(data_.data() + position_, "TPF0", 4) != 0)
        Fail("signature TPF0 expected");
    position_ += 4;
}

TFormValueType TFormReader::ReadValueType() {
    const size_t at = position_;
    const uint8_t type = ReadByte();
    if (type > kMaxFormValueType)
        FailAt(at, Format("invalid value type %u", type));
    return static_cast<TFormValueType>(type);
}

TFormValue TFormReader::ReadValue(TFormValueType type) {
    TFormValue value;
    value.Type = type;
    switch (type) {
    case TFormValueType::Null:
        FailAt(position_ > 0 ? position_ - 1 : 0, "invalid value type 0");
    case TFormValueType::List: {
        TNesting nesting(*this);
        for (TFormValueType element = ReadValueType(); element != TFormValueType::Null; element = ReadValueType())
            value.List.push_back(ReadValue(element));
        break;
    }
    case TFormValueType::Int8:
        value.Int = static_cast<int8_t>(ReadUnsigned(1));
        break;
    case TFormValueType::Int16:
        value.Int = static_cast<int16_t>(ReadUnsigned(2));
        break;
    case TFormValueType::Int32:
        value.Int = static_cast<int32_t>(ReadUnsigned(4));
        break;
    case TFormValueType::Int64:
    case TFormValueType::Currency:
        value.Int = static_cast<int64_t>(ReadUnsigned(8));
        break;
    case TFormValueType::Extended: {
        const uint64_t mantissa = ReadUnsigned(8);
        value.Float = ExtendedToDouble(mantissa, static_cast<unsigned>(ReadUnsigned(2)));
        break;
    }
    case TFormValueType::Single: {
        const auto bits = static_cast<uint32_t>(ReadUnsigned(4));
        float number;
        std::memcpy(&number, &bits, sizeof number);
        value.Float = number;
        break;
    }
    case TFormValueType::Date: {
        const uint64_t bits = ReadUnsigned(8);
        std::memcpy(&value.Float, &bits, sizeof value.Float);
        break;
    }
    case TFormValueType::String:
    case TFormValueType::Ident:
        value.Text = ReadShortString();
        break;
    case TFormValueType::False:
    case TFormValueType::True:
        value.Int = type == TFormValueType::True;
        break;
    case TFormValueType::Binary:
    case TFormValueType::LString:
    case TFormValueType::UTF8String:
        value.Text = ReadChars(ReadUnsigned(4));
        break;
    case TFormValueType::WString: {
        const uint64_t units = ReadUnsigned(4);
        Need(units * 2);
        if (units > INT_MAX)
            Fail("string too long");
        std::wstring wide(static_cast<size_t>(units), L'\0');
        for (wchar_t& unit : wide)
            unit = static_cast<wchar_t>(ReadUnsigned(2));
        value.Text = Utf16ToUtf8(wide);
        break;
    }
    case TFormValueType::Set:
        for (std::string element = ReadShortString(); !element.empty(); element = ReadShortString())
            value.Elements.push_back(std::move(element));
        break;
    case TFormValueType::Nil:
        break;
    case TFormValueType::Collection: {
        TNesting nesting(*this);
        for (TFormValueType marker = ReadValueType(); marker != TFormValueType::Null; marker = ReadValueType()) {
            TFormCollectionItem item;
            if (marker == TFormValueType::Int8 || marker == TFormValueType::Int16 ||
                marker == TFormValueType::Int32) {
                item.HasOrder = true;
                item.Order = ReadValue(marker).Int;
                marker = ReadValueType();
            }
            if (marker != TFormValueType::List)
                FailAt(position_ - 1, Format("collection item expected, found value type %u", unsigned(marker)));
            item.Properties = ReadProperties();
            value.Items.push_back(std::move(item));
        }
        break;
    }
    }
    return value;
}

std::vector<TFormProperty> TFormReader::ReadProperties() {
    std::vector<TFormProperty> properties;
    for (std::string name = ReadShortString(); !name.empty(); name = ReadShortString()) {
        TFormValue value = ReadValue();
        properties.push_back({std::move(name), std::move(value)});
    }
    return properties;
}

TFormObject TFormReader::ReadObject() {
    TNesting nesting(*this);
    TFormObject object;
    object.ClassName = ReadShortString();
    if (object.ClassName.empty())
        FailAt(position_ - 1, "class name expected");
    object.Name = ReadShortString();
    object.Properties = ReadProperties();
    while (PeekByte() != 0)
        object.Children.push_back(ReadObject());
    ++position_;
    return object;
}

TFormObject ParseForm(std::span<const unsigned char> data) {
    TFormReader reader(data);
    reader.ReadSignature();
    return reader.ReadObject();
}

TFormObject ParseForm(TStream& stream) {
    const int64_t start = stream.Position();
    const int64_t count = std::max<int64_t>(0, stream.Size() - start);
    std::vector<unsigned char> bytes(static_cast<size_t>(count));
    stream.ReadBuffer(bytes.data(), count);
    TFormReader reader(bytes);
    reader.ReadSignature();
    TFormObject object = reader.ReadObject();
    stream.SetPosition(start + static_cast<int64_t>(reader.Position()));
    return object;
}

// ---- filling components ---------------------------------------------------------------

namespace {

// The class of object, or one of its ancestors, is called className.
void CheckClass(const TObject& object, const std::string& className) {
    for (const TClassInfo* info = &object.ClassInfo(); info; info = info->Parent)
        if (SameText(info->Name, className))
            return;
    const auto* component = dynamic_cast<const TComponent*>(&object);
    throw EReadError(Format("Component %s is a %s, not a %s", component ? component->Name().c_str() : "",
                            object.ClassName().c_str(), className.c_str()));
}

// Hands one value to the reader its object defines under that name.
class TDefinedValueReader final : public TFiler {
public:
    TDefinedValueReader(const std::string& name, const TFormValue& value) : name_(name), value_(value) {}

    // False when the object defines no reader of that name.
    bool Read(TObject& object) {
        if (auto* persistent = dynamic_cast<TPersistent*>(&object))
            DefineOf(*persistent);
        return found_;
    }

    void DefineProperty(const std::string& name, const TValueReader& reader, const TValueWriter&, bool) override {
        if (Claim(name, reader))
            reader(value_);
    }

    void DefineBinaryProperty(const std::string& name, const TStreamProc& reader, const TStreamProc&, bool) override {
        if (!Claim(name, reader))
            return;
        if (value_.Type != TFormValueType::Binary)
            throw EPropertyError(Format("%s: binary data was expected", name.c_str()));
        TMemoryStream data;
        data.WriteBuffer(value_.Text.data(), static_cast<int64_t>(value_.Text.size()));
        data.SetPosition(0);
        reader(data);
    }

private:
    bool Claim(const std::string& name, const auto& reader) {
        if (found_ || !reader || !SameText(name, name_))
            return false;
        found_ = true;
        return true;
    }

    const std::string& name_;
    const TFormValue& value_;
    bool found_ = false;
};

bool ReadDefinedProperty(TObject& object, const std::string& name, const TFormValue& value) {
    return TDefinedValueReader(name, value).Read(object);
}

class TFormLoader {
public:
    TFormLoader(TComponent& root, const TFormReadOptions& options) : root_(root), options_(options) {}

    // A persistent object has no components: only its properties are read.
    void LoadProperties(const TFormObject& form, TPersistent& object) {
        CheckClass(object, form.ClassName);
        if (!form.Children.empty())
            throw EReadError(Format("A %s holds no components", form.ClassName.c_str()));
        for (const TFormProperty& property : form.Properties)
            SetProperty(object, property);
        ResolveReferences();
    }

    // A failed read keeps what it read up to the error, references included, and still ends
    // the loading of every object it marked: one left loading would stay half alive for good.
    // The first error is raised at the end.
    void Load(const TFormObject& form) {
        CheckClass(root_, form.ClassName);
        if (root_.Name().empty())
            root_.SetName(form.Name);
        Begin(root_);
        std::exception_ptr error;
        auto keepFirst = [&error] {
            if (!error)
                error = std::current_exception();
        };
        try {
            Fill(form, root_);
        } catch (...) {
            keepFirst();
        }
        try {
            ResolveReferences();
        } catch (...) {
            keepFirst();
        }
        for (TComponent* component : loaded_) {
            try {
                component->Loaded();
            } catch (...) {
                keepFirst();
            }
        }
        if (error)
            std::rethrow_exception(error);
    }

private:
    struct TReference {
        TObject* Target;
        const TPropInfo* Prop;
        std::string Name;
    };

    void Begin(TComponent& component) {
        component.BeginLoading();
        loaded_.push_back(&component);
    }

    void Fill(const TFormObject& object, TComponent& component) {
        for (const TFormProperty& property : object.Properties)
            SetProperty(component, property);
        for (const TFormObject& child : object.Children)
            ReadChild(child, component);
    }

    void ReadChild(const TFormObject& object, TComponent& container) {
        TComponent* component = root_.FindComponent(object.Name);
        if (component) {
            if (std::find(loaded_.begin(), loaded_.end(), component) != loaded_.end())
                throw EReadError(Format("Component %s appears twice", object.Name.c_str()));
            CheckClass(*component, object.ClassName);
        } else {
            component = CreateComponentByName(object.ClassName, &root_);
            component->SetName(object.Name);
        }
        Begin(*component);
        if (options_.SetParent)
            options_.SetParent(*component, container);
        Fill(object, *component);
    }

    void SetProperty(TObject& target, const TFormProperty& property) {
        bool found = false;
        for (const TPropTarget& place : ResolvePropPath(target, property.Name)) {
            if (!place.Prop)
                continue;
            found = true;
            SetValue(*place.Object, *place.Prop, property.Value);
        }
        if (!found)
            found = SetDefinedProperty(target, property);
        if (found || (options_.ReadExtraProperty && options_.ReadExtraProperty(target, property)) ||
            options_.IgnoreUnknownProperties)
            return;
        throw EPropertyError(
            Format("Property %s does not exist in %s", property.Name.c_str(), target.ClassName().c_str()));
    }

    // "Lines.Strings", "Icon.Data": the last part is a defined value of the object the rest
    // leads to.
    static bool SetDefinedProperty(TObject& target, const TFormProperty& property) {
        const size_t dot = property.Name.rfind('.');
        if (dot == std::string::npos)
            return ReadDefinedProperty(target, property.Name, property.Value);
        const std::string name = property.Name.substr(dot + 1);
        bool found = false;
        for (const TPropTarget& place : ResolvePropPath(target, property.Name.substr(0, dot))) {
            TObject* object = place.Object;  // a component the path names
            if (place.Prop && place.Prop->Kind == TTypeKind::Class)
                object = std::get<TObject*>(GetPropValue(*place.Object, *place.Prop));
            else if (place.Prop)
                object = nullptr;
            if (object && ReadDefinedProperty(*object, name, property.Value))
                found = true;
        }
        return found;
    }

    [[noreturn]] static void WrongType(const TPropInfo& prop, const TFormValue& value) {
        throw EPropertyError(Format("Invalid value type %u for property %s", unsigned(value.Type), prop.Name));
    }

    void SetValue(TObject& target, const TPropInfo& prop, const TFormValue& value) {
        using V = TFormValueType;
        switch (prop.Kind) {
        case TTypeKind::Method:
            if (value.Type == V::Nil)
                return;  // no handler
            if (value.Type != V::Ident)
                WrongType(prop, value);
            if (!options_.FindMethod || !options_.FindMethod(target, prop, value.Text))
                throw EPropertyError(Format("Event handler %s for %s not found", value.Text.c_str(), prop.Name));
            return;
        case TTypeKind::Class:
            if (value.Type == V::Ident)
                references_.push_back({&target, &prop, value.Text});
            else if (value.Type == V::Nil)
                SetPropValue(target, prop, static_cast<TObject*>(nullptr));
            else if (value.Type == V::Collection)
                ReadCollection(target, prop, value);
            else
                WrongType(prop, value);
            return;
        case TTypeKind::String:
            if (!value.IsString())
                WrongType(prop, value);
            SetPropValue(target, prop, value.AnsiText());
            return;
        case TTypeKind::Float:
            if (value.Type == V::Extended || value.Type == V::Single || value.Type == V::Date)
                SetPropValue(target, prop, value.Float);
            else if (value.Type == V::Currency)
                SetPropValue(target, prop, static_cast<double>(value.Int) / 10000);
            else if (value.IsInteger())
                SetPropValue(target, prop, static_cast<double>(value.Int));
            else
                WrongType(prop, value);
            return;
        case TTypeKind::Set: {
            if (value.Type != V::Set)
                WrongType(prop, value);
            int64_t bits = 0;
            for (const std::string& element : value.Elements) {
                const int64_t ordinal = GetEnumValue(prop, element);
                if (ordinal < 0 || ordinal >= 32)
                    throw EPropertyError(Format("Invalid set element %s for property %s", element.c_str(), prop.Name));
                bits |= int64_t(1) << ordinal;
            }
            SetPropValue(target, prop, bits);
            return;
        }
        case TTypeKind::Char:
            if (value.Type == V::String)
                SetPropText(target, prop, value.Text);
            else if (value.IsInteger())
                SetPropValue(target, prop, value.Int);
            else
                WrongType(prop, value);
            return;
        case TTypeKind::Boolean:
        case TTypeKind::Enumeration:
        case TTypeKind::Integer:
        case TTypeKind::Int64:
        case TTypeKind::Colour:
            if (value.Type == V::Ident)
                SetPropText(target, prop, value.Text);
            else if (value.IsInteger() ||
                     (prop.Kind == TTypeKind::Boolean && (value.Type == V::False || value.Type == V::True)))
                SetPropValue(target, prop, value.Int);
            else
                WrongType(prop, value);
            return;
        }
        WrongType(prop, value);
    }

    void ReadCollection(TObject& target, const TPropInfo& prop, const TFormValue& value) {
        auto* collection = dynamic_cast<TCollection*>(std::get<TObject*>(GetPropValue(target, prop)));
        if (!collection)
            WrongType(prop, value);
        // References waiting for the items about to go are dropped with them.
        for (int i = 0; i < collection->Count(); ++i)
            std::erase_if(references_, [&](const TReference& r) { return r.Target == collection->Items(i); });
        struct TUpdate {
            TCollection& c;
            ~TUpdate() { c.EndUpdate(); }
        } update{*collection};
        collection->BeginUpdate();
        collection->Clear();
        for (const TFormCollectionItem& item : value.Items) {
            TCollectionItem* added = collection->Add();
            for (const TFormProperty& property : item.Properties)
                SetProperty(*added, property);
        }
    }

    // The root, one of its components, "Owner.Name" of the root's owner, or what the
    // caller finds.
    TComponent* FindReference(const std::string& name) const {
        if (name.empty())
            return nullptr;
        if (SameText(name, root_.Name()))
            return &root_;
        if (TComponent* component = root_.FindComponent(name))
            return component;
        const size_t dot = name.find('.');
        TComponent* owner = root_.Owner();
        if (dot != std::string::npos && owner && !owner->Name().empty() && SameText(name.substr(0, dot), owner->Name()))
            if (TComponent* component = owner->FindComponent(name.substr(dot + 1)))
                return component;
        return options_.FindReference ? options_.FindReference(name) : nullptr;
    }

    // Sets every reference that can be found; then raises for the first that could not.
    void ResolveReferences() {
        const TReference* unresolved = nullptr;
        for (const TReference& reference : references_) {
            if (TComponent* component = FindReference(reference.Name))
                SetPropValue(*reference.Target, *reference.Prop, static_cast<TObject*>(component));
            else if (!unresolved)
                unresolved = &reference;
        }
        if (unresolved)
            throw EReadError(
                Format("Unresolved reference %s for property %s", unresolved->Name.c_str(), unresolved->Prop->Name));
    }

    TComponent& root_;
    const TFormReadOptions& options_;
    std::vector<TComponent*> loaded_;
    std::vector<TReference> references_;
};

}  // namespace

void ReadComponent(const TFormObject& form, TComponent& root, const TFormReadOptions& options) {
    TFormLoader(root, options).Load(form);
}

void ReadComponent(TStream& stream, TComponent& root, const TFormReadOptions& options) {
    ReadComponent(ParseForm(stream), root, options);
}

void ReadPersistent(TStream& stream, TPersistent& object, const TFormReadOptions& options) {
    const TFormObject form = ParseForm(stream);
    // References are looked up from an empty root: the object itself owns nothing.
    TComponent lookup(nullptr);
    TFormLoader(lookup, options).LoadProperties(form, object);
}

TComponent* ReadNewComponent(TStream& stream, TComponent* owner, const TFormReadOptions& options) {
    const TFormObject form = ParseForm(stream);
    TComponent* made = CreateComponentByName(form.ClassName, owner);
    try {
        ReadComponent(form, *made, options);
    } catch (...) {
        FreeComponent(made);  // with whatever it made so far
        throw;
    }
    return made;
}

// ---- writing ------------------------------------------------------------------------------

namespace {

// A 10-byte x87 value, the inverse of ExtendedToDouble.
void DoubleToExtended(double value, uint64_t& mantissa, unsigned& signExponent) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const unsigned sign = static_cast<unsigned>(bits >> 63) << 15;
    const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    if (exponent == 0x7FF) {
        mantissa = fraction ? 0xC000000000000000ull | (fraction << 11) : 0x8000000000000000ull;
        signExponent = sign | 0x7FFF;
    } else if (exponent == 0 && fraction == 0) {
        mantissa = 0;
        signExponent = sign;
    } else {
        int unbiased = exponent - 1023;
        if (exponent == 0) {  // subnormal: the extended format holds it normalised
            unbiased = -1022;
            while (!(fraction & (uint64_t(1) << 52))) {
                fraction <<= 1;
                --unbiased;
            }
        } else {
            fraction |= uint64_t(1) << 52;
        }
        mantissa = fraction << 11;
        signExponent = sign | static_cast<unsigned>(unbiased + 16383);
    }
}

TFormValue IntegerValue(int64_t number) {
    TFormValue value;
    value.Int = number;
    value.Type = number >= INT8_MIN && number <= INT8_MAX     ? TFormValueType::Int8
                 : number >= INT16_MIN && number <= INT16_MAX ? TFormValueType::Int16
                 : number >= INT32_MIN && number <= INT32_MAX ? TFormValueType::Int32
                                                              : TFormValueType::Int64;
    return value;
}

TFormValue TextValue(TFormValueType type, std::string text) {
    TFormValue value;
    value.Type = type;
    value.Text = std::move(text);
    return value;
}

// An ordinal whose type names its values (colours, cursors) goes by name when it has one.
TFormValue NamedOrdinal(const TPropInfo& prop, int64_t ordinal) {
    if (prop.OrdinalToText) {
        const std::string text = prop.OrdinalToText(ordinal);
        if (!text.empty() && (std::isalpha(static_cast<unsigned char>(text[0])) || text[0] == '_'))
            return TextValue(TFormValueType::Ident, text);
    }
    return IntegerValue(ordinal);
}

bool IsDefault(const TPropInfo& prop, const TPropValue& value) {
    if (const auto* ordinal = std::get_if<int64_t>(&value))
        return prop.HasDefault && *ordinal == prop.Default;
    if (const auto* text = std::get_if<std::string>(&value))
        return text->empty();
    if (const auto* number = std::get_if<double>(&value))
        return *number == 0;
    return false;
}

// Collects the values an object defines that have data, under prefix.
class TDefinedValueWriter final : public TFiler {
public:
    TDefinedValueWriter(const std::string& prefix, std::vector<TFormProperty>& out) : prefix_(prefix), out_(out) {}

    void Write(const TPersistent& object) { DefineOf(const_cast<TPersistent&>(object)); }

    void DefineProperty(const std::string& name, const TValueReader&, const TValueWriter& writer,
                        bool hasData) override {
        if (hasData && writer)
            out_.push_back({prefix_ + name, writer()});
    }

    void DefineBinaryProperty(const std::string& name, const TStreamProc&, const TStreamProc& writer,
                              bool hasData) override {
        if (!hasData || !writer)
            return;
        TMemoryStream data;
        writer(data);
        out_.push_back({prefix_ + name, TextValue(TFormValueType::Binary,
                                                  std::string(reinterpret_cast<const char*>(data.Memory()),
                                                              static_cast<size_t>(data.Size())))});
    }

private:
    const std::string& prefix_;
    std::vector<TFormProperty>& out_;
};

class TFormDescriber {
public:
    explicit TFormDescriber(const TComponent* lookupRoot) : lookupRoot_(lookupRoot) {}

    void Describe(const TObject& object, const std::string& prefix, std::vector<TFormProperty>& out, int depth) {
        if (depth >= kFormStreamMaxNesting)
            return;
        for (const TPropInfo* prop : object.ClassInfo().AllProps()) {
            if (prop->Kind == TTypeKind::Method || !prop->Stored(object))
                continue;
            const TPropValue raw = GetPropValue(object, *prop);
            const std::string name = prefix + prop->Name;
            if (prop->Kind == TTypeKind::Class) {
                DescribeObject(*prop, std::get<TObject*>(raw), name, out, depth);
                continue;
            }
            if (!prop->Set || IsDefault(*prop, raw))
                continue;
            out.push_back({name, Scalar(*prop, raw)});
        }
        DescribeDefined(object, prefix, out);
    }

private:
    void DescribeObject(const TPropInfo& prop, const TObject* target, const std::string& name,
                        std::vector<TFormProperty>& out, int depth) {
        if (!target) {
            // Written, so that a reference the class sets by itself comes back cleared.
            if (prop.Set)
                out.push_back({name, TextValue(TFormValueType::Nil, "")});
            return;
        }
        if (const auto* component = dynamic_cast<const TComponent*>(target)) {
            out.push_back({name, TextValue(TFormValueType::Ident, ReferenceName(*component))});
        } else if (const auto* collection = dynamic_cast<const TCollection*>(target)) {
            TFormValue value;
            value.Type = TFormValueType::Collection;
            for (int i = 0; i < collection->Count(); ++i) {
                TFormCollectionItem item;
                Describe(*collection->Items(i), "", item.Properties, depth + 1);
                value.Items.push_back(std::move(item));
            }
            out.push_back({name, std::move(value)});
        } else if (dynamic_cast<const TPersistent*>(target)) {
            Describe(*target, name + ".", out, depth + 1);
        }
    }

    static void DescribeDefined(const TObject& object, const std::string& prefix, std::vector<TFormProperty>& out) {
        if (const auto* persistent = dynamic_cast<const TPersistent*>(&object))
            TDefinedValueWriter(prefix, out).Write(*persistent);
    }

    std::string ReferenceName(const TComponent& component) const {
        if (&component == lookupRoot_ || !component.Owner() || component.Owner() == lookupRoot_)
            return component.Name();
        return component.Owner()->Name() + "." + component.Name();
    }

    static TFormValue Scalar(const TPropInfo& prop, const TPropValue& raw) {
        switch (prop.Kind) {
        case TTypeKind::Boolean: {
            TFormValue value;
            value.Int = std::get<int64_t>(raw) != 0;
            value.Type = value.Int ? TFormValueType::True : TFormValueType::False;
            return value;
        }
        case TTypeKind::Enumeration:
            return TextValue(TFormValueType::Ident, GetEnumName(prop, std::get<int64_t>(raw)));
        case TTypeKind::Set: {
            TFormValue value;
            value.Type = TFormValueType::Set;
            const int64_t bits = std::get<int64_t>(raw);
            for (size_t i = 0; i < prop.EnumNames.size() && i < 32; ++i)
                if (bits & (int64_t(1) << i))
                    value.Elements.push_back(prop.EnumNames[i]);
            return value;
        }
        case TTypeKind::Char:
            return TextValue(TFormValueType::String, std::string(1, static_cast<char>(std::get<int64_t>(raw))));
        case TTypeKind::Float: {
            TFormValue value;
            value.Type = TFormValueType::Extended;
            value.Float = std::get<double>(raw);
            return value;
        }
        case TTypeKind::String: {
            const std::string& text = std::get<std::string>(raw);
            return TextValue(text.size() <= 255 ? TFormValueType::String : TFormValueType::LString, text);
        }
        case TTypeKind::Integer:
        case TTypeKind::Int64:
        case TTypeKind::Colour:
            return NamedOrdinal(prop, std::get<int64_t>(raw));
        case TTypeKind::Class:
        case TTypeKind::Method:
            break;
        }
        return {};
    }

    const TComponent* lookupRoot_;
};

}  // namespace

void TFormWriter::WriteUnsigned(uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        bytes_ += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void TFormWriter::WriteShortString(const std::string& text) {
    if (text.size() > 255)
        throw EWriteError(Format("Name too long for a form stream: %s", text.substr(0, 40).c_str()));
    bytes_ += static_cast<char>(text.size());
    bytes_ += text;
}

void TFormWriter::WriteValue(const TFormValue& value) {
    using V = TFormValueType;
    bytes_ += static_cast<char>(value.Type);
    switch (value.Type) {
    case V::Null:
        throw EWriteError("A form value needs a type");
    case V::List:
        for (const TFormValue& element : value.List)
            WriteValue(element);
        bytes_ += '\0';
        return;
    case V::Int8: WriteUnsigned(static_cast<uint64_t>(value.Int), 1); return;
    case V::Int16: WriteUnsigned(static_cast<uint64_t>(value.Int), 2); return;
    case V::Int32: WriteUnsigned(static_cast<uint64_t>(value.Int), 4); return;
    case V::Int64:
    case V::Currency: WriteUnsigned(static_cast<uint64_t>(value.Int), 8); return;
    case V::Extended: {
        uint64_t mantissa;
        unsigned signExponent;
        DoubleToExtended(value.Float, mantissa, signExponent);
        WriteUnsigned(mantissa, 8);
        WriteUnsigned(signExponent, 2);
        return;
    }
    case V::Single: {
        const float number = static_cast<float>(value.Float);
        uint32_t bits;
        std::memcpy(&bits, &number, sizeof bits);
        WriteUnsigned(bits, 4);
        return;
    }
    case V::Date: {
        uint64_t bits;
        std::memcpy(&bits, &value.Float, sizeof bits);
        WriteUnsigned(bits, 8);
        return;
    }
    case V::String:
    case V::Ident: WriteShortString(value.Text); return;
    case V::False:
    case V::True:
    case V::Nil: return;
    case V::Binary:
    case V::LString:
    case V::UTF8String:
        if (value.Text.size() > UINT32_MAX)
            throw EWriteError("Value too long for a form stream");
        WriteUnsigned(value.Text.size(), 4);
        bytes_ += value.Text;
        return;
    case V::WString: {
        const int units = value.Text.empty() ? 0
                                             : MultiByteToWideChar(CP_UTF8, 0, value.Text.data(),
                                                                   static_cast<int>(value.Text.size()), nullptr, 0);
        std::wstring wide(static_cast<size_t>(std::max(units, 0)), L'\0');
        if (units > 0)
            MultiByteToWideChar(CP_UTF8, 0, value.Text.data(), static_cast<int>(value.Text.size()), wide.data(), units);
        WriteUnsigned(wide.size(), 4);
        for (wchar_t unit : wide)
            WriteUnsigned(static_cast<uint16_t>(unit), 2);
        return;
    }
    case V::Set:
        for (const std::string& element : value.Elements)
            WriteShortString(element);
        bytes_ += '\0';
        return;
    case V::Collection:
        for (const TFormCollectionItem& item : value.Items) {
            if (item.HasOrder) {
                const TFormValue order = IntegerValue(item.Order);
                if (order.Type == V::Int64)
                    throw EWriteError("Collection item order out of range");
                WriteValue(order);
            }
            bytes_ += static_cast<char>(V::List);
            WriteProperties(item.Properties);
        }
        bytes_ += '\0';
        return;
    }
}

void TFormWriter::WriteProperties(const std::vector<TFormProperty>& properties) {
    for (const TFormProperty& property : properties) {
        if (property.Name.empty())
            throw EWriteError("A form property needs a name");
        WriteShortString(property.Name);
        WriteValue(property.Value);
    }
    bytes_ += '\0';
}

void TFormWriter::WriteObject(const TFormObject& object) {
    if (object.ClassName.empty())
        throw EWriteError("A form object needs a class name");
    WriteShortString(object.ClassName);
    WriteShortString(object.Name);
    WriteProperties(object.Properties);
    for (const TFormObject& child : object.Children)
        WriteObject(child);
    bytes_ += '\0';
}

std::string FormBytes(const TFormObject& object) {
    TFormWriter writer;
    writer.WriteSignature();
    writer.WriteObject(object);
    return writer.Bytes();
}

std::vector<TFormProperty> DescribeProperties(const TObject& object, const TComponent* lookupRoot) {
    std::vector<TFormProperty> properties;
    TFormDescriber(lookupRoot).Describe(object, "", properties, 0);
    return properties;
}

// A component inside the object of its parent component when that one is written too (controls in
// their parents, as the reader's SetParent gives them back), else directly in the root's.
TFormObject DescribeComponent(const TComponent& root) {
    TFormObject form;
    form.ClassName = root.ClassName();
    form.Name = root.Name();
    form.Properties = DescribeProperties(root, &root);
    std::vector<const TComponent*> written;
    for (int i = 0; i < root.ComponentCount(); ++i) {
        // A component without a name is an inner part its owner makes itself.
        if (!root.Components(i)->Name().empty())
            written.push_back(root.Components(i));
    }
    const std::function<void(const TComponent*, TFormObject&)> describeChildren = [&](const TComponent* container,
                                                                                     TFormObject& into) {
        for (const TComponent* child : written) {
            const TComponent* parent = child->GetParentComponent();
            const bool inside = std::find(written.begin(), written.end(), parent) != written.end();
            if ((inside ? parent : nullptr) != container)
                continue;
            TFormObject object;
            object.ClassName = child->ClassName();
            object.Name = child->Name();
            object.Properties = DescribeProperties(*child, &root);
            describeChildren(child, object);
            into.Children.push_back(std::move(object));
        }
    };
    describeChildren(nullptr, form);
    return form;
}

void WriteComponent(TStream& stream, const TComponent& root) {
    const std::string bytes = FormBytes(DescribeComponent(root));
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

void WritePersistent(TStream& stream, const TPersistent& object) {
    TFormObject form;
    form.ClassName = object.ClassName();
    form.Properties = DescribeProperties(object, nullptr);
    const std::string bytes = FormBytes(form);
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}
