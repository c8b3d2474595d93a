#pragma once

// Root of the class tree. Every class that publishes properties has a class info
// (framework/TypInfo.h) reachable from any instance through ClassInfo().

#include <string>

struct TClassInfo;

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = default;
    TObject& operator=(const TObject&) = default;
    virtual ~TObject() = default;

    static const TClassInfo& StaticClassInfo();
    virtual const TClassInfo& ClassInfo() const { return StaticClassInfo(); }
    std::string ClassName() const;
    bool InheritsFrom(const TClassInfo& other) const;
};

// Gives a class its class info: put it first in the class body, and define
// StaticClassInfo() beside the class with its property table.
#define DECLARE_CLASS_INFO()                                                       \
public:                                                                            \
    static const TClassInfo& StaticClassInfo();                                    \
    const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }     \
                                                                                   \
private:
