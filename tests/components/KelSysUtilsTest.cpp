#include "Handles.h"
#include "StringList.h"
#include "SysUtils.h"
#include "TestSupport.h"
#include "Registry.h"
#include "kelGraphics.h"
#include "kelSysUtils.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

OSVERSIONINFOA Version(DWORD platform, DWORD major, DWORD minor, DWORD build, const char* service = "") {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwPlatformId = platform;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.dwBuildNumber = build;
    lstrcpynA(info.szCSDVersion, service, sizeof(info.szCSDVersion));
    return info;
}

std::string RegType(HKEY root, const std::string& key, const std::string& name, DWORD& type) {
    char data[512] = {};
    DWORD size = sizeof(data) - 1;
    type = REG_NONE;
    if (RegGetValueA(root, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS)
        return "<missing>";
    return data;
}

}  // namespace

TEST(KelStrings, PositionsAreOneBasedAndBounded) {
    EXPECT_EQ(PosFrom("ab", "xabyab", 1), 2);
    EXPECT_EQ(PosFrom("ab", "xabyab", 3), 5);
    EXPECT_EQ(PosFrom("ab", "xabyab", 6), 0);
    EXPECT_EQ(PosFrom("ab", "xabyab", 0), 0);
    EXPECT_EQ(PosFrom("AB", "xabyab", 1), 0);  // exact comparison

    EXPECT_EQ(LastPos("ab", "xabyab"), 5);
    EXPECT_EQ(LastPos("ab", "xabyab", 5), 2);  // starts at or before 5 - 2 + 1
    EXPECT_EQ(LastPos("ab", "xabyab", 6), 5);
    EXPECT_EQ(LastPos("ab", "xabyab", 100), 5);
    EXPECT_EQ(LastPos("ab", "xabyab", 2), 0);
    EXPECT_EQ(LastPos("zz", "xabyab"), 0);
    EXPECT_EQ(LastPos("", "xabyab"), 0);
}

TEST(KelStrings, ReplacingEnds) {
    std::string text = "a.b.c";
    ReplaceAll(text, ".", "..");  // the replacement contains the searched text
    EXPECT_EQ(text, "a..b..c");
    text = "aaa";
    ReplaceAll(text, "a", "");
    EXPECT_EQ(text, "");
    text = "abc";
    ReplaceAll(text, "", "x");
    EXPECT_EQ(text, "abc");

    text = "hello world";
    ReplaceAt(text, 7, "world", "there");
    EXPECT_EQ(text, "hello there");
    ReplaceAt(text, 1, "h", "J");
    EXPECT_EQ(text, "Jello there");

    ReplaceChar(text, 'e', 'E');
    EXPECT_EQ(text, "JEllo thErE");
    EXPECT_EQ(KeepChars("0123456789", "a1b2 c3"), "123");

    TStringList lines;
    SplitToStrings("a;b;;c", ";", lines);
    ASSERT_EQ(lines.Count(), 4);
    EXPECT_EQ(lines[3], "c");
    SplitToStrings("one<>two", "<>", lines);
    ASSERT_EQ(lines.Count(), 2);
    EXPECT_EQ(lines[1], "two");
}

TEST(KelPaths, NamePartsAndTargets) {
    EXPECT_EQ(FileNameOf("c:\\a\\b.txt"), "b.txt");
    EXPECT_EQ(FileNameOf("c:b.txt"), "b.txt");
    EXPECT_EQ(FileNameOf("x/y.z"), "y.z");
    EXPECT_EQ(FileNameOf("plain"), "plain");
    EXPECT_EQ(FolderOf("c:\\a\\b.txt"), "c:\\a\\");
    EXPECT_EQ(FolderOf("plain"), "");
    EXPECT_EQ(BaseNameOf("c:\\a.d\\b.tar.gz"), "b.tar");
    EXPECT_EQ(BaseNameOf("c:\\a.d\\noext"), "noext");

    EXPECT_EQ(BuildTargetName("c:\\a\\b.txt", "d:\\x\\*.bak"), "d:\\x\\b.bak");
    EXPECT_EQ(BuildTargetName("c:\\a\\b.txt", "*.*"), "c:\\a\\b.txt");
    EXPECT_EQ(BuildTargetName("c:\\a\\b.txt", "new.*"), "c:\\a\\new.txt");
    EXPECT_EQ(BuildTargetName("c:\\a\\b.txt", "d:\\x\\"), "d:\\x\\b.txt");
    EXPECT_EQ(BuildTargetName("c:\\a\\b.txt", "  "), "c:\\a\\b.txt");
    EXPECT_EQ(BuildTargetName("c:\\a\\b.txt", "d:\\x\\c.l?g"), "d:\\x\\c.txt");

    EXPECT_EQ(IncludeSlash("c:\\a"), "c:\\a\\");
    EXPECT_EQ(IncludeSlash("c:\\a\\"), "c:\\a\\");
    EXPECT_EQ(RemoveDoubleBackslashes("c:\\\\a\\\\\\\\b"), "c:\\a\\\\b");  // pairs, left to right
    EXPECT_EQ(AbsolutePath("c:\\base", "sub\\f.txt"), "c:\\base\\sub\\f.txt");
    EXPECT_EQ(AbsolutePath("c:\\base\\", "\\sub\\f.txt"), "c:\\base\\sub\\f.txt");
    EXPECT_EQ(AbsolutePath("c:\\base", "\\\\server\\share\\f.txt"), "\\\\server\\share\\f.txt");
    EXPECT_EQ(AbsolutePath("c:\\base", "d:\\f.txt"), "d:\\f.txt");

    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    EXPECT_EQ(SystemFolder(), std::string(system) + "\\");
    EXPECT_EQ(FolderOf(LogFileName()), AppFolder());
    EXPECT_EQ(ExtractFileExt(LogFileName()), ".log");
}

TEST(KelPaths, CanCreateFileLeavesNothingBehind) {
    TTempDir dir;
    EXPECT_FALSE(CanCreateFile(""));
    EXPECT_TRUE(CanCreateFile(dir.Path()));
    const std::string existing = dir.AddFile("there.txt", "keep");
    EXPECT_TRUE(CanCreateFile(existing));
    EXPECT_TRUE(FileExists(existing));
    const std::string fresh = dir.Path() + "\\fresh.txt";
    EXPECT_TRUE(CanCreateFile(fresh));
    EXPECT_FALSE(FileExists(fresh));
    EXPECT_FALSE(CanCreateFile(dir.Path() + "\\missing\\f.txt"));
}

TEST(KelGeometry, AlignRectPlacesTheSize) {
    const TRect bounds = MakeRect(10, 20, 111, 71);  // 101 x 51
    const TRect size = MakeRect(0, 0, 20, 10);
    TRect r = AlignRect(size, bounds, 0, 0);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 20);
    r = AlignRect(size, bounds, 1, 1);
    EXPECT_EQ(r.left, 10 + 81 / 2);
    EXPECT_EQ(r.top, 20 + 41 / 2);
    EXPECT_EQ(r.right - r.left, 20);
    EXPECT_EQ(r.bottom - r.top, 10);
    r = AlignRect(size, bounds, 2, 2);
    EXPECT_EQ(r.right, 111);
    EXPECT_EQ(r.bottom, 71);
    // Larger than the bounds: halves round towards zero.
    r = AlignRect(MakeRect(0, 0, 105, 10), bounds, 1, 0);
    EXPECT_EQ(r.left, 10 + (-4) / 2);
    EXPECT_EQ(MaxInt2(-3, 2), 2);
    EXPECT_EQ(MinInt2(-3, 2), -3);
}

TEST(KelVersion, TableAndFlags) {
    // Newer than the table, as this system reports itself.
    TkelOSFlags flags = OSFlagsOf(Version(VER_PLATFORM_WIN32_NT, 6, 1, 7601, "Service Pack 1"));
    EXPECT_EQ(flags.Version, wvUnknown);
    EXPECT_FALSE(flags.IsWin95 || flags.IsWin95OSR2 || flags.IsWin98 || flags.IsWin98SE || flags.IsWinNT3 ||
                 flags.IsWinNT4 || flags.IsWin2000 || flags.IsWinME || flags.IsWinXP);
    EXPECT_TRUE(flags.IsWinNT);
    EXPECT_TRUE(flags.IsWin2000orLater);
    EXPECT_TRUE(flags.IsWinXPorLater);
    EXPECT_FALSE(flags.IsWin98orLater);

    EXPECT_EQ(OSFlagsOf(Version(VER_PLATFORM_WIN32_NT, 5, 1, 2600)).Version, wvWinXP);
    EXPECT_EQ(OSFlagsOf(Version(VER_PLATFORM_WIN32_NT, 5, 1, 2601)).Version, wvUnknown);  // build differs
    flags = OSFlagsOf(Version(VER_PLATFORM_WIN32_NT, 5, 0, 2195));
    EXPECT_TRUE(flags.IsWin2000 && flags.IsWin2000orLater && !flags.IsWinXPorLater);
    EXPECT_EQ(OSFlagsOf(Version(VER_PLATFORM_WIN32_NT, 3, 51, 1057)).Version, wvWinNT3);  // any build
    flags = OSFlagsOf(Version(VER_PLATFORM_WIN32_NT, 4, 0, 1381));
    EXPECT_TRUE(flags.IsWinNT4 && !flags.IsWin2000orLater);

    // 9x: the build's low word counts.
    flags = OSFlagsOf(Version(VER_PLATFORM_WIN32_WINDOWS, 4, 10, MAKELONG(2222, 0x040A), " A "));
    EXPECT_EQ(flags.Version, wvWin98SE);
    EXPECT_TRUE(flags.IsWin98orLater && !flags.IsWinNT);
    EXPECT_EQ(OSFlagsOf(Version(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 1998)).Version, wvWin98);
    flags = OSFlagsOf(Version(VER_PLATFORM_WIN32_WINDOWS, 4, 0, 1111, "B"));
    EXPECT_TRUE(flags.IsWin95OSR2 && !flags.IsWin98orLater);
    EXPECT_EQ(OSFlagsOf(Version(VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950)).Version, wvWin95);
    EXPECT_EQ(OSFlagsOf(Version(VER_PLATFORM_WIN32_WINDOWS, 4, 90, 3000)).Version, wvWinME);

    EXPECT_EQ(DetectWindowsVersion(), OSFlags().Version);
    EXPECT_TRUE(OSFlags().IsWinNT);
}

TEST(KelRegistry, StringsAndWatches) {
    TScratchKey scratch;
    const std::string key = scratch.Path() + "\\made";
    WriteRegString(HKEY_CURRENT_USER, key, "plain", "c:\\x.exe");
    WriteRegString(HKEY_CURRENT_USER, key, "expand", "%windir%\\x.exe");
    DWORD type = 0;
    EXPECT_EQ(RegType(HKEY_CURRENT_USER, key, "plain", type), "c:\\x.exe");
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(RegType(HKEY_CURRENT_USER, key, "expand", type), "%windir%\\x.exe");
    EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
    try {
        WriteRegString(reinterpret_cast<HKEY>(0x7654321), "Software\\Nowhere", "v", "d");
        ADD_FAILURE() << "no error raised";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message, "Unable to open the Software\\Nowhere key");
    }

    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS, &opened), ERROR_SUCCESS);
    TUniqueKey watched(opened);
    TkelRegWatch watch{watched.Get(), false, REG_NOTIFY_CHANGE_LAST_SET};
    TUniqueHandle event(BeginRegWatch(watch));
    ASSERT_TRUE(event.Valid());
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), DWORD(WAIT_TIMEOUT));
    WriteRegString(HKEY_CURRENT_USER, key, "plain", "changed");
    EXPECT_EQ(WaitForSingleObject(event.Get(), 5000), DWORD(WAIT_OBJECT_0));
    ASSERT_TRUE(RenewRegWatch(event.Get(), watch));
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), DWORD(WAIT_TIMEOUT));
    WriteRegString(HKEY_CURRENT_USER, key, "plain", "again");
    EXPECT_EQ(WaitForSingleObject(event.Get(), 5000), DWORD(WAIT_OBJECT_0));

    TkelRegWatch broken{nullptr, false, REG_NOTIFY_CHANGE_LAST_SET};
    SetLastError(0);
    EXPECT_EQ(BeginRegWatch(broken), INVALID_HANDLE_VALUE);
    EXPECT_NE(GetLastError(), DWORD(0));
    EXPECT_FALSE(RenewRegWatch(event.Get(), broken));
    CloseHandleSafe(INVALID_HANDLE_VALUE);  // ignored, no fault
}

TEST(KelAutoRunValues, RegisterAndUnregisterUnderTheUsersRunKey) {
    HKEY root = nullptr;
    std::string path;
    BuildAutoRunKeyPath(aekUserRunOnce, root, path);
    EXPECT_EQ(root, HKEY_CURRENT_USER);
    EXPECT_EQ(path, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
    BuildAutoRunKeyPath(aekServiceRunOnce, root, path);
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(path, "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce");

    BuildAutoRunKeyPath(aekUserRun, root, path);
    const std::string valueName = UniqueName("kelrun") + ".exe";
    const std::string fileName = "c:\\some folder\\" + valueName;
    ASSERT_TRUE(RegisterAutoRun(aekUserRun, fileName));
    DWORD type = 0;
    EXPECT_EQ(RegType(root, path, valueName, type), fileName);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_TRUE(UnregisterAutoRun(aekUserRun, fileName));
    EXPECT_EQ(RegType(root, path, valueName, type), "<missing>");
    EXPECT_TRUE(UnregisterAutoRun(aekUserRun, fileName));  // nothing there: still true

    // On this platform the service keys are refused: nothing written or deleted.
    EXPECT_FALSE(RegisterAutoRun(aekServiceRun, fileName));
    EXPECT_FALSE(UnregisterAutoRun(aekServiceRun, fileName));
    BuildAutoRunKeyPath(aekServiceRun, root, path);
    EXPECT_EQ(RegType(root, path, valueName, type), "<missing>");
}

TEST(KelColors, NamesOfTheLibraryComeFirst) {
    int color = 0;
    ASSERT_TRUE(ColorIdentToInt("clBrown", color));
    EXPECT_EQ(color, 0x003090);
    ASSERT_TRUE(ColorIdentToInt("CLLAVENDER", color));
    EXPECT_EQ(color, 0xFF98C0);
    ASSERT_TRUE(ColorIdentToInt("clBtnFace", color));
    EXPECT_EQ(color, static_cast<int>(clBtnFace));
    EXPECT_FALSE(ColorIdentToInt("clNoSuchColour", color));
    std::string name;
    ASSERT_TRUE(IntToColorIdent(0x609830, name));
    EXPECT_EQ(name, "clSeaGreen");

    // Registered, the framework's conversions know them too, and still know their own.
    RegisterColorNames();
    RegisterColorNames();
    EXPECT_EQ(StringToColor("clGold"), static_cast<TColor>(0x00C8FF));
    EXPECT_EQ(ColorToString(static_cast<TColor>(0x303030)), "clNight");
    EXPECT_EQ(StringToColor("clRed"), clRed);
    EXPECT_EQ(ColorToString(clBtnFace), "clBtnFace");
}
