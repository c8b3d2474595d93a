#include "Classes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class TTracedComponent : public TComponent {
public:
    TTracedComponent(TComponent* owner, std::string name, std::vector<std::string>& log)
        : TComponent(owner), log_(log) {
        SetName(std::move(name));
    }
    ~TTracedComponent() override {
        log_.push_back(Name() + (Owner() && (Owner()->ComponentState() & csDestroying) ? " with owner" : ""));
    }

private:
    std::vector<std::string>& log_;
};

TEST(Component, OwnerFreesChildrenLastFirst) {
    std::vector<std::string> log;
    {
        TComponent owner(nullptr);
        new TTracedComponent(&owner, "First", log);
        auto* second = new TTracedComponent(&owner, "Second", log);
        new TTracedComponent(second, "Grandchild", log);
        new TTracedComponent(&owner, "Third", log);
        EXPECT_EQ(owner.ComponentCount(), 3);
        EXPECT_EQ(owner.FindComponent("second"), second);
        EXPECT_EQ(owner.FindComponent("Grandchild"), nullptr);  // not a direct child
        EXPECT_EQ(owner.FindComponent(""), nullptr);
    }
    // A derived destructor runs before its own children are freed.
    EXPECT_EQ(log, (std::vector<std::string>{"Third with owner", "Second with owner", "Grandchild with owner",
                                             "First with owner"}));
}

TEST(Component, FreedChildLeavesItsOwner) {
    std::vector<std::string> log;
    TComponent owner(nullptr);
    auto* child = new TTracedComponent(&owner, "Child", log);
    new TTracedComponent(&owner, "Other", log);
    delete child;
    ASSERT_EQ(owner.ComponentCount(), 1);
    EXPECT_EQ(owner.Components(0)->Name(), "Other");
    EXPECT_EQ(owner.FindComponent("Child"), nullptr);
}

TEST(Component, LoadingEndsWithLoaded) {
    TComponent component(nullptr);
    EXPECT_FALSE(component.IsLoading());
    component.BeginLoading();
    EXPECT_TRUE(component.IsLoading());
    component.Loaded();
    EXPECT_FALSE(component.IsLoading());
    EXPECT_FALSE(component.IsDesigning());
}

}  // namespace
