#include "ActnList.h"

#include "Controls.h"

#include <algorithm>

// ---- TAction ----------------------------------------------------------------------------

const TClassInfo& TAction::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TAction::Caption, &TAction::SetCaption>("Caption"),
        Prop<&TAction::Checked, &TAction::SetChecked>("Checked").WithDefault(false),
        Prop<&TAction::Enabled, &TAction::SetEnabled>("Enabled").WithDefault(true),
        Prop<&TAction::Hint, &TAction::SetHint>("Hint"),
        Prop<&TAction::ImageIndex, &TAction::SetImageIndex>("ImageIndex").WithDefault(-1),
        Prop<&TAction::Visible, &TAction::SetVisible>("Visible").WithDefault(true),
        Prop<&TAction::OnExecute>("OnExecute"),
    };
    static const TClassInfo info = MakeClassInfo<TAction, TComponent>("TAction", props);
    return info;
}

TAction::TAction(TComponent* owner) : TComponent(owner) {}

TAction::~TAction() {
    for (TActionLink* link : links_)
        link->action_ = nullptr;
}

template <class Change>
void TAction::TellLinks(Change change) {
    // A client may drop its link while it follows (a handler of its own), so walk a copy and
    // skip the links that left meanwhile.
    const std::vector<TActionLink*> links = links_;
    for (TActionLink* link : links)
        if (std::find(links_.begin(), links_.end(), link) != links_.end())
            change(*link);
}

template <class T, class Setter>
void TAction::ChangeValue(T& field, const T& value, Setter setter) {
    if (value == field)
        return;
    TellLinks([&](TActionLink& link) { (link.*setter)(value); });
    field = value;
}

void TAction::SetCaption(const std::string& value) { ChangeValue(caption_, value, &TActionLink::SetCaption); }
void TAction::SetChecked(bool value) { ChangeValue(checked_, value, &TActionLink::SetChecked); }
void TAction::SetEnabled(bool value) { ChangeValue(enabled_, value, &TActionLink::SetEnabled); }
void TAction::SetHint(const std::string& value) { ChangeValue(hint_, value, &TActionLink::SetHint); }
void TAction::SetImageIndex(int value) { ChangeValue(imageIndex_, value, &TActionLink::SetImageIndex); }
void TAction::SetVisible(bool value) { ChangeValue(visible_, value, &TActionLink::SetVisible); }

bool TAction::Execute() {
    if (!enabled_ || !OnExecute)
        return false;
    OnExecute(this);
    return true;
}

// ---- TActionLink ------------------------------------------------------------------------

TActionLink::~TActionLink() { SetAction(nullptr); }

void TActionLink::SetAction(TAction* action) {
    if (action == action_)
        return;
    if (action_) {
        auto& links = action_->links_;
        links.erase(std::remove(links.begin(), links.end(), this), links.end());
    }
    action_ = action;
    if (action_)
        action_->links_.push_back(this);
}

bool TActionLink::Execute() { return action_ && action_->Execute(); }

// ---- TControlActionLink -----------------------------------------------------------------

bool TControlActionLink::IsCaptionLinked() const { return Action() && client_.Caption() == Action()->Caption(); }

bool TControlActionLink::IsEnabledLinked() const { return Action() && client_.Enabled() == Action()->Enabled(); }

bool TControlActionLink::IsHintLinked() const { return Action() && client_.Hint() == Action()->Hint(); }

bool TControlActionLink::IsVisibleLinked() const { return Action() && client_.Visible() == Action()->Visible(); }

void TControlActionLink::SetCaption(const std::string& value) {
    if (IsCaptionLinked())
        client_.SetCaption(value);
}

void TControlActionLink::SetEnabled(bool value) {
    if (IsEnabledLinked())
        client_.SetEnabled(value);
}

void TControlActionLink::SetHint(const std::string& value) {
    if (IsHintLinked())
        client_.SetHint(value);
}

void TControlActionLink::SetVisible(bool value) {
    if (IsVisibleLinked())
        client_.SetVisible(value);
}
