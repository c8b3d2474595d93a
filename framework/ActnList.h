#pragma once

// Actions: one command (what it shows and what it does) shared by the controls linked to it.
//
// A control links to an action through an action link that the control makes (SetAction). On
// linking, the control takes the action's values (ActionChange); afterwards each change of the
// action reaches the link, which passes it on to the control only while the control still shows
// the action's old value: a control given a value of its own keeps it. A click on a control
// without an OnClick of its own executes the action.
//
// Lifetime: a link lives as long as its control and leaves its action's list when it goes; an
// action that goes first leaves its links without one.

#include "Classes.h"
#include "Event.h"

#include <string>
#include <vector>

class TActionLink;
class TControl;

class TAction : public TComponent {
    DECLARE_CLASS_INFO()

public:
    explicit TAction(TComponent* owner);
    ~TAction() override;

    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& value);
    bool Checked() const { return checked_; }
    void SetChecked(bool value);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& value);
    int ImageIndex() const { return imageIndex_; }
    void SetImageIndex(int value);
    bool Visible() const { return visible_; }
    void SetVisible(bool value);

    // Fires OnExecute; false when the action is disabled or has no handler.
    virtual bool Execute();

    TNotifyEvent OnExecute;

private:
    friend class TActionLink;
    // Tells every link of a change before the action takes the value, so that a link can still
    // compare its client with the old one.
    template <class Change>
    void TellLinks(Change change);
    // Tells the links a new value before storing it, so they can compare it with the old one.
    template <class T, class Setter>
    void ChangeValue(T& field, const T& value, Setter setter);

    std::string caption_;
    bool checked_ = false;
    bool enabled_ = true;
    std::string hint_;
    int imageIndex_ = -1;
    bool visible_ = true;
    std::vector<TActionLink*> links_;
};

// The client's side of the tie to an action. The action calls the setters when its values change;
// the base passes nothing on.
class TActionLink {
public:
    TActionLink() = default;
    TActionLink(const TActionLink&) = delete;
    TActionLink& operator=(const TActionLink&) = delete;
    virtual ~TActionLink();

    TAction* Action() const { return action_; }
    // Leaves the old action's links and joins the new one's.
    void SetAction(TAction* action);
    // Executes the action: false when there is none or it did nothing.
    bool Execute();

    virtual void SetCaption(const std::string& /*value*/) {}
    virtual void SetChecked(bool /*value*/) {}
    virtual void SetEnabled(bool /*value*/) {}
    virtual void SetHint(const std::string& /*value*/) {}
    virtual void SetImageIndex(int /*value*/) {}
    virtual void SetVisible(bool /*value*/) {}

private:
    friend class TAction;
    TAction* action_ = nullptr;
};

// A control's link: the control's caption, enabled state, hint and visibility follow the action
// while they equal the action's (linked).
class TControlActionLink : public TActionLink {
public:
    explicit TControlActionLink(TControl& client) : client_(client) {}

    void SetCaption(const std::string& value) override;
    void SetEnabled(bool value) override;
    void SetHint(const std::string& value) override;
    void SetVisible(bool value) override;

protected:
    TControl& Client() const { return client_; }
    virtual bool IsCaptionLinked() const;
    virtual bool IsEnabledLinked() const;
    virtual bool IsHintLinked() const;
    virtual bool IsVisibleLinked() const;

private:
    TControl& client_;
};
