#include "FormStream.h"

#include "SysUtils.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
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

class TFormReader::TNesting {
public:
    explicit TNesting(TFormReader& reader) : reader_(reader) {
        if (reader_.depth_ >= kMaxFormNesting)
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

// The class of component, or one of its ancestors, is called className.
void CheckClass(const TComponent& component, const std::string& className) {
    for (const TClassInfo* info = &component.ClassInfo(); info; info = info->Parent)
        if (SameText(info->Name, className))
            return;
    throw EReadError(Format("Component %s is a %s, not a %s", component.Name().c_str(),
                            component.ClassName().c_str(), className.c_str()));
}

class TFormLoader {
public:
    TFormLoader(TComponent& root, const TFormReadOptions& options) : root_(root), options_(options) {}

    void Load(const TFormObject& form) {
        CheckClass(root_, form.ClassName);
        if (root_.Name().empty())
            root_.SetName(form.Name);
        Begin(root_);
        Fill(form, root_);
        ResolveReferences();
        for (TComponent* component : loaded_)
            component->Loaded();
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
        if (found || (options_.ReadExtraProperty && options_.ReadExtraProperty(target, property)) ||
            options_.IgnoreUnknownProperties)
            return;
        throw EPropertyError(
            Format("Property %s does not exist in %s", property.Name.c_str(), target.ClassName().c_str()));
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
            if (value.Type == V::WString || value.Type == V::UTF8String)
                SetPropValue(target, prop, Utf8ToAnsi(value.Text));
            else
                SetPropValue(target, prop, value.Text);
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

    void ResolveReferences() {
        for (const TReference& reference : references_) {
            TComponent* component = !reference.Name.empty() && SameText(reference.Name, root_.Name())
                                        ? &root_
                                        : root_.FindComponent(reference.Name);
            if (!component)
                throw EReadError(
                    Format("Unresolved reference %s for property %s", reference.Name.c_str(), reference.Prop->Name));
            SetPropValue(*reference.Target, *reference.Prop, static_cast<TObject*>(component));
        }
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
