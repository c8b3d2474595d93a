#pragma once

// An ordered list of 8-bit strings, each line optionally carrying a non-owned object.

#include "Classes.h"

#include <string>
#include <vector>

class TStringList : public TPersistent {
    DECLARE_CLASS_INFO()

public:
    int Count() const { return static_cast<int>(items_.size()); }
    bool Empty() const { return items_.empty(); }

    const std::string& operator[](int index) const;
    void Put(int index, const std::string& s);
    TObject* Objects(int index) const;
    void PutObject(int index, TObject* object);

    int Add(const std::string& s) { return AddObject(s, nullptr); }
    int AddObject(const std::string& s, TObject* object);
    void Insert(int index, const std::string& s) { InsertObject(index, s, nullptr); }
    void InsertObject(int index, const std::string& s, TObject* object);
    void Delete(int index);
    void Clear() { items_.clear(); }
    void AddStrings(const TStringList& other);
    // Copies the lines and their objects of another string list.
    void Assign(const TPersistent& source) override;

    // Case-insensitive; -1 when absent.
    int IndexOf(const std::string& s) const;
    int IndexOfObject(const TObject* object) const;

    // Lines joined, each followed by CR LF.
    std::string Text() const;
    // Splits at CR LF, LF or CR; a break at the very end adds no empty line.
    void SetText(const std::string& text);

    // Raise EOSError when the file cannot be read or written.
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

private:
    struct Item {
        std::string text;
        TObject* object = nullptr;
    };
    void CheckIndex(int index, int limit) const;

    std::vector<Item> items_;
};
