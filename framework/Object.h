#pragma once

// Root of the class tree: anything a string list or an event sender may refer to.
class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = default;
    TObject& operator=(const TObject&) = default;
    virtual ~TObject() = default;
};
