#include "StringList.h"
#include "SysUtils.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& text) {
    TStringList list;
    list.SetText(text);
    std::vector<std::string> lines;
    for (int i = 0; i < list.Count(); ++i)
        lines.push_back(list[i]);
    return lines;
}

using V = std::vector<std::string>;

TEST(StringList, SetTextSplitsAtEveryKindOfBreak) {
    EXPECT_EQ(Lines("a\r\nb\nc\rd"), (V{"a", "b", "c", "d"}));
    EXPECT_EQ(Lines("a\n"), (V{"a"}));
    EXPECT_EQ(Lines("a\r"), (V{"a"}));
    EXPECT_EQ(Lines(""), V{});
    EXPECT_EQ(Lines("\r\n"), (V{""}));
    EXPECT_EQ(Lines("\n\r"), (V{"", ""}));
    EXPECT_EQ(Lines("a\r\r\nb"), (V{"a", "", "b"}));

    TStringList list;
    list.Add("a");
    list.Add("");
    EXPECT_EQ(list.Text(), "a\r\n\r\n");
}

TEST(StringList, ObjectsTravelWithTheirLines) {
    TObject one, two, three;
    TStringList list;
    list.AddObject("one", &one);
    list.AddObject("two", &two);
    list.InsertObject(0, "three", &three);
    list.Insert(1, "plain");
    list.Insert(list.Count(), "last");
    EXPECT_EQ(list.Text(), "three\r\nplain\r\none\r\ntwo\r\nlast\r\n");
    EXPECT_EQ(list.Objects(0), &three);
    EXPECT_EQ(list.Objects(1), nullptr);
    EXPECT_EQ(list.Objects(2), &one);
    list.Delete(0);
    list.Delete(1);
    EXPECT_EQ(list[1], "two");
    EXPECT_EQ(list.Objects(1), &two);
    EXPECT_EQ(list.IndexOfObject(&one), -1);
}

TEST(StringList, IndexOfIgnoresCase) {
    TStringList list;
    list.SetText("Alpha\nBeta\nALPHA");
    EXPECT_EQ(list.IndexOf("alpha"), 0);
    EXPECT_EQ(list.IndexOf("BETA"), 1);
    EXPECT_EQ(list.IndexOf("Alp"), -1);
}

TEST(StringList, IndexOutOfRangeRaises) {
    TStringList list;
    EXPECT_THROW(list[0], EListError);
    EXPECT_THROW(list.Delete(0), EListError);
    EXPECT_THROW(list.Insert(1, "x"), EListError);
    list.Add("a");
    EXPECT_THROW(list[1], EListError);
    EXPECT_THROW(list[-1], EListError);
    EXPECT_THROW(list.Insert(-1, "x"), EListError);
    EXPECT_EQ(list.Count(), 1);
}

TEST(StringList, FilesRoundTrip) {
    TTempDir dir;
    const std::string name = dir.Path() + "\\list.txt";
    TStringList saved, loaded;
    for (int i = 0; i < 20000; ++i)  // more than one read buffer
        saved.Add(i % 7 ? "line " + std::to_string(i) : "");
    saved.SaveToFile(name);
    loaded.Add("old");
    loaded.LoadFromFile(name);
    EXPECT_EQ(loaded.Text(), saved.Text());

    saved.SetText("x\ny");
    saved.SaveToFile(name);
    std::ifstream raw(name, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(raw), {}), "x\r\ny\r\n");

    try {
        loaded.LoadFromFile(dir.Path() + "\\missing.txt");
        FAIL() << "no error for a missing file";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

}  // namespace

TEST(StringListAssign, CopiesLinesWithObjectsAndRefusesOtherClasses) {
    TStringList source, copy;
    TStringList marker;
    source.AddObject("a", &marker);
    source.Add("b");
    copy.Add("old");
    copy.Assign(source);
    ASSERT_EQ(copy.Count(), 2);
    EXPECT_EQ(copy.Objects(0), &marker);
    EXPECT_EQ(copy[1], "b");
    EXPECT_EQ(copy.ClassName(), "TStringList");
    TPersistent other;
    EXPECT_THROW(copy.Assign(other), EConvertError);
    EXPECT_EQ(copy.Count(), 2);
}
