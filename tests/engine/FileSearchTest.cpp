#include "FileSearch.h"

#include "JclRegistry.h"
#include "JclSysInfo.h"
#include "SysUtils.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

using Paths = std::vector<std::string>;

const char kInstallerFoldersKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\Folders";

// A uniquely named file in the root of drive C:, deleted again.
class TRootFile {
public:
    TRootFile() : name_(UniqueName("hivesweep-root") + ".dll") {
        HANDLE file =
            CreateFileA(Path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    ~TRootFile() { DeleteFileA(Path().c_str()); }
    TRootFile(const TRootFile&) = delete;
    TRootFile& operator=(const TRootFile&) = delete;

    const std::string& Name() const { return name_; }
    std::string Path() const { return "C:\\" + name_; }

private:
    std::string name_;
};

// An empty string value, removed again (the key stays: it may belong to the system).
class TScopedValue {
public:
    TScopedValue(HKEY root, std::string key, std::string name)
        : root_(root), key_(std::move(key)), name_(std::move(name)) {
        HKEY opened = nullptr;
        ok_ = RegCreateKeyExA(root_, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) ==
              ERROR_SUCCESS;
        if (ok_) {
            ok_ = RegSetValueExA(opened, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1) ==
                  ERROR_SUCCESS;
            RegCloseKey(opened);
        }
    }
    ~TScopedValue() {
        HKEY opened = nullptr;
        if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_SET_VALUE, &opened) == ERROR_SUCCESS) {
            RegDeleteValueA(opened, name_.c_str());
            RegCloseKey(opened);
        }
    }
    TScopedValue(const TScopedValue&) = delete;
    TScopedValue& operator=(const TScopedValue&) = delete;

    bool Ok() const { return ok_; }

private:
    HKEY root_;
    std::string key_;
    std::string name_;
    bool ok_ = false;
};

// Points every folder global at its own folder below a fresh temporary folder and
// restores the globals and the working folder afterwards. The working folder is an
// empty folder on drive C:, so bare names never match a file of the test's start folder
// and "\name" means the root of C:.
class FileSearch : public ::testing::Test {
protected:
    void SetUp() override {
        savedPathDirs_.Assign(PathDirs);
        savedSystemDir_ = SystemDir;
        savedWindowsDir_ = WindowsDir;
        savedProgramFilesDir_ = ProgramFilesDir;
        savedCommonFilesDir_ = CommonFilesDir;
        savedFontsDir_ = FontsDir;
        savedMediaPath_ = MediaPath;
        char cwd[MAX_PATH + 1] = {};
        GetCurrentDirectoryA(MAX_PATH, cwd);
        savedCwd_ = cwd;
        ASSERT_TRUE(SetCurrentDirectoryA(dir_.AddFolder("cwd").c_str()));

        SystemDir = Sub("sys");
        WindowsDir = Sub("win");
        ProgramFilesDir = Sub("pf");
        CommonFilesDir = Sub("common");
        FontsDir = Sub("fonts");
        MediaPath = Sub("media");
        PathDirs.Clear();
        PathDirs.Add(Sub("path1"));
        PathDirs.Add(Sub("path2") + "\\");
    }

    void TearDown() override {
        SetCurrentDirectoryA(savedCwd_.c_str());
        SystemDir = savedSystemDir_;
        WindowsDir = savedWindowsDir_;
        ProgramFilesDir = savedProgramFilesDir_;
        CommonFilesDir = savedCommonFilesDir_;
        FontsDir = savedFontsDir_;
        MediaPath = savedMediaPath_;
        PathDirs.Assign(savedPathDirs_);
    }

    std::string Sub(const std::string& relative) const { return dir_.Path() + '\\' + relative; }

    void ClearFolders() {
        SystemDir.clear();
        WindowsDir.clear();
        ProgramFilesDir.clear();
        CommonFilesDir.clear();
        FontsDir.clear();
        MediaPath.clear();
        PathDirs.Clear();
    }

    TTempDir dir_;

private:
    TStringList savedPathDirs_;
    std::string savedSystemDir_, savedWindowsDir_, savedProgramFilesDir_, savedCommonFilesDir_, savedFontsDir_,
        savedMediaPath_, savedCwd_;
};

TEST_F(FileSearch, QuotesSemicolonsCaseAndBlanksAroundAPathAreIgnored) {
    const std::string app = dir_.AddFile("prog\\App.exe");
    EXPECT_TRUE(SmartFileExists(app));
    EXPECT_TRUE(SmartFileExists("  \"" + UpperCase(app) + "\"  "));
    EXPECT_TRUE(SmartFileExists("\"" + app + "\";"));
    EXPECT_TRUE(SmartFileExists(app + ";"));
    EXPECT_FALSE(SmartFileExists(Sub("prog\\Other.exe")));
    EXPECT_FALSE(SmartFileExists(Sub("prog")));  // a folder is not a file
}

TEST_F(FileSearch, EmptyOrBlankInputIsFalse) {
    for (const char* text : {"", " ", "\t \t", "\"", "\"\"", ";", "\";", "\\", "%1", " /s", " -x"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(SmartFileExists(text));
    }
}

TEST_F(FileSearch, FixedVariablesNameTheFolderGlobalsInAnyCase) {
    dir_.AddFile("win\\notepad.exe");
    dir_.AddFile("pf\\prog\\app.exe");
    dir_.AddFile("common\\shared\\lib.dll");
    // The example of a quoted path with a trailing semicolon.
    EXPECT_TRUE(SmartFileExists("\"%SystemRoot%\\notepad.exe\";"));
    EXPECT_TRUE(SmartFileExists("%SYSTEMROOT%\\NOTEPAD.EXE"));
    EXPECT_TRUE(SmartFileExists("%systemroot%\\notepad.exe /s"));
    EXPECT_TRUE(SmartFileExists("%ProgramFiles%\\prog\\app.exe"));
    EXPECT_TRUE(SmartFileExists("%PROGRAMFILES%\\Prog\\App.exe -silent"));
    EXPECT_TRUE(SmartFileExists("%CommonProgramFiles%\\shared\\lib.dll"));
    EXPECT_TRUE(SmartFileExists("%commonprogramfiles%\\SHARED\\lib.dll"));
    EXPECT_FALSE(SmartFileExists("%SystemRoot%\\missing.exe"));
    EXPECT_FALSE(SmartFileExists("%ProgramFiles%\\notepad.exe"));
}

TEST_F(FileSearch, OtherEnvironmentVariablesAreExpanded) {
    dir_.AddFile("envdir\\app.exe");
    const std::string var = UniqueName("HIVESWEEP_DIR");
    TScopedEnvVar env(var, Sub("envdir"));
    EXPECT_TRUE(SmartFileExists("%" + var + "%\\app.exe"));
    EXPECT_TRUE(SmartFileExists("\"%" + LowerCase(var) + "%\\APP.EXE\""));
    EXPECT_TRUE(SmartFileExists("%" + var + "%\\app.exe %1"));
    EXPECT_FALSE(SmartFileExists("%" + var + "%\\other.exe"));
    EXPECT_FALSE(SmartFileExists("%" + UniqueName("HIVESWEEP_UNSET") + "%\\app.exe"));
}

TEST_F(FileSearch, ArgumentsAfterTheFileAreCut) {
    const std::string app = dir_.AddFile("prog\\app.exe");
    for (const char* arguments : {" -silent", " /s", "/s", " %1", " /background -x %1", "   "}) {
        SCOPED_TRACE(arguments);
        EXPECT_TRUE(SmartFileExists(app + arguments));
        EXPECT_FALSE(SmartFileExists(Sub("prog\\missing.exe") + arguments));
    }
    // A bare name with arguments is still searched through the folders.
    dir_.AddFile("sys\\tool.exe");
    EXPECT_TRUE(SmartFileExists("tool.exe /q"));
    EXPECT_TRUE(SmartFileExists("tool.exe -q"));
    EXPECT_TRUE(SmartFileExists("tool.exe %1"));
}

TEST_F(FileSearch, InstallerCommandMatchesAnExistingInstallerFolder) {
    const std::string product = "{" + LowerCase(UniqueName("hivesweep-product")) + "}";
    const std::string command = "MsiExec.exe /I" + UpperCase(product);
    EXPECT_FALSE(SmartFileExists(command));

    {
        // Registered, but the folder does not exist.
        TScopedValue missing(HKEY_LOCAL_MACHINE, kInstallerFoldersKey, Sub("gone\\" + product) + "\\");
        ASSERT_TRUE(missing.Ok());
        EXPECT_FALSE(SmartFileExists(command));
    }
    const std::string folder = dir_.AddFolder("installed\\" + product);
    {
        // The names are matched case-sensitively against the lower-cased command.
        TScopedValue upper(HKEY_LOCAL_MACHINE, kInstallerFoldersKey,
                           Sub("installed\\") + UpperCase(product) + "\\");
        ASSERT_TRUE(upper.Ok());
        EXPECT_FALSE(SmartFileExists(command));
    }
    {
        TScopedValue found(HKEY_LOCAL_MACHINE, kInstallerFoldersKey, folder + "\\");
        ASSERT_TRUE(found.Ok());
        EXPECT_TRUE(SmartFileExists(command));
        EXPECT_TRUE(SmartFileExists("msiexec /i" + product));
        EXPECT_FALSE(SmartFileExists("msiexec /x" + product));
    }
    EXPECT_FALSE(SmartFileExists(command));
}

TEST_F(FileSearch, MissingFolderPartIsFalseEvenWhenTheSystemFolderHasTheName) {
    const std::string name = UniqueName("lib") + ".dll";
    dir_.AddFile("sys\\" + name);
    EXPECT_TRUE(SmartFileExists(name));
    EXPECT_FALSE(SmartFileExists(Sub("nosuch\\" + name)));
    EXPECT_FALSE(SmartFileExists("nosuch\\" + name));
    EXPECT_FALSE(SmartFileExists(Sub("nosuch\\" + name) + " /s"));
    // A relative folder part is not looked up below the system folders either.
    dir_.AddFile("sys\\sub\\" + name);
    EXPECT_FALSE(SmartFileExists("sub\\" + name));
}

TEST_F(FileSearch, MissingSystemFileIsFoundInSysWow64) {
    const std::string name = UniqueName("lib") + ".dll";
    dir_.AddFile("win\\SysWOW64\\" + name);
    EXPECT_TRUE(SmartFileExists(SystemDir + "\\" + name));
    EXPECT_TRUE(SmartFileExists(UpperCase(SystemDir) + "\\" + name + " /s"));
    EXPECT_TRUE(SmartFileExists(name));
    EXPECT_FALSE(SmartFileExists(Sub("other\\" + name)));
    EXPECT_FALSE(SmartFileExists(SystemDir + "\\" + UniqueName("missing") + ".dll"));
}

TEST_F(FileSearch, EmptyFoldersNeverProbeTheDriveRoot) {
    TRootFile root;
    ASSERT_TRUE(FileExists(root.Path()));
    char full[MAX_PATH + 1] = {};
    GetFullPathNameA(("\\" + root.Name()).c_str(), MAX_PATH, full, nullptr);
    ASSERT_TRUE(SameText(full, root.Path())) << "the working folder is not on C:";

    ClearFolders();
    PathDirs.Add("");
    EXPECT_FALSE(SmartFileExists(root.Name()));
    EXPECT_FALSE(FontFileExists(root.Name()));
    EXPECT_FALSE(SoundFileExists(root.Name()));
    EXPECT_FALSE(StartupFileExists(root.Name()));

    // A real entry for the drive root does find it.
    PathDirs.Add("C:\\");
    EXPECT_TRUE(SmartFileExists(root.Name()));
}

// Every folder a bare name is looked up in.
struct TBareNameCase {
    const char* label;
    const char* folder;  // below the fixture's folder
};

class FileSearchBareName : public FileSearch, public ::testing::WithParamInterface<TBareNameCase> {};

TEST_P(FileSearchBareName, IsFoundInTheFolder) {
    const std::string name = UniqueName("bare") + ".dll";
    EXPECT_FALSE(SmartFileExists(name));
    dir_.AddFile(std::string(GetParam().folder) + "\\" + name);
    EXPECT_TRUE(SmartFileExists(name));
    EXPECT_TRUE(SmartFileExists(" \"" + UpperCase(name) + "\" "));
    EXPECT_TRUE(SmartFileExists(name + " /s"));
    EXPECT_FALSE(SmartFileExists(UniqueName("bare") + ".dll"));
}

INSTANTIATE_TEST_SUITE_P(Folders, FileSearchBareName,
                         ::testing::Values(TBareNameCase{"SystemDir", "sys"},
                                           TBareNameCase{"WindowsSystem32", "win\\System32"},
                                           TBareNameCase{"WindowsDir", "win"},
                                           TBareNameCase{"WindowsFonts", "win\\Fonts"},
                                           TBareNameCase{"MediaPath", "media"},
                                           TBareNameCase{"WindowsInf", "win\\Inf"},
                                           TBareNameCase{"CommonFilesShared", "common\\Borland Shared\\BDE"},
                                           TBareNameCase{"WindowsSystem", "win\\System"},
                                           TBareNameCase{"FontsDir", "fonts"},
                                           TBareNameCase{"FirstPathDir", "path1"},
                                           TBareNameCase{"PathDirWithBackslash", "path2"}),
                         [](const ::testing::TestParamInfo<TBareNameCase>& info) { return info.param.label; });

TEST_F(FileSearch, InitialisationReadsPathAndSystemFolders) {
    const std::string name = UniqueName("onpath") + ".exe";
    dir_.AddFile("second\\" + name);
    {
        TScopedEnvVar path("PATH", Sub("first") + ";;" + Sub("second") + "\\;");
        InitEngineFolders();
    }
    ASSERT_EQ(PathDirs.Count(), 3);
    EXPECT_EQ(PathDirs[0], Sub("first"));
    EXPECT_EQ(PathDirs[1], "");
    EXPECT_EQ(PathDirs[2], Sub("second") + "\\");
    EXPECT_TRUE(SmartFileExists(name));

    EXPECT_EQ(SystemDir, GetSystemFolder());
    EXPECT_EQ(WindowsDir, GetWindowsFolder());
    EXPECT_EQ(FontsDir, GetFontsFolder());
    EXPECT_EQ(ProgramFilesDir, GetProgramFilesFolder());
    EXPECT_EQ(CommonFilesDir, GetCommonFilesFolder());
    EXPECT_EQ(MediaPath,
              ReadRegistryStringDef(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "MediaPath", ""));
}

TEST_F(FileSearch, FontFilesAreFoundInTheFontsFolder) {
    const std::string font = dir_.AddFile("fonts\\Face.ttf");
    EXPECT_TRUE(FontFileExists("Face.ttf"));
    EXPECT_TRUE(FontFileExists("FACE.TTF"));
    EXPECT_TRUE(FontFileExists(font));
    EXPECT_FALSE(FontFileExists("sub\\Face.ttf"));
    EXPECT_FALSE(FontFileExists("Other.ttf"));
}

TEST_F(FileSearch, SoundFilesAreFoundBelowTheMediaFolder) {
    const std::string ding = dir_.AddFile("media\\ding.wav");
    dir_.AddFile("media\\sub\\chime.wav");
    EXPECT_TRUE(SoundFileExists("ding.wav"));
    EXPECT_TRUE(SoundFileExists("sub\\chime.wav"));
    EXPECT_TRUE(SoundFileExists(ding));
    EXPECT_FALSE(SoundFileExists("other.wav"));
    EXPECT_FALSE(SoundFileExists("sub\\ding.wav"));
    MediaPath.clear();
    EXPECT_TRUE(SoundFileExists(ding));
    EXPECT_FALSE(SoundFileExists("sub\\chime.wav"));
}

TEST_F(FileSearch, StartupCommandsAreCleanedOfQuotesArgumentsAndRundll32) {
    const std::string lib = dir_.AddFile("x\\lib.dll");
    const std::string app = dir_.AddFile("x\\app.exe");
    const std::string missing = Sub("x\\missing.dll");
    dir_.AddFile("sys\\rundll32.exe");
    for (const std::string& command :
         {"rundll32.exe " + lib + ",Entry", "RunDll32.EXE   " + lib + " , Entry arg", "rundll32 " + lib + ",Entry",
          "rundll32.exe \"" + lib + "\",Entry", "\"" + app + "\"", "\"" + app + "\" /min", app + ",1",
          "  " + app + " /background  ", std::string("rundll32.exe")}) {
        SCOPED_TRACE(command);
        EXPECT_TRUE(StartupFileExists(command));
    }
    for (const std::string& command : {"rundll32.exe " + missing + ",Entry", "rundll32 \"" + missing + "\",Entry",
                                       "\"" + missing + "\"", missing + " /s", std::string(), std::string(" ")}) {
        SCOPED_TRACE(command);
        EXPECT_FALSE(StartupFileExists(command));
    }
}

TEST(FileSearchDrivePath, NeedsExactlyOneLocalDriveFromCToZ) {
    for (const char* data : {"c:\\x", "C:\\x", "d:\\", "z:\\x", "Z:\\Program Files\\x.exe", "\"c:\\x\\a.exe\" /s",
                             "run m:\\x"}) {
        SCOPED_TRACE(data);
        EXPECT_TRUE(IsLocalDrivePath(data));
    }
    for (const char* data : {"", "x", "a:\\x", "A:\\x", "b:\\x", "B:\\x", "\\\\server\\share", "\\\\server\\share\\x",
                             "c:\\x d:\\y", "c:\\x;c:\\y", ":\\x", ":\\x c:\\y", "c:x", "c:/x", "1:\\x", "@:\\x",
                             "[:\\x", "/:\\x"}) {
        SCOPED_TRACE(data);
        EXPECT_FALSE(IsLocalDrivePath(data));
    }
}

TEST(FileSearchDrivePath, NextDrivePosCountsCharactersBeforeTheNextDriveLetter) {
    EXPECT_EQ(NextDrivePos(2, "c:\\a d:\\b"), 5);
    EXPECT_EQ(NextDrivePos(7, "c:\\a d:\\b"), 9);
    EXPECT_EQ(NextDrivePos(2, "c:\\abc"), 6);
    EXPECT_EQ(NextDrivePos(0, "c:\\x"), 0);
    EXPECT_EQ(NextDrivePos(0, ""), 0);
    EXPECT_EQ(NextDrivePos(2, "c:"), 2);
}

TEST_F(FileSearch, ExpandPathVarsStripsOnceAndReplacesTheFixedVariables) {
    EXPECT_EQ(ExpandPathVars(""), "");
    for (const char* one : {";", "\"", "\\", "x"})
        EXPECT_EQ(ExpandPathVars(one), one);
    EXPECT_EQ(ExpandPathVars("\";"), "");
    EXPECT_EQ(ExpandPathVars("\"\\"), "");
    EXPECT_EQ(ExpandPathVars("\"c:\\x\\\";"), "c:\\x");
    EXPECT_EQ(ExpandPathVars("c:\\x\\\\"), "c:\\x\\");
    EXPECT_EQ(ExpandPathVars("c:\\x;;"), "c:\\x;");
    EXPECT_EQ(ExpandPathVars("\"c:\\x;\""), "c:\\x;");
    EXPECT_EQ(ExpandPathVars("%SystemRoot%\\a;%SYSTEMROOT%\\b"), WindowsDir + "\\a;" + WindowsDir + "\\b");
    EXPECT_EQ(ExpandPathVars("\"%programfiles%\\a\";"), ProgramFilesDir + "\\a");
    EXPECT_EQ(ExpandPathVars("%CommonProgramFiles%\\a %ProgramFiles%"), CommonFilesDir + "\\a " + ProgramFilesDir);
    EXPECT_EQ(ExpandPathVars("%windir%\\a"), "%windir%\\a");
}

TEST(FileSearchPathList, ExtractFileFromCommandCutsAfterTheExtension) {
    Paths paths;
    EXPECT_EQ(ExtractFileFromCommand("c:\\x\\app.exe /s", paths), "c:\\x\\app.exe");
    EXPECT_EQ(ExtractFileFromCommand("c:\\x\\lib.dll,entry", paths), "c:\\x\\lib.dll");
    EXPECT_EQ(ExtractFileFromCommand("c:\\x\\app.exe\" /s", paths), "c:\\x\\app.exe");
    EXPECT_EQ(ExtractFileFromCommand("c:\\x\\data\" -y", paths), "c:\\x\\data");
    EXPECT_EQ(ExtractFileFromCommand("c:\\x\\a.dll.exe", paths), "c:\\x\\a.dll");
    EXPECT_EQ(ExtractFileFromCommand("c:\\x\\filter.ax,1", paths), "c:\\x\\filter.ax");
    EXPECT_EQ(ExtractFileFromCommand("c:\\x\\folder\\ /s", paths), "c:\\x\\folder\\ ");
    EXPECT_EQ(ExtractFileFromCommand("C:\\X\\APP.EXE /S", paths), "C:\\X\\APP.EXE ");
    EXPECT_EQ(paths, (Paths{"c:\\x\\app.exe", "c:\\x\\lib.dll", "c:\\x\\app.exe", "c:\\x\\data",
                            "c:\\x\\a.dll", "c:\\x\\filter.ax", "c:\\x\\folder", "C:\\X\\APP.EXE"}));
}

TEST(FileSearchPathList, SplitsDataIntoItsPaths) {
    EXPECT_EQ(SplitPathList("c:\\prog\\app.exe /background"), Paths{"c:\\prog\\app.exe"});
    EXPECT_EQ(SplitPathList("  C:\\Prog\\App.EXE -silent "), Paths{"c:\\prog\\app.exe"});
    EXPECT_EQ(SplitPathList("\"c:\\prog\\app.exe\" /s"), Paths{"c:\\prog\\app.exe"});
    EXPECT_EQ(SplitPathList("\"c:\\prog\\data\\\""), Paths{"c:\\prog\\data"});
    EXPECT_EQ(SplitPathList("\"c:\\prog\\data\" /s"), Paths{"c:\\prog\\data"});
    EXPECT_EQ(SplitPathList("c:\\a\\one.exe c:\\b\\two.dll"), (Paths{"c:\\a\\one.exe", "c:\\b\\two.dll"}));
    EXPECT_EQ(SplitPathList("c:\\a\\one.exe;d:\\b\\two.ocx,1"), (Paths{"c:\\a\\one.exe", "d:\\b\\two.ocx"}));
    EXPECT_EQ(SplitPathList("c:\\a\\1.exe c:\\b\\2.exe c:\\c\\3.exe"),
              (Paths{"c:\\a\\1.exe", "c:\\b\\2.exe", "c:\\c\\3.exe"}));
    EXPECT_EQ(SplitPathList("c:\\a\\1.exe c:\\a\\1.exe"), Paths{"c:\\a\\1.exe"});
    EXPECT_EQ(SplitPathList("app.exe /s"), Paths{"app.exe"});
}

TEST(FileSearchPathList, MalformedDataEnds) {
    for (const char* data : {"/:\\x", "\":\\x", "\":\\\\x", "x\":\\y", ":\\", "\":\\", "a\"b:\\c\":\\d"}) {
        SCOPED_TRACE(data);
        SplitPathList(data);
        EXPECT_FALSE(PathListExists(data));
    }
}

TEST_F(FileSearch, PathListExistsNeedsEveryPathToExist) {
    const std::string app = dir_.AddFile("prog\\app.exe");
    const std::string lib = dir_.AddFile("lib\\lib.dll");
    const std::string folder = dir_.AddFolder("data");
    const std::string missing = Sub("prog\\missing.exe");
    dir_.AddFile("win\\tool.exe");

    EXPECT_TRUE(PathListExists(app + " /background"));
    EXPECT_TRUE(PathListExists(UpperCase(app)));
    EXPECT_TRUE(PathListExists(folder));
    EXPECT_TRUE(PathListExists("\"" + folder + "\\\""));
    EXPECT_TRUE(PathListExists(app + " " + lib + ",Entry"));
    EXPECT_TRUE(PathListExists(app + ";" + folder));
    EXPECT_TRUE(PathListExists("%SystemRoot%\\tool.exe"));
    EXPECT_TRUE(PathListExists("tool.exe /q"));

    EXPECT_FALSE(PathListExists(missing));
    EXPECT_FALSE(PathListExists(app + " " + missing));
    EXPECT_FALSE(PathListExists(missing + " " + app));
    EXPECT_FALSE(PathListExists(Sub("nofolder")));
    EXPECT_FALSE(PathListExists(""));
    EXPECT_FALSE(PathListExists("   "));
}

}  // namespace
