#include "FormStream.h"
#include "KvStatus.h"
#include "SysUtils.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

std::string OwnPath() {
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

TEST(KvVersionInfo, ReadsTheRunningProgramAtCreation) {
    TKvVersionInfo info(nullptr);
    EXPECT_EQ(info.FilePath(), OwnPath());
    EXPECT_TRUE(info.HasVersionInfo());
    EXPECT_EQ(info.GetVersionValue(viCompanyName), "Quorvia");
    EXPECT_EQ(info.GetVersionValue(viFileDescription), "Tests of the themed controls");
    EXPECT_EQ(info.GetVersionValue(viInternalName), "ControlsTests");
    EXPECT_EQ(info.GetVersionValue(viOriginalFilename), "ControlsTests.exe");
    EXPECT_EQ(info.GetVersionValue(7), "Controls Test Product");
    EXPECT_EQ(info.GetVersionValue(viLegalTrademarks), "");
    EXPECT_EQ(info.GetVersionValue(viFileVersion), info.GetVersionValue(viProductVersion));
    EXPECT_FALSE(info.GetVersionValue(viFileVersion).empty());
    EXPECT_THROW(info.GetVersionValue(10), EListError);
    EXPECT_THROW(info.GetVersionValue(-1), EListError);
}

TEST(KvVersionInfo, FileWithoutVersionBlockGivesNotAvailable) {
    TTempDir dir;
    TKvVersionInfo info(nullptr);
    info.SetFilePath(dir.AddFile("plain.txt", "no resources here"));
    EXPECT_FALSE(info.HasVersionInfo());
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(info.GetVersionValue(i), "Value Not Available");

    info.SetFilePath(dir.Path() + "\\missing.exe");
    EXPECT_FALSE(info.HasVersionInfo());
    EXPECT_EQ(info.GetVersionValue(viProductName), "Value Not Available");
}

TEST(KvVersionInfo, RereadsOnlyWhenThePathChangesOrLoadingEnds) {
    TTempDir dir;
    const std::string path = dir.AddFile("later.exe", "not yet a program");
    TKvVersionInfo info(nullptr);
    info.SetFilePath(path);
    ASSERT_FALSE(info.HasVersionInfo());

    ASSERT_TRUE(CopyFileA(OwnPath().c_str(), path.c_str(), FALSE));
    info.SetFilePath(path);  // unchanged: no new read
    EXPECT_FALSE(info.HasVersionInfo());
    info.Loaded();
    EXPECT_TRUE(info.HasVersionInfo());
    EXPECT_EQ(info.GetVersionValue(viProductName), "Controls Test Product");

    // While loading, a new path waits for Loaded.
    TKvVersionInfo loading(nullptr);
    loading.BeginLoading();
    loading.SetFilePath(dir.AddFile("plain.txt"));
    EXPECT_TRUE(loading.HasVersionInfo());
    loading.Loaded();
    EXPECT_FALSE(loading.HasVersionInfo());

    // A form stream may name the design-time About; it is published but never stored.
    TFormObject form{"TKvVersionInfo", "Version", {}, {}};
    TFormValue about;
    about.Type = TFormValueType::Ident;
    about.Text = "aiKavrenComponents";
    form.Properties.push_back({"About", about});
    TKvVersionInfo streamed(nullptr);
    ReadComponent(form, streamed);
    EXPECT_EQ(streamed.Name(), "Version");
    EXPECT_FALSE(FindPropInfo(streamed, "About")->Stored(streamed));
}

}  // namespace
