#pragma once

// An ordered list of 8-bit strings, each line optionally carrying a non-owned object.
// The members that change the lines are virtual, so that a list kept in step with a window
// (the lines of a list box, the sub-items of a list-view item) hears changes made through a
// plain TStringList reference too. The base versions never call one another.

#include "Classes.h"

#include <string>
#include <vector>

class TStringList : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    int Count() const { return static_cast<int>(items_.size()); }
    bool Empty() const { return items_.empty(); }

    const std::string& operator[](int index) const;
    virtual void Put(int index, const std::string& s);
    TObject* Objects(int index) const;
    void PutObject(int index, TObject* object);

    int Add(const std::string& s) { return AddObject(s, nullptr); }
    virtual int AddObject(const std::string& s, TObject* object);
    void Insert(int index, const std::string& s) { InsertObject(index, s, nullptr); }
    virtual void InsertObject(int index, const std::string& s, TObject* object);
    virtual void Delete(int index);
    virtual void Clear() { items_.clear(); }
    virtual void AddStrings(const TStringList& other);
    // Copies the lines and their objects of another string list.
    void Assign(const TPersistent& source) override;

    // Case-insensitive; -1 when absent.
    int IndexOf(const std::string& s) const;
    int IndexOfObject(const TObject* object) const;

    // Lines joined, each followed by CR LF.
    std::string Text() const;
    // Splits at CR LF, LF or CR; a break at the very end adds no empty line.
    virtual void SetText(const std::string& text);

    // Raise EOSError when the file cannot be read or written.
    virtual void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

protected:
    // "Strings": the lines as a list of strings.
    void DefineProperties(TFiler& filer) override;

private:
    struct Item {
        std::string text;
        TObject* object = nullptr;
    };
    void CheckIndex(int index, int limit) const;

    std::vector<Item> items_;
};
