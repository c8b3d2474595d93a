#include "Classes.h"
#include "FormStream.h"
#include "GuardedBytes.h"
#include "Streams.h"
#include "StringList.h"
#include "TestEnums.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <set>
#include <span>
#include <string>
#include <vector>

using namespace testenums;

namespace {

class TFormWidget;

class TFormItem : public TCollectionItem {
    DECLARE_CLASS_INFO()

public:
    using TCollectionItem::TCollectionItem;
    int Width = 0;
    TFormWidget* Buddy = nullptr;
};

class TFormPart : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    std::string Label;
};

class TFormWidget : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TFormWidget(TComponent* owner) : TComponent(owner) {}

    int Count() const { return count_; }
    void SetCount(int value) {
        count_ = value;
        Log(Name() + (IsLoading() ? " count loading" : " count"));
    }
    int Small = 0, Medium = 0;
    int64_t Big = 0;
    char Letter = 'a';
    double Ratio = 0, Quarter = 0, Money = 0, When = 0;
    std::string Caption, LongText, WideText, Utf8Text;
    TShade Shade = shMedium;
    bool Visible = true, Checked = false;
    TSet<TFlag> Flags;
    TFormWidget* Buddy = nullptr;
    TFormWidget* Buddy2 = this;
    TFormPart* Part() const { return const_cast<TFormPart*>(&part_); }
    TCollection* Items() const { return const_cast<TCollection*>(&items_); }
    TNotifyEvent OnClick;
    // Where the writer puts the widget: inside this one's object.
    TComponent* Container = nullptr;
    TComponent* GetParentComponent() const override { return Container; }

    std::vector<std::string>* log = nullptr;  // the root's is used
    bool failLoaded = false;

    void Loaded() override {
        TComponent::Loaded();
        Log("Loaded " + Name() + (Buddy ? " buddy " + Buddy->Name() : ""));
        if (failLoaded)
            throw EConvertError("Loaded failed");
    }

private:
    void Log(const std::string& line) {
        auto* root = dynamic_cast<TFormWidget*>(Owner());
        if (auto* target = root ? root->log : log)
            target->push_back(line);
    }

    int count_ = 0;
    TFormPart part_;
    TCollection items_{this, &TCollection::MakeItem<TFormItem>};
};

// Keeps values of its own beside its published properties.
class TFormStore : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TFormStore(TComponent* owner) : TComponent(owner) {}

    std::string Caption;
    TStringList* Lines() const { return const_cast<TStringList*>(&lines_); }
    std::string Blob;              // "Blob", written when not empty
    std::vector<int64_t> Numbers;  // "Numbers", a list of integers, always written
    std::string Legacy;            // "OldName", only read
    int blobReads = 0;

protected:
    void DefineProperties(TFiler& filer) override {
        TComponent::DefineProperties(filer);
        filer.DefineBinaryProperty(
            "Blob",
            [this](TStream& stream) {
                ++blobReads;
                Blob.assign(static_cast<size_t>(stream.Size()), '\0');
                stream.ReadBuffer(Blob.data(), stream.Size());
            },
            [this](TStream& stream) { stream.WriteBuffer(Blob.data(), static_cast<int64_t>(Blob.size())); },
            !Blob.empty());
        filer.DefineProperty(
            "Numbers",
            [this](const TFormValue& value) {
                if (value.Type != TFormValueType::List)
                    throw EPropertyError("Numbers: a list expected");
                Numbers.clear();
                for (const TFormValue& number : value.List) {
                    if (!number.IsInteger())
                        throw EPropertyError("Numbers: integers expected");
                    Numbers.push_back(number.Int);
                }
            },
            [this] {
                TFormValue value;
                value.Type = TFormValueType::List;
                for (int64_t number : Numbers) {
                    TFormValue& item = value.List.emplace_back();
                    item.Type = TFormValueType::Int64;
                    item.Int = number;
                }
                return value;
            },
            true);
        filer.DefineProperty("OldName", [this](const TFormValue& value) { Legacy = value.AnsiText(); }, nullptr, true);
    }

private:
    TStringList lines_;
};

}  // namespace

const TClassInfo& TFormStore::StaticClassInfo() {
    static const TPropInfo props[] = {Prop<&TFormStore::Caption>("Caption"), Prop<&TFormStore::Lines>("Lines")};
    static const TClassInfo info = MakeClassInfo<TFormStore, TComponent>("TFormStore", props);
    return info;
}

const TClassInfo& TFormItem::StaticClassInfo() {
    static const TPropInfo props[] = {Prop<&TFormItem::Width>("Width"), Prop<&TFormItem::Buddy>("Buddy")};
    static const TClassInfo info = MakeClassInfo<TFormItem, TCollectionItem>("TFormItem", props);
    return info;
}

const TClassInfo& TFormPart::StaticClassInfo() {
    static const TPropInfo props[] = {Prop<&TFormPart::Label>("Label")};
    static const TClassInfo info = MakeClassInfo<TFormPart, TPersistent>("TFormPart", props);
    return info;
}

const TClassInfo& TFormWidget::StaticClassInfo() {
    using W = TFormWidget;
    static const TPropInfo props[] = {
        Prop<&W::Count, &W::SetCount>("Count"), Prop<&W::Small>("Small"),       Prop<&W::Medium>("Medium"),
        Prop<&W::Big>("Big"),                   Prop<&W::Letter>("Letter"),     Prop<&W::Ratio>("Ratio"),
        Prop<&W::Quarter>("Quarter"),           Prop<&W::Money>("Money"),       Prop<&W::When>("When"),
        Prop<&W::Caption>("Caption"),           Prop<&W::LongText>("LongText"), Prop<&W::WideText>("WideText"),
        Prop<&W::Utf8Text>("Utf8Text"),         Prop<&W::Shade>("Shade"),       Prop<&W::Visible>("Visible"),
        Prop<&W::Checked>("Checked"),           Prop<&W::Flags>("Flags"),       Prop<&W::Buddy>("Buddy"),
        Prop<&W::Buddy2>("Buddy2"),             Prop<&W::Part>("Part"),         Prop<&W::Items>("Items"),
        Prop<&W::OnClick>("OnClick"),
    };
    static const TClassInfo info = MakeClassInfo<TFormWidget, TComponent>("TFormWidget", props);
    return info;
}

namespace {

std::vector<unsigned char> ResourceBytes(const char* name) {
    TResourceStream stream(GetModuleHandleA(nullptr), name, RT_RCDATA);
    return {stream.Memory(), stream.Memory() + stream.Size()};
}

struct FormStream : testing::Test {
    void SetUp() override { RegisterClass(TFormWidget::StaticClassInfo()); }

    TFormReadOptions Options() {
        TFormReadOptions options;
        options.FindMethod = [this](TObject& target, const TPropInfo& prop, const std::string& name) {
            if (name == "FormClick")
                return BindEvent(target, prop, TNotifyEvent([this](TObject*) { ++formClicks; }));
            if (name == "OkClick")
                return BindEvent(target, prop, TNotifyEvent([this](TObject*) { ++okClicks; }));
            return false;
        };
        options.SetParent = [this](TComponent& child, TComponent& container) {
            parents.push_back(child.Name() + " in " + container.Name());
        };
        options.ReadExtraProperty = [this](TObject&, const TFormProperty& property) {
            extras.push_back(property);
            return property.Name == "Data" || property.Name == "Lines";
        };
        return options;
    }

    std::vector<unsigned char> values = ResourceBytes("FORMVALUES");
    int formClicks = 0, okClicks = 0;
    std::vector<std::string> parents;
    std::vector<TFormProperty> extras;
};

using V = TFormValueType;

TFormValue Value(V type, int64_t number, const std::string& text = {}) {
    TFormValue value;
    value.Type = type;
    value.Int = number;
    value.Text = text;
    return value;
}

TEST_F(FormStream, ToolOutputParsesIntoTheTree) {
    const TFormObject form = ParseForm(values);
    EXPECT_EQ(form.ClassName, "TFormWidget");
    EXPECT_EQ(form.Name, "frmValues");
    auto value = [&](const char* name) {
        const TFormProperty* property = form.FindProperty(name);
        EXPECT_NE(property, nullptr) << name;
        return property ? property->Value : TFormValue{};
    };
    const std::pair<const char*, V> types[] = {
        {"Count", V::Int8},      {"Small", V::Int16},        {"Medium", V::Int32},    {"Big", V::Int64},
        {"Ratio", V::Extended},  {"Quarter", V::Single},     {"Money", V::Currency},  {"When", V::Date},
        {"Caption", V::String},  {"LongText", V::LString},   {"WideText", V::WString}, {"Utf8Text", V::UTF8String},
        {"Shade", V::Ident},     {"Visible", V::False},      {"Checked", V::True},    {"Flags", V::Set},
        {"Data", V::Binary},     {"Lines", V::List},         {"Buddy2", V::Nil},      {"Items", V::Collection},
    };
    for (const auto& [name, type] : types)
        EXPECT_EQ(value(name).Type, type) << name;
    // Values the component test cannot see in the tree's form.
    EXPECT_EQ(value("Money").Int, 123456);
    EXPECT_EQ(value("WideText").Text, "caf\xC3\xA9");
    EXPECT_EQ(value("Utf8Text").Text, "caf\xC3\xA9");
    const TFormValue lines = value("Lines");
    ASSERT_EQ(lines.List.size(), 3u);
    EXPECT_EQ(lines.List[1].Int, 2);
    EXPECT_EQ(lines.List[2].List.at(0).Text, "nested");
    const TFormValue items = value("Items");
    ASSERT_EQ(items.Items.size(), 2u);
    EXPECT_FALSE(items.Items[0].HasOrder);
    EXPECT_TRUE(items.Items[1].HasOrder);
    EXPECT_EQ(items.Items[1].Order, 7);
    EXPECT_EQ(items.Items[1].Properties.at(1).Value.Text, "frmValues");
    ASSERT_EQ(form.Children.size(), 2u);
    EXPECT_EQ(form.Children[0].Children.at(0).Name, "btnOk");
    EXPECT_EQ(form.Children[1].Name, "lblLast");
}

TEST_F(FormStream, ReadComponentSetsEveryKindAndFollowsTheLoadingProtocol) {
    std::vector<std::string> log;
    TFormWidget root(nullptr);
    root.log = &log;
    TMemoryStream stream;
    stream.WriteBuffer(values.data(), static_cast<int64_t>(values.size()));
    stream.WriteBuffer("tail", 4);
    stream.SetPosition(0);
    ReadComponent(stream, root, Options());
    EXPECT_EQ(stream.Position(), static_cast<int64_t>(values.size()));

    EXPECT_EQ(root.Name(), "frmValues");
    EXPECT_EQ(root.Count(), 12);
    EXPECT_EQ(root.Small, -300);
    EXPECT_EQ(root.Medium, 70000);
    EXPECT_EQ(root.Big, 5000000000LL);
    EXPECT_EQ(root.Letter, 'z');
    EXPECT_EQ(root.Ratio, 1.5);
    EXPECT_EQ(root.Quarter, 0.25);
    EXPECT_DOUBLE_EQ(root.Money, 12.3456);
    EXPECT_EQ(root.When, 45000.5);
    EXPECT_EQ(root.Caption, "It's\r\ntext");
    std::string digits;
    for (int i = 0; i < 300; ++i)
        digits += static_cast<char>('0' + i % 10);
    EXPECT_EQ(root.LongText, digits);
    // Wide and UTF-8 text arrive in the ANSI code page.
    char ansi[8] = {};
    WideCharToMultiByte(CP_ACP, 0, L"caf\u00E9", 4, ansi, sizeof ansi - 1, nullptr, nullptr);
    EXPECT_EQ(root.WideText, ansi);
    EXPECT_EQ(root.Utf8Text, ansi);
    EXPECT_EQ(root.Shade, shDark);
    EXPECT_FALSE(root.Visible);
    EXPECT_TRUE(root.Checked);
    EXPECT_EQ(root.Flags, (TSet<TFlag>{flA, flD}));
    EXPECT_EQ(root.Buddy2, nullptr);
    EXPECT_EQ(root.Part()->Label, "sub");
    ASSERT_EQ(root.Items()->Count(), 2);
    auto* second = static_cast<TFormItem*>(root.Items()->Items(1));
    EXPECT_EQ(static_cast<TFormItem*>(root.Items()->Items(0))->Width, 10);
    EXPECT_EQ(second->Width, 20);
    EXPECT_EQ(second->Buddy, &root);

    ASSERT_EQ(extras.size(), 2u);
    EXPECT_EQ(extras[0].Value.Text, std::string("\x00\xFF\x10", 3));
    EXPECT_EQ(extras[1].Value.List.size(), 3u);

    auto* panel = dynamic_cast<TFormWidget*>(root.FindComponent("pnlMain"));
    auto* ok = dynamic_cast<TFormWidget*>(root.FindComponent("btnOk"));
    ASSERT_TRUE(panel && ok);
    EXPECT_EQ(root.ComponentCount(), 3);
    EXPECT_EQ(ok->Owner(), &root);
    EXPECT_EQ(root.Buddy, ok);  // a forward reference
    EXPECT_EQ(ok->Buddy, panel);
    EXPECT_EQ(parents, (std::vector<std::string>{"pnlMain in frmValues", "btnOk in pnlMain", "lblLast in frmValues"}));
    root.OnClick(&root);
    ok->OnClick(ok);
    ok->OnClick(ok);
    EXPECT_EQ(formClicks, 1);
    EXPECT_EQ(okClicks, 2);

    // Loading while properties are set; Loaded in creation order, after references.
    EXPECT_EQ(log, (std::vector<std::string>{"frmValues count loading", "pnlMain count loading", "btnOk count loading",
                                             "lblLast count loading", "Loaded frmValues buddy btnOk", "Loaded pnlMain",
                                             "Loaded btnOk buddy pnlMain", "Loaded lblLast"}));
    EXPECT_FALSE(root.IsLoading() || ok->IsLoading());
}

TEST_F(FormStream, FillsAnExistingOwnedComponent) {
    TFormWidget root(nullptr);
    auto* existing = new TFormWidget(&root);
    existing->SetName("BTNOK");
    ReadComponent(ParseForm(values), root, Options());
    EXPECT_EQ(root.FindComponent("btnOk"), existing);
    EXPECT_EQ(existing->Count(), 2);
    EXPECT_EQ(existing->Buddy, root.FindComponent("pnlMain"));
    EXPECT_EQ(root.Components(0), existing);
    EXPECT_EQ(root.ComponentCount(), 3);

    TFormWidget other(nullptr);
    (new TComponent(&other))->SetName("btnOk");
    EXPECT_THROW(ReadComponent(ParseForm(values), other, Options()), EReadError);  // not a TFormWidget
}

TEST_F(FormStream, UnknownNamesAreErrors) {
    const TFormObject form = ParseForm(values);
    auto read = [&](TFormObject changed, TFormReadOptions options) {
        TFormWidget root(nullptr);
        ReadComponent(changed, root, options);
    };
    TFormObject badClass = form;
    badClass.Children[0].Children[0].ClassName = "TNoSuchWidget";
    EXPECT_THROW(read(badClass, Options()), EClassNotFound);

    TFormObject badProperty = form;
    badProperty.Children[1].Properties.push_back({"Colour", Value(V::Int8, 1)});
    try {
        read(badProperty, Options());
        ADD_FAILURE() << "no error";
    } catch (const EPropertyError& e) {
        EXPECT_NE(e.Message.find("Colour"), std::string::npos) << e.Message;
    }
    TFormReadOptions lenient = Options();
    lenient.IgnoreUnknownProperties = true;
    EXPECT_NO_THROW(read(badProperty, lenient));

    TFormReadOptions noHandlers = Options();
    noHandlers.FindMethod = nullptr;
    EXPECT_THROW(read(form, noHandlers), EPropertyError);
    EXPECT_THROW(read(form, {}), EPropertyError);  // nothing takes Data
    TFormObject badReference = form;
    badReference.Children[1].Properties.push_back({"Buddy", Value(V::Ident, 0, "btnMissing")});
    EXPECT_THROW(read(badReference, Options()), EReadError);
    TFormObject badType = form;
    badType.Properties.push_back({"Caption", Value(V::Int8, 1)});
    EXPECT_THROW(read(badType, Options()), EPropertyError);
}

// A read that fails part way keeps what it read and the references it can find, and ends the
// loading of everything it marked; the first error is raised.
TEST_F(FormStream, AFailedReadStillEndsLoading) {
    const TFormObject form = ParseForm(values);
    struct TRead {
        std::vector<std::string> log;
        TFormWidget root{nullptr};
        TFormWidget* Child(const char* name) { return dynamic_cast<TFormWidget*>(root.FindComponent(name)); }
        bool AnyLoading() const {
            bool loading = root.IsLoading();
            for (int i = 0; i < root.ComponentCount(); ++i)
                loading = loading || root.Components(i)->IsLoading();
            return loading;
        }
    };
    auto read = [&](const TFormObject& changed, TRead& into) {
        into.root.log = &into.log;
        ReadComponent(changed, into.root, Options());
    };
    const std::vector<std::string> allLoaded = {"Loaded frmValues buddy btnOk", "Loaded pnlMain",
                                                "Loaded btnOk buddy pnlMain", "Loaded lblLast"};
    auto loadedLines = [](const std::vector<std::string>& log) {
        std::vector<std::string> lines;
        std::copy_if(log.begin(), log.end(), std::back_inserter(lines),
                     [](const std::string& line) { return line.rfind("Loaded", 0) == 0; });
        return lines;
    };

    // An unknown property of the last child: what came before it stays.
    TFormObject badProperty = form;
    badProperty.Children[1].Properties.push_back({"Colour", Value(V::Int8, 1)});
    badProperty.Children[1].Properties.push_back({"Count", Value(V::Int8, 4)});
    TRead unknown;
    EXPECT_THROW(read(badProperty, unknown), EPropertyError);
    EXPECT_FALSE(unknown.AnyLoading());
    EXPECT_EQ(loadedLines(unknown.log), allLoaded);
    ASSERT_NE(unknown.Child("lblLast"), nullptr);
    EXPECT_EQ(unknown.Child("lblLast")->Count(), 3);
    EXPECT_EQ(unknown.root.Buddy, unknown.Child("btnOk"));

    // A reference that cannot be found: the rest of the stream and the other references are set.
    TFormObject badReference = form;
    badReference.Children[1].Properties.push_back({"Buddy", Value(V::Ident, 0, "btnMissing")});
    badReference.Children[1].Properties.push_back({"Caption", Value(V::String, 0, "after")});
    TRead missing;
    try {
        read(badReference, missing);
        ADD_FAILURE() << "no error";
    } catch (const EReadError& e) {
        EXPECT_NE(e.Message.find("btnMissing"), std::string::npos) << e.Message;
    }
    EXPECT_FALSE(missing.AnyLoading());
    EXPECT_EQ(loadedLines(missing.log), allLoaded);
    EXPECT_EQ(missing.Child("lblLast")->Caption, "after");
    EXPECT_EQ(missing.Child("lblLast")->Buddy, nullptr);
    EXPECT_EQ(missing.Child("btnOk")->Buddy, missing.Child("pnlMain"));

    // An unknown class: the objects made before it are loaded, nothing after it is made.
    TFormObject badClass = form;
    badClass.Children[0].Children[0].ClassName = "TNoSuchWidget";
    TRead unmade;
    EXPECT_THROW(read(badClass, unmade), EClassNotFound);
    EXPECT_FALSE(unmade.AnyLoading());
    EXPECT_EQ(loadedLines(unmade.log), (std::vector<std::string>{"Loaded frmValues", "Loaded pnlMain"}));
    EXPECT_EQ(unmade.Child("lblLast"), nullptr);

    // A Loaded that raises: the others still run, and its error is the one raised.
    TRead failing;
    auto* ok = new TFormWidget(&failing.root);
    ok->SetName("btnOk");
    ok->failLoaded = true;
    EXPECT_THROW(read(form, failing), EConvertError);
    EXPECT_FALSE(failing.AnyLoading());
    EXPECT_EQ(loadedLines(failing.log), allLoaded);
}

// Parses bytes placed at the very end of readable memory; the offset of the refusal.
size_t Refusal(TGuardedBytes& guard, const std::vector<unsigned char>& bytes) {
    try {
        ParseForm(guard.Place(bytes.data(), bytes.size()));
    } catch (const EFormStreamError& e) {
        EXPECT_LE(e.Offset, bytes.size());
        return e.Offset;
    }
    return SIZE_MAX;
}

TEST_F(FormStream, EveryInvalidTypeByteIsRefused) {
    const std::vector<unsigned char> types = ResourceBytes("FORMTYPES");
    ASSERT_NO_THROW(ParseForm(types));
    auto at = [&](const char* marker) {
        const auto found = std::search(types.begin(), types.end(), marker, marker + std::strlen(marker));
        return static_cast<size_t>(found - types.begin()) + std::strlen(marker);
    };
    // Property value, list element, collection item start, item after its order value.
    const size_t property = at("\x01" "A"), element = at("\x01" "B\x01"), item = at("\x01" "C\x0E");
    std::set<int> anyValue, inList{0}, itemStart{0, 1, 2, 3, 4}, afterOrder{1};
    for (int type = 1; type <= 20; ++type) {
        anyValue.insert(type);
        inList.insert(type);
    }
    const std::pair<size_t, const std::set<int>*> places[] = {
        {property, &anyValue}, {element, &inList}, {item, &itemStart}, {item + 2, &afterOrder}};
    TGuardedBytes guard(types.size());
    for (const auto& [offset, valid] : places) {
        for (int type = 0; type < 256; ++type) {
            std::vector<unsigned char> changed = types;
            changed[offset] = static_cast<unsigned char>(type);
            const size_t refused = Refusal(guard, changed);
            if (!valid->count(type)) {
                EXPECT_EQ(refused, offset) << "type " << type;
            }
        }
    }
    // Any byte anywhere: parsed or refused, never read past the end.
    for (size_t offset = 0; offset < types.size(); ++offset)
        for (int byte = 0; byte < 256; ++byte) {
            std::vector<unsigned char> changed = types;
            changed[offset] = static_cast<unsigned char>(byte);
            Refusal(guard, changed);
        }
}

TEST_F(FormStream, EveryTruncationIsRefused) {
    TGuardedBytes guard(values.size());
    for (size_t length = 0; length < values.size(); ++length) {
        EXPECT_NE(Refusal(guard, {values.begin(), values.begin() + static_cast<std::ptrdiff_t>(length)}), SIZE_MAX)
            << "length " << length;
        TMemoryStream stream;
        stream.WriteBuffer(values.data(), static_cast<int64_t>(length));
        stream.SetPosition(0);
        TFormWidget root(nullptr);
        EXPECT_THROW(ReadComponent(stream, root, Options()), EReadError);
        EXPECT_TRUE(root.Name().empty() && root.ComponentCount() == 0 && !root.IsLoading());
    }
}

TEST_F(FormStream, NestingIsCapped) {
    auto nested = [](int depth, bool objects) {
        std::string bytes("TPF0\x01T\x00", 7);
        if (objects) {
            bytes.push_back('\0');
            for (int i = 1; i < depth; ++i)
                bytes += std::string("\x01T\x00\x00", 4);
            bytes += std::string(static_cast<size_t>(depth), '\0');
        } else {
            bytes += "\x01" "A" + std::string(static_cast<size_t>(depth), '\x01') +
                     std::string(static_cast<size_t>(depth) + 2, '\0');
        }
        return std::vector<unsigned char>(bytes.begin(), bytes.end());
    };
    EXPECT_NO_THROW(ParseForm(nested(kFormStreamMaxNesting, true)));
    EXPECT_THROW(ParseForm(nested(kFormStreamMaxNesting + 1, true)), EFormStreamError);
    EXPECT_NO_THROW(ParseForm(nested(kFormStreamMaxNesting - 1, false)));  // the object is one level
    EXPECT_THROW(ParseForm(nested(kFormStreamMaxNesting, false)), EFormStreamError);
    EXPECT_THROW(ParseForm(nested(1000000, false)), EFormStreamError);
}

TEST_F(FormStream, ClassesDefineValuesOfTheirOwnReadAndWritten) {
    RegisterClass(TFormStore::StaticClassInfo());
    const std::vector<unsigned char> defined = ResourceBytes("FORMDEFINED");
    TFormStore root(nullptr);
    TMemoryStream stream;
    stream.WriteBuffer(defined.data(), static_cast<int64_t>(defined.size()));
    stream.SetPosition(0);
    ReadComponent(stream, root);  // no caller help
    EXPECT_EQ(root.Blob, std::string("\x00\xFF\x10", 3));
    EXPECT_EQ(root.Numbers, (std::vector<int64_t>{1, -300, 70000}));
    EXPECT_EQ(root.Legacy, "kept");
    EXPECT_EQ(root.Lines()->Text(), "one\r\ntwo\r\n");
    ASSERT_NE(root.FindComponent("stEmpty"), nullptr);

    // Written after the published properties when they have data; a name without a writer never.
    const TFormObject written = DescribeComponent(root);
    std::vector<std::string> names;
    for (const TFormProperty& property : written.Properties)
        names.push_back(property.Name);
    EXPECT_EQ(names, (std::vector<std::string>{"Caption", "Lines.Strings", "Blob", "Numbers"}));
    EXPECT_EQ(written.FindProperty("Blob")->Value.Type, V::Binary);
    ASSERT_EQ(written.Children.size(), 1u);
    EXPECT_FALSE(written.Children[0].FindProperty("Blob"));
    ASSERT_TRUE(written.Children[0].FindProperty("Numbers"));
    EXPECT_TRUE(written.Children[0].FindProperty("Numbers")->Value.List.empty());

    TFormStore copy(nullptr);
    ReadComponent(written, copy);
    EXPECT_EQ(copy.Blob, root.Blob);
    EXPECT_EQ(copy.Numbers, root.Numbers);
    EXPECT_EQ(copy.Lines()->Text(), root.Lines()->Text());
    EXPECT_EQ(copy.Legacy, "");

    // A binary value of another type is refused before the class's reader runs; a name the
    // class does not define is unknown; the caller's hook still hears what nobody defines.
    auto refused = [&](const TFormProperty& property) -> std::string {
        TFormObject changed = written;
        changed.Properties = {property};
        TFormStore target(nullptr);
        try {
            ReadComponent(changed, target);
        } catch (const EPropertyError& e) {
            EXPECT_EQ(target.blobReads, 0);
            return e.Message;
        }
        return "";
    };
    EXPECT_NE(refused({"Blob", Value(V::String, 0, "text")}).find("Blob"), std::string::npos);
    EXPECT_NE(refused({"Numbers", Value(V::Binary, 0, "x")}).find("Numbers"), std::string::npos);
    EXPECT_NE(refused({"Lines.Blob", Value(V::Binary, 0, "x")}).find("Lines.Blob"), std::string::npos);
    TFormObject extra = written;
    extra.Properties.push_back({"Unknown", Value(V::Int8, 1)});
    TFormReadOptions options;
    options.ReadExtraProperty = [&](TObject&, const TFormProperty& property) { return property.Name == "Unknown"; };
    TFormStore lenient(nullptr);
    EXPECT_NO_THROW(ReadComponent(extra, lenient, options));
}

// The writer is the reader's inverse: the tool's bytes come back byte for byte.
TEST_F(FormStream, WriterGivesBackTheToolOutput) {
    const std::string bytes = FormBytes(ParseForm(values));
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.end()), values);

    // Extended values the tool does not write: extremes, a subnormal, infinity.
    TFormObject form;
    form.ClassName = "TFormWidget";
    for (double number : {-0.1, 1e300, 5e-324, 1.0 / 3, -std::numeric_limits<double>::infinity()}) {
        TFormValue value = Value(V::Extended, 0);
        value.Float = number;
        form.Properties.push_back({"Ratio", value});
    }
    const std::string text = FormBytes(form);
    const TFormObject back = ParseForm(std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    ASSERT_EQ(back.Properties.size(), form.Properties.size());
    for (size_t i = 0; i < form.Properties.size(); ++i)
        EXPECT_EQ(back.Properties[i].Value.Float, form.Properties[i].Value.Float) << i;
}

TEST_F(FormStream, WrittenComponentReadsBackEqual) {
    TFormWidget source(nullptr);
    ReadComponent(ParseForm(values), source, Options());
    // A reference out of the root goes by its owner's name, found by the caller.
    TFormWidget outside(nullptr);
    outside.SetName("frmOther");
    auto* other = new TFormWidget(&outside);
    other->SetName("wOther");
    auto* last = dynamic_cast<TFormWidget*>(source.FindComponent("lblLast"));
    ASSERT_NE(last, nullptr);
    last->Buddy = other;
    new TFormWidget(&source);  // unnamed: a part its owner makes itself, not written
    TMemoryStream stream;
    WriteComponent(stream, source);
    stream.SetPosition(0);

    TFormWidget copy(nullptr);
    TFormReadOptions options = Options();
    std::vector<std::string> asked;
    options.FindReference = [&](const std::string& name) -> TComponent* {
        asked.push_back(name);
        return name == "frmOther.wOther" ? other : nullptr;
    };
    ReadComponent(stream, copy, options);
    EXPECT_EQ(asked, std::vector<std::string>{"frmOther.wOther"});
    EXPECT_EQ(dynamic_cast<TFormWidget*>(copy.FindComponent("lblLast"))->Buddy, other);
    for (const TComponent* widget : {static_cast<TComponent*>(&source), source.FindComponent("btnOk")}) {
        const TComponent* twin = widget == &source ? &copy : copy.FindComponent(widget->Name());
        ASSERT_NE(twin, nullptr);
        for (const TPropInfo* prop : widget->ClassInfo().AllProps()) {
            if (prop->Kind != TTypeKind::Class && prop->Kind != TTypeKind::Method) {
                EXPECT_EQ(GetPropText(*twin, *prop), GetPropText(*widget, *prop)) << widget->Name() << "." << prop->Name;
            }
        }
    }
    EXPECT_EQ(copy.Name(), "frmValues");
    EXPECT_EQ(copy.ComponentCount(), 3);
    EXPECT_EQ(copy.Buddy, copy.FindComponent("btnOk"));
    EXPECT_EQ(copy.Buddy2, nullptr);  // cleared in the source, so written as nil
    EXPECT_EQ(copy.Part()->Label, "sub");
    ASSERT_EQ(copy.Items()->Count(), 2);
    EXPECT_EQ(static_cast<TFormItem*>(copy.Items()->Items(1))->Width, 20);
    EXPECT_EQ(static_cast<TFormItem*>(copy.Items()->Items(1))->Buddy, &copy);

    // A persistent object alone; a new component made by its class name.
    TFormPart part;
    part.Label = "alone";
    TMemoryStream partStream;
    WritePersistent(partStream, part);
    partStream.SetPosition(0);
    TFormPart partCopy;
    ReadPersistent(partStream, partCopy);
    EXPECT_EQ(partCopy.Label, "alone");
    stream.SetPosition(0);
    TComponent owner(nullptr);
    TComponent* made = ReadNewComponent(stream, &owner, options);
    EXPECT_EQ(made->Owner(), &owner);
    EXPECT_EQ(made->ClassName(), "TFormWidget");
    EXPECT_EQ(made->ComponentCount(), 3);
}

// Components go inside the object of their parent component when that one is written too; the
// reader gives each its container back.
TEST_F(FormStream, WriterNestsComponentsInTheirParents) {
    TFormWidget root(nullptr);
    root.SetName("frmNest");
    auto make = [&](const char* name, TComponent* container) {
        auto* widget = new TFormWidget(&root);
        widget->SetName(name);
        widget->Container = container;
        return widget;
    };
    TFormWidget outside(nullptr);
    auto* inner = make("wInner", nullptr);  // before its container among the components
    auto* panel = make("wPanel", &root);
    inner->Container = panel;
    make("wLoose", &outside);  // its container is not written: directly in the root
    const TFormObject form = DescribeComponent(root);
    ASSERT_EQ(form.Children.size(), 2u);
    EXPECT_EQ(form.Children[0].Name, "wPanel");
    ASSERT_EQ(form.Children[0].Children.size(), 1u);
    EXPECT_EQ(form.Children[0].Children[0].Name, "wInner");
    EXPECT_EQ(form.Children[1].Name, "wLoose");

    const std::string bytes = FormBytes(form);
    TFormWidget copy(nullptr);
    ReadComponent(ParseForm(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())), copy,
                  Options());
    EXPECT_EQ(parents, (std::vector<std::string>{"wPanel in frmNest", "wInner in wPanel", "wLoose in frmNest"}));
}

}  // namespace
