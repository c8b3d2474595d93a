#include "StringList.h"

#include "FormStream.h"
#include "Handles.h"
#include "SysUtils.h"

const TClassInfo& TStringList::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TStringList, TPersistent>("TStringList", {});
    return info;
}

void TStringList::Assign(const TPersistent& source) {
    if (auto list = dynamic_cast<const TStringList*>(&source))
        items_ = list->items_;
    else
        TPersistent::Assign(source);
}

void TStringList::DefineProperties(TFiler& filer) {
    TPersistent::DefineProperties(filer);
    const auto read = [this](const TFormValue& value) {
        if (value.Type != TFormValueType::List)
            throw EPropertyError("Strings: a list of strings was expected");
        TStringList lines;
        for (const TFormValue& line : value.List) {
            if (!line.IsString())
                throw EPropertyError("Strings: a list of strings was expected");
            lines.Add(line.AnsiText());
        }
        Assign(lines);
    };
    const auto write = [this] {
        TFormValue value;
        value.Type = TFormValueType::List;
        for (const Item& item : items_) {
            TFormValue& line = value.List.emplace_back();
            line.Type = item.text.size() <= 255 ? TFormValueType::String : TFormValueType::LString;
            line.Text = item.text;
        }
        return value;
    };
    filer.DefineProperty("Strings", read, write, !Empty());
}

void TStringList::CheckIndex(int index, int limit) const {
    if (index < 0 || index >= limit)
        throw EListError(Format("List index out of bounds (%d)", index));
}

const std::string& TStringList::operator[](int index) const {
    CheckIndex(index, Count());
    return items_[index].text;
}

void TStringList::Put(int index, const std::string& s) {
    CheckIndex(index, Count());
    items_[index].text = s;
}

TObject* TStringList::Objects(int index) const {
    CheckIndex(index, Count());
    return items_[index].object;
}

void TStringList::PutObject(int index, TObject* object) {
    CheckIndex(index, Count());
    items_[index].object = object;
}

int TStringList::AddObject(const std::string& s, TObject* object) {
    items_.push_back({s, object});
    return Count() - 1;
}

void TStringList::InsertObject(int index, const std::string& s, TObject* object) {
    CheckIndex(index, Count() + 1);
    items_.insert(items_.begin() + index, {s, object});
}

void TStringList::Delete(int index) {
    CheckIndex(index, Count());
    items_.erase(items_.begin() + index);
}

void TStringList::AddStrings(const TStringList& other) {
    items_.insert(items_.end(), other.items_.begin(), other.items_.end());
}

int TStringList::IndexOf(const std::string& s) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(items_[i].text, s))
            return i;
    return -1;
}

int TStringList::IndexOfObject(const TObject* object) const {
    for (int i = 0; i < Count(); ++i)
        if (items_[i].object == object)
            return i;
    return -1;
}

std::string TStringList::Text() const {
    std::string text;
    for (const Item& item : items_) {
        text += item.text;
        text += "\r\n";
    }
    return text;
}

void TStringList::SetText(const std::string& text) {
    items_.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            items_.push_back({text.substr(start), nullptr});
            break;
        }
        items_.push_back({text.substr(start, end - start), nullptr});
        start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
}

void TStringList::LoadFromFile(const std::string& fileName) {
    TUniqueHandle file(CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        RaiseLastOSError();
    std::string text;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr))
            RaiseLastOSError();
        if (read == 0)
            break;
        text.append(buffer, read);
    }
    TStringList::SetText(text);
}

void TStringList::SaveToFile(const std::string& fileName) const {
    TUniqueHandle file(CreateFileA(fileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        RaiseLastOSError();
    const std::string text = Text();
    DWORD written = 0;
    if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size())
        RaiseLastOSError();
}
