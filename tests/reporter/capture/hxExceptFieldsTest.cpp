#include "hxExceptFields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

class TRecordingWriter : public IHxSettingsWriter {
public:
    bool WriteSettingText(const char* name, const std::string& value) override
    {
        writes.push_back(std::string(name) + ":" + value);
        return true;
    }
    std::vector<std::string> writes;
};

class TRecordingOwner : public IHxFieldsOwner {
public:
    void LockOwner() override { ++locks; }
    void UnlockOwner() override { --locks; }
    void FieldsChanged() override { changes.push_back(locks); }
    int locks = 0;
    std::vector<int> changes;  // the owner's lock depth at each notice
};

std::string Names(const TFieldsPtr& fields)
{
    std::string out;
    for (int i = 0; i < fields->GetCount(); ++i)
        out += (i ? "," : "") + fields->GetName(i) + "=" + fields->GetValue(fields->GetName(i));
    return out;
}

TEST(HxExceptFields, SettingTextFillsTheListAndChangesWriteBack)
{
    TRecordingWriter writer;
    TFieldsPtr fields = FieldsFromSetting("Product=Editor|Build=17=x|NoValue", &writer);
    EXPECT_EQ(Names(fields), "Product=Editor,Build=17");
    EXPECT_TRUE(writer.writes.empty());

    fields->SetValue("Build", "18");
    ASSERT_EQ(writer.writes.size(), 1u);
    EXPECT_EQ(writer.writes.back(), "AddFields:Product=Editor|Build=18");
    fields->SetValue("BUILD", "18");  // a new spelling of the name is a change
    EXPECT_EQ(writer.writes.back(), "AddFields:Product=Editor|BUILD=18");
    fields->SetValue("build", "18");
    fields->SetValue("build", "18");
    EXPECT_EQ(writer.writes.size(), 3u);
    fields->SetValue("Build", "  ");
    EXPECT_EQ(writer.writes.back(), "AddFields:Product=Editor");
    EXPECT_EQ(fields->IndexOf("Build"), -1);
    EXPECT_EQ(fields->GetValue("Build"), "");
    EXPECT_EQ(fields->GetName(5), "");

    ComPtr<IVQFieldsEx> ex;
    ASSERT_TRUE(SUCCEEDED(fields.As(&ex)));
    ex->ForgetSettings();
    fields->Add("Later", " trimmed ");
    EXPECT_EQ(fields->GetValue("later"), "trimmed");
    EXPECT_EQ(writer.writes.size(), 4u);
    EXPECT_TRUE(FieldsFromSetting("", &writer)->GetCount() == 0);
}

TEST(HxExceptFields, InsertClampsMovesAndKeepsTheInsertPosition)
{
    TFieldsPtr fields = NewFields(nullptr, true);
    fields->Add("A", "1");
    fields->Add("B", "2");
    fields->Insert(5, "C", "3");
    EXPECT_EQ(Names(fields), "A=1,B=2,C=3");
    fields->Insert(-4, "C", "3");  // moves the existing entry instead of adding one
    EXPECT_EQ(Names(fields), "C=3,A=1,B=2");
    fields->Insert(0, "C", "4");
    EXPECT_EQ(Names(fields), "C=4,A=1,B=2");
    fields->Insert(3, "C", "4");  // behind its old place: lands last
    EXPECT_EQ(Names(fields), "A=1,B=2,C=4");
    fields->Insert(1, "D", "   ");
    EXPECT_EQ(fields->GetCount(), 3);

    ComPtr<IVQFieldsEx> ex;
    ASSERT_TRUE(SUCCEEDED(fields.As(&ex)));
    ex->SetInsertPosition(1);
    fields->Add("X", "x");
    fields->Add("Y", "y");  // consecutive additions keep their order
    EXPECT_EQ(Names(fields), "A=1,X=x,Y=y,B=2,C=4");
    fields->Delete(0);  // in front of the position: it follows
    fields->Add("Z", "z");
    EXPECT_EQ(Names(fields), "X=x,Y=y,Z=z,B=2,C=4");
    fields->Remove("y");
    fields->Delete(9);
    fields->SetName(0, "W");
    EXPECT_EQ(Names(fields), "W=x,Z=z,B=2,C=4");

    // Many entries: the array grows past its first 16 places.
    for (int i = 0; i < 40; ++i)
        fields->Add("N" + std::to_string(i), std::to_string(i));
    EXPECT_EQ(fields->GetCount(), 44);
    EXPECT_EQ(fields->GetValue("N39"), "39");
}

TEST(HxExceptFields, DisabledListsIgnoreAdditionsUntilEnabled)
{
    TFieldsPtr fields = NewFields(nullptr, false);
    fields->SetValue("A", "1");
    fields->Insert(0, "B", "2");
    EXPECT_EQ(fields->GetCount(), 0);
    ComPtr<IVQFieldsEx> ex;
    ASSERT_TRUE(SUCCEEDED(fields.As(&ex)));
    ex->Enable();
    fields->SetValue("A", "1");
    EXPECT_EQ(fields->GetCount(), 1);

    TFieldsPtr copy = fields->Clone();
    copy->Add("B", "2");
    EXPECT_EQ(Names(copy), "A=1,B=2");
    EXPECT_EQ(Names(fields), "A=1");
}

TEST(HxExceptFields, OwningExceptionIsLockedFirstAndToldOfChanges)
{
    TRecordingOwner owner;
    TFieldsPtr fields = NewFields(&owner, true);
    fields->Add("A", "1");
    fields->Add("B", "2");
    fields->Remove("A");
    ASSERT_EQ(owner.changes.size(), 3u);
    for (int depth : owner.changes)
        EXPECT_GT(depth, 0);
    EXPECT_EQ(owner.locks, 0);
    fields->Lock();
    EXPECT_EQ(owner.locks, 1);
    fields->Unlock();
    ComPtr<IVQFieldsEx> ex;
    ASSERT_TRUE(SUCCEEDED(fields.As(&ex)));
    ex->ForgetException();
    fields->Add("C", "3");
    EXPECT_EQ(owner.changes.size(), 3u);
}

TEST(HxExceptAttachments, SettingTextGivesEntriesWithDerivedNames)
{
    TRecordingWriter writer;
    TAttachmentsPtr list = AttachmentsFromSetting("c:\\log\\app.log|d:\\x.y.txt>report.txt>pack.zip>Rep|>skipped|"
                                                  "notes",
                                                  &writer);
    EXPECT_TRUE(writer.writes.empty());
    ASSERT_EQ(list->GetCount(), 3);
    std::string file, sendAs, archive, field;
    ASSERT_TRUE(list->Get(0, file, sendAs, archive, field));
    EXPECT_EQ(file + "|" + sendAs + "|" + archive + "|" + field, "c:\\log\\app.log|app.log||app");
    ASSERT_TRUE(list->Get(1, file, sendAs, archive, field));
    EXPECT_EQ(file + "|" + sendAs + "|" + archive + "|" + field, "d:\\x.y.txt|report.txt|pack.zip|Rep");
    ASSERT_TRUE(list->Get(2, file, sendAs, archive, field));
    EXPECT_EQ(file + "|" + sendAs + "|" + archive + "|" + field, "notes|notes||notes");
    EXPECT_FALSE(list->Get(3, file, sendAs, archive, field));
    EXPECT_FALSE(list->Get(-1, file, sendAs, archive, field));

    list->Add("", "a", "b", "c");
    EXPECT_TRUE(writer.writes.empty());
    EXPECT_TRUE(list->Remove("D:\\X.Y.TXT"));
    EXPECT_FALSE(list->Remove("D:\\X.Y.TXT"));
    ASSERT_EQ(writer.writes.size(), 1u);
    EXPECT_EQ(writer.writes.back(), "AddAttachs:c:\\log\\app.log>app.log>>app|notes>notes>>notes");

    TAttachmentsPtr copy = list->Clone();
    ASSERT_EQ(copy->GetCount(), list->GetCount());
    for (int i = 0; i < list->GetCount(); ++i) {
        std::string f2, s2, a2, d2;
        list->Get(i, file, sendAs, archive, field);
        copy->Get(i, f2, s2, a2, d2);
        EXPECT_EQ(file + sendAs + archive + field, f2 + s2 + a2 + d2);
    }
    copy->Add("e:\\more.dmp", "", "", "");  // the copy has no owner
    EXPECT_EQ(writer.writes.size(), 1u);

    ComPtr<IVQAttachmentsOwner> owner;
    ASSERT_TRUE(SUCCEEDED(list.As(&owner)));
    owner->ForgetSettings();
    list->Add("e:\\more.dmp", "", "", "");
    EXPECT_EQ(writer.writes.size(), 1u);
    EXPECT_EQ(NewAttachments()->GetCount(), 0);
}

}  // namespace
