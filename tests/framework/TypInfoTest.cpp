#include "Classes.h"
#include "TestEnums.h"
#include "TypInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testenums;

namespace {

enum TTint : int32_t { tnRed = 0xFF, tnNone = 0x1FFFFFFF };

}  // namespace

template <>
struct TPropKindOverride<TTint> {
    static constexpr TTypeKind Kind = TTypeKind::Colour;
    static std::string ToText(int64_t value) { return value == tnRed ? "tnRed" : IntToStr(value); }
    static bool FromText(const std::string& text, int64_t& value) {
        if (text == "tnRed") {
            value = tnRed;
            return true;
        }
        int number;
        if (!TryStrToInt(text, number))
            return false;
        value = number;
        return true;
    }
};

namespace {

class TWidgetItem : public TCollectionItem {
    DECLARE_CLASS_INFO()

public:
    using TCollectionItem::TCollectionItem;
    int Width = 50;
};

class TPart : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    std::string Label = "part";
};

class TWidget : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TWidget(TComponent* owner) : TComponent(owner) {}

    int Count() const { return count_; }
    void SetCount(int value) {
        count_ = value;
        ++setterCalls;
    }
    char Letter = 'a';
    TShade Shade = shMedium;
    bool Visible = true;
    TFlags Flags{flB};
    double Ratio = 0.5;
    std::string Caption;
    int64_t Big = 0;
    TTint Tint = tnNone;
    TWidget* Buddy = nullptr;
    TPart* Part() const { return const_cast<TPart*>(&part_); }
    TCollection* Items() const { return const_cast<TCollection*>(&items_); }
    TNotifyEvent OnClick;
    TEvent<void(TObject*, int)> OnScroll;
    int ReadOnly() const { return 7; }
    bool CaptionStored() const { return !Caption.empty(); }

    int setterCalls = 0;
    std::vector<std::string>* log = nullptr;

    void Loaded() override {
        TComponent::Loaded();
        if (log)
            log->push_back("Loaded " + Name());
    }

protected:
    void Notification(TComponent* component, TOperation operation) override {
        TComponent::Notification(component, operation);
        if (operation == opRemove && component == Buddy)
            Buddy = nullptr;
    }

private:
    int count_ = 0;
    TPart part_;
    TCollection items_{this, &TCollection::MakeItem<TWidgetItem>};
};

class TFancyWidget : public TWidget {
    DECLARE_CLASS_INFO()

public:
    using TWidget::TWidget;
    int Extra = 3;
};

}  // namespace

const TClassInfo& TWidgetItem::StaticClassInfo() {
    static const TPropInfo props[] = {Prop<&TWidgetItem::Width>("Width")};
    static const TClassInfo info = MakeClassInfo<TWidgetItem, TCollectionItem>("TWidgetItem", props);
    return info;
}

const TClassInfo& TPart::StaticClassInfo() {
    static const TPropInfo props[] = {Prop<&TPart::Label>("Label")};
    static const TClassInfo info = MakeClassInfo<TPart, TPersistent>("TPart", props);
    return info;
}

const TClassInfo& TWidget::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TWidget::Count, &TWidget::SetCount>("Count").WithDefault(0),
        Prop<&TWidget::Letter>("Letter"),
        Prop<&TWidget::Shade>("Shade").WithDefault(shMedium),
        Prop<&TWidget::Visible>("Visible").WithDefault(true),
        Prop<&TWidget::Flags>("Flags"),
        Prop<&TWidget::Ratio>("Ratio"),
        Prop<&TWidget::Caption>("Caption").StoredIf<&TWidget::CaptionStored>(),
        Prop<&TWidget::Big>("Big"),
        Prop<&TWidget::Tint>("Tint"),
        Prop<&TWidget::Buddy>("Buddy"),
        Prop<&TWidget::Part>("Part"),
        Prop<&TWidget::Items>("Items"),
        Prop<&TWidget::OnClick>("OnClick"),
        Prop<&TWidget::OnScroll>("OnScroll"),
        Prop<&TWidget::ReadOnly>("ReadOnly"),
    };
    static const TClassInfo info = MakeClassInfo<TWidget, TComponent>("TWidget", props);
    return info;
}

const TClassInfo& TFancyWidget::StaticClassInfo() {
    static const TPropInfo props[] = {Prop<&TFancyWidget::Extra>("Extra")};
    static const TClassInfo info = MakeClassInfo<TFancyWidget, TWidget>("TFancyWidget", props);
    return info;
}

namespace {

TEST(TypInfo, KindsFollowTheTypes) {
    TWidget widget(nullptr);
    const TClassInfo& info = widget.ClassInfo();
    EXPECT_EQ(widget.ClassName(), "TWidget");
    EXPECT_TRUE(widget.InheritsFrom(TComponent::StaticClassInfo()));
    EXPECT_FALSE(TComponent::StaticClassInfo().InheritsFrom(info));
    const std::pair<const char*, TTypeKind> kinds[] = {
        {"Count", TTypeKind::Integer}, {"Letter", TTypeKind::Char},   {"Shade", TTypeKind::Enumeration},
        {"Visible", TTypeKind::Boolean}, {"Flags", TTypeKind::Set},   {"Ratio", TTypeKind::Float},
        {"Caption", TTypeKind::String},  {"Big", TTypeKind::Int64},    {"Buddy", TTypeKind::Class},
        {"OnClick", TTypeKind::Method},  {"Tint", TTypeKind::Colour},
    };
    for (const auto& [name, kind] : kinds) {
        const TPropInfo* prop = info.FindProp(name);
        ASSERT_NE(prop, nullptr) << name;
        EXPECT_EQ(prop->Kind, kind) << name;
    }
    EXPECT_EQ(info.FindProp("cApTiOn"), info.FindProp("Caption"));
    EXPECT_EQ(info.FindProp("Missing"), nullptr);
    EXPECT_EQ(&info.FindProp("Buddy")->PropClass(), &TWidget::StaticClassInfo());
    // Inherited ones come first, the class's own after.
    const auto all = TFancyWidget::StaticClassInfo().AllProps();
    EXPECT_STREQ(all.front()->Name, "Name");
    EXPECT_STREQ(all.back()->Name, "Extra");
}

TEST(TypInfo, EveryKindIsSetAndReadByName) {
    TWidget widget(nullptr);
    TWidget buddy(nullptr);
    buddy.SetName("Buddy1");

    SetOrdProp(widget, "Count", 12);
    EXPECT_EQ(widget.Count(), 12);
    EXPECT_EQ(widget.setterCalls, 1);
    SetStrProp(widget, "Letter", "z");
    EXPECT_EQ(widget.Letter, 'z');
    SetStrProp(widget, "Shade", "shdark");
    EXPECT_EQ(widget.Shade, shDark);
    EXPECT_EQ(GetStrProp(widget, "Shade"), "shDark");
    SetOrdProp(widget, "Shade", 0);
    EXPECT_EQ(widget.Shade, shLight);
    SetStrProp(widget, "Visible", "False");
    EXPECT_FALSE(widget.Visible);
    EXPECT_EQ(GetStrProp(widget, "Visible"), "False");
    SetStrProp(widget, "Flags", "[flD, flA]");
    EXPECT_EQ(widget.Flags, (TFlags{flA, flD}));
    EXPECT_EQ(GetStrProp(widget, "Flags"), "[flA,flD]");
    SetFloatProp(widget, "Ratio", 2.25);
    EXPECT_DOUBLE_EQ(widget.Ratio, 2.25);
    SetStrProp(widget, "Ratio", "0.125");
    EXPECT_EQ(GetStrProp(widget, "Ratio"), "0.125");
    SetStrProp(widget, "Caption", "Hello");
    EXPECT_EQ(widget.Caption, "Hello");
    SetStrProp(widget, "Big", "-9000000000");
    EXPECT_EQ(widget.Big, -9000000000LL);
    SetStrProp(widget, "Tint", "tnRed");
    EXPECT_EQ(widget.Tint, tnRed);
    EXPECT_EQ(GetStrProp(widget, "Tint"), "tnRed");
    SetObjectProp(widget, "Buddy", &buddy);
    EXPECT_EQ(widget.Buddy, &buddy);
    EXPECT_EQ(GetStrProp(widget, "Buddy"), "Buddy1");
    SetOrdProp(widget, "Tag", 99);
    EXPECT_EQ(widget.Tag, 99);
    EXPECT_EQ(GetOrdProp(widget, "ReadOnly"), 7);
}

TEST(TypInfo, BadValuesAreRefused) {
    TWidget widget(nullptr);
    TPart part;
    EXPECT_THROW(SetOrdProp(widget, "ReadOnly", 1), EPropertyError);
    EXPECT_THROW(SetStrProp(widget, "Shade", "shPurple"), EPropertyError);
    EXPECT_THROW(SetOrdProp(widget, "Shade", 3), EPropertyError);
    EXPECT_THROW(SetStrProp(widget, "Flags", "[flA,flZ]"), EPropertyError);
    EXPECT_THROW(SetStrProp(widget, "Count", "12x"), EPropertyError);
    EXPECT_THROW(SetStrProp(widget, "Letter", "ab"), EPropertyError);
    EXPECT_THROW(SetObjectProp(widget, "Buddy", &part), EPropertyError);  // not a TWidget
    EXPECT_THROW(SetOrdProp(widget, "Caption", 1), EPropertyError);
    EXPECT_THROW(GetOrdProp(widget, "Nothing"), EPropertyError);
    EXPECT_EQ(widget.Shade, shMedium);
    EXPECT_EQ(widget.Count(), 0);
}

TEST(TypInfo, EventsAreSetByNameWithTheirOwnType) {
    TWidget widget(nullptr);
    int clicks = 0;
    EXPECT_TRUE(SetMethodProp<TNotifyEvent>(widget, "onclick", [&](TObject* sender) {
        EXPECT_EQ(sender, &widget);
        ++clicks;
    }));
    widget.OnClick(&widget);
    EXPECT_EQ(clicks, 1);
    // Another signature or a non-event property is not touched.
    EXPECT_FALSE(SetMethodProp<TNotifyEvent>(widget, "OnScroll", [](TObject*) {}));
    EXPECT_FALSE(SetMethodProp<TNotifyEvent>(widget, "Caption", [](TObject*) {}));
    EXPECT_FALSE(widget.OnScroll.Assigned());
    EXPECT_NE(GetMethodProp<TEvent<void(TObject*, int)>>(widget, "OnScroll"), nullptr);
    EXPECT_THROW(GetStrProp(widget, "OnClick"), EPropertyError);
}

TEST(TypInfo, DefaultsAndStoredFlags) {
    TWidget widget(nullptr);
    const TClassInfo& info = widget.ClassInfo();
    EXPECT_TRUE(info.FindProp("Visible")->HasDefault);
    EXPECT_EQ(info.FindProp("Shade")->Default, shMedium);
    EXPECT_FALSE(info.FindProp("Ratio")->HasDefault);
    EXPECT_FALSE(info.FindProp("Caption")->Stored(widget));
    widget.Caption = "x";
    EXPECT_TRUE(info.FindProp("Caption")->Stored(widget));
    EXPECT_FALSE(info.FindProp("Name")->Stored(widget));
}

TEST(TypInfo, PathsGoThroughObjectsComponentsAndCollections) {
    TComponent form(nullptr);
    auto* widget = new TWidget(&form);
    widget->SetName("lvwKeys");
    for (int i = 0; i < 3; ++i)
        static_cast<TWidgetItem*>(widget->Items()->Add())->Width = 10 * i;

    auto widths = ResolvePropPath(form, "lvwKeys.Items.Width");
    ASSERT_EQ(widths.size(), 3u);
    for (const TPropTarget& target : widths)
        SetPropValue(*target.Object, *target.Prop, int64_t(77));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(static_cast<TWidgetItem*>(widget->Items()->Items(i))->Width, 77);

    auto label = ResolvePropPath(form, "LVWKEYS.Part.Label");
    ASSERT_EQ(label.size(), 1u);
    SetPropText(*label[0].Object, *label[0].Prop, "renamed");
    EXPECT_EQ(widget->Part()->Label, "renamed");

    auto whole = ResolvePropPath(form, "lvwKeys");
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].Object, widget);
    EXPECT_EQ(whole[0].Prop, nullptr);

    auto own = ResolvePropPath(form, "Tag");
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].Object, &form);

    EXPECT_TRUE(ResolvePropPath(form, "nothing.Caption").empty());
    EXPECT_TRUE(ResolvePropPath(form, "lvwKeys.Nothing").empty());
    EXPECT_TRUE(ResolvePropPath(form, "lvwKeys..Caption").empty());
    EXPECT_TRUE(ResolvePropPath(form, "").empty());
}

TEST(TypInfo, ClassesAreMadeByName) {
    RegisterClass(TFancyWidget::StaticClassInfo());
    RegisterClass(TFancyWidget::StaticClassInfo());
    RegisterClass(TPart::StaticClassInfo());
    EXPECT_EQ(FindClass("tfancywidget"), &TFancyWidget::StaticClassInfo());
    TComponent owner(nullptr);
    TComponent* made = CreateComponentByName("TFancyWidget", &owner);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->Owner(), &owner);
    EXPECT_EQ(made->ClassName(), "TFancyWidget");
    EXPECT_THROW(CreateComponentByName("TPart", &owner), EClassNotFound);  // not a component
    EXPECT_THROW(CreateComponentByName("TUnknown", &owner), EClassNotFound);
}

TEST(TypInfo, FreeNotificationClearsReferences) {
    TComponent form(nullptr);
    auto* widget = new TWidget(&form);
    auto* buddy = new TWidget(nullptr);
    widget->Buddy = buddy;
    buddy->FreeNotification(widget);
    delete buddy;
    EXPECT_EQ(widget->Buddy, nullptr);

    // The listener may die first without leaving a dangling registration behind.
    auto* other = new TWidget(nullptr);
    auto* listener = new TWidget(nullptr);
    listener->Buddy = other;
    other->FreeNotification(listener);
    delete listener;
    delete other;
}

TEST(TypInfo, LoadingProtocolRunsLoadedInCreationOrder) {
    std::vector<std::string> log;
    TComponent form(nullptr);
    form.BeginLoading();
    for (const char* name : {"First", "Second", "Third"}) {
        auto* widget = new TWidget(&form);
        widget->log = &log;
        widget->BeginLoading();
        widget->SetName(name);
        SetStrProp(*widget, "Caption", name);
        EXPECT_TRUE(widget->IsLoading());
    }
    for (int i = 0; i < form.ComponentCount(); ++i)
        form.Components(i)->Loaded();
    form.Loaded();
    EXPECT_EQ(log, (std::vector<std::string>{"Loaded First", "Loaded Second", "Loaded Third"}));
    EXPECT_FALSE(form.IsLoading());
    EXPECT_FALSE(form.Components(2)->IsLoading());
}

}  // namespace
