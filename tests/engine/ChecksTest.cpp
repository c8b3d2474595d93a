// The checks and the fix run against the real registry and file system. Wine's own registry
// already holds stale entries: the tests compare only the findings their planting added and
// fix only what they planted.

#include "FileSearch.h"
#include "RegistryWork.h"
#include "TestSupport.h"
#include "Undos.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kSharedDLLsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const std::string kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\";  // as findings name it
const std::string kAppPathsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
const std::string kNtFontsKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
const std::string kFontsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Fonts";

struct TFinding {
    HKEY root;
    std::string key, valueName, value, description;
    auto operator<=>(const TFinding&) const = default;
};

void PrintTo(const TFinding& f, std::ostream* os) {
    *os << "{" << RootKeyName(f.root) << " | " << f.key << " | " << f.valueName << " | " << f.value << " | "
        << f.description << "}";
}

bool KeyExists(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool ValueExists(HKEY root, const std::string& path, const std::string& name) {
    return RegGetValueA(root, path.c_str(), name.c_str(), RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::vector<std::string> ValueNames(HKEY root, const std::string& path) {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    char name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

// A key made for a test. Keys it had to create are deleted with their trees afterwards;
// values it wrote into a key that existed are deleted or given back their old data.
class TPlanted {
public:
    TPlanted(HKEY root, std::string path) : root_(root), path_(std::move(path)) {
        size_t at = 0;
        do {
            at = path_.find('\\', at + 1);
            const std::string prefix = path_.substr(0, at);
            if (!KeyExists(root_, prefix)) {
                created_ = prefix;
                break;
            }
        } while (at != std::string::npos);
        HKEY key = nullptr;
        if (RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
            ERROR_SUCCESS)
            RegCloseKey(key);
    }
    ~TPlanted() {
        for (const TOldValue& old : oldValues_) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(root_, path_.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
                continue;
            if (old.existed)
                RegSetValueExA(key, old.name.c_str(), 0, old.type, old.data.data(), static_cast<DWORD>(old.data.size()));
            else
                RegDeleteValueA(key, old.name.c_str());
            RegCloseKey(key);
        }
        if (!created_.empty()) {
            RegDeleteTreeA(root_, created_.c_str());
            RegDeleteKeyA(root_, created_.c_str());
        }
    }
    TPlanted(const TPlanted&) = delete;
    TPlanted& operator=(const TPlanted&) = delete;

    const std::string& Path() const { return path_; }
    // Sub-keys only below a key this object created.
    void Set(const std::string& subKey, const std::string& name, DWORD type, const void* data, DWORD size) {
        const std::string path = subKey.empty() ? path_ : path_ + '\\' + subKey;
        if (subKey.empty())
            Remember(name);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(root_, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void String(const std::string& name, const std::string& value, const std::string& subKey = "",
                DWORD type = REG_SZ) {
        Set(subKey, name, type, value.c_str(), static_cast<DWORD>(value.size() + 1));
    }
    void Dword(const std::string& name, DWORD value, const std::string& subKey = "") {
        Set(subKey, name, REG_DWORD, &value, sizeof value);
    }

private:
    struct TOldValue {
        std::string name;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };
    void Remember(const std::string& name) {
        for (const TOldValue& old : oldValues_)
            if (old.name == name)
                return;
        TOldValue old{name, false, REG_NONE, std::vector<BYTE>(65536)};
        DWORD size = static_cast<DWORD>(old.data.size());
        old.existed = RegGetValueA(root_, path_.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &old.type,
                                   old.data.data(), &size) == ERROR_SUCCESS;
        old.data.resize(size);
        oldValues_.push_back(std::move(old));
    }

    HKEY root_;
    std::string path_;
    std::string created_;
    std::vector<TOldValue> oldValues_;
};

// One scan thread with its events recorded; WaitFor runs them on this thread.
struct TScan {
    TRegistryCheckThread thread;
    std::vector<std::string> statuses;
    std::vector<std::pair<int, int>> progress;  // Total, Position
    std::vector<std::string> events;            // OnStatus, OnErrorFixed and OnCleanFinished in order
    std::vector<TRegistryError*> fixed;
    int finished = 0;
    std::string finalText;
    std::function<void()> onStatus, onErrorFound;

    explicit TScan(TScanOptions options) {
        thread.ScanOptions = options;
        thread.OnStatus = [this](TObject*) {
            statuses.push_back(thread.StatusText);
            events.push_back("status:" + thread.StatusText);
            if (onStatus)
                onStatus();
        };
        thread.OnProgress = [this](TObject*) { progress.emplace_back(thread.Total, thread.Position); };
        thread.OnErrorFound = [this](TObject*) {
            if (onErrorFound)
                onErrorFound();
        };
        thread.OnScanFinished = [this](TObject*) {
            ++finished;
            finalText = thread.StatusText;
        };
        thread.OnErrorFixed = [this](TObject*) {
            fixed.push_back(thread.CurrentError);
            events.push_back("fixed:" + thread.CurrentError->Key);
        };
        thread.OnCleanFinished = [this](TObject*) { events.push_back("clean:" + thread.StatusText); };
    }
    TScan& Run() {
        thread.Start();
        thread.WaitFor();
        return *this;
    }
    TRegistryError* Record(int i) const { return static_cast<TRegistryError*>(thread.Errors.Objects(i)); }
    std::vector<TFinding> Findings() const {
        std::vector<TFinding> result;
        for (int i = 0; i < thread.Errors.Count(); ++i) {
            const TRegistryError* e = Record(i);
            EXPECT_EQ(thread.Errors[i], e->Description);
            EXPECT_EQ(e->NewData, "");
            result.push_back({e->RootKey, e->Key, e->ValueName, e->Value, e->Description});
        }
        return result;
    }
};

std::vector<TFinding> Sorted(std::vector<TFinding> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// What after holds beyond before, sorted.
std::vector<TFinding> Added(const std::vector<TFinding>& before, const std::vector<TFinding>& after) {
    std::vector<TFinding> a = Sorted(before), b = Sorted(after), added;
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(added));
    return added;
}

// Points the run's undo journal at a folder of the test and gives it back afterwards.
class TUndoRedirect {
public:
    explicit TUndoRedirect(const std::string& folder)
        : folder_(UndoFile.Folder), fileName_(UndoFile.FileName), stream_(std::move(UndoFile.Stream)) {
        lines_.Assign(UndoFile.Lines);
        UndoFile.Folder = folder;
        UndoFile.FileName.clear();
        UndoFile.Lines.Clear();
    }
    ~TUndoRedirect() {
        UndoFile.Stream = std::move(stream_);
        UndoFile.FileName = fileName_;
        UndoFile.Folder = folder_;
        UndoFile.Lines.Assign(lines_);
    }
    TUndoRedirect(const TUndoRedirect&) = delete;
    TUndoRedirect& operator=(const TUndoRedirect&) = delete;

private:
    std::string folder_, fileName_;
    std::unique_ptr<TFileStream> stream_;
    TStringList lines_;
};

class Checks : public ::testing::Test {
protected:
    void SetUp() override {
        savedFonts_ = FontsDir;
        savedMedia_ = MediaPath;
        FontsDir = fonts.Path();
        MediaPath = media.Path();
    }
    void TearDown() override {
        FontsDir = savedFonts_;
        MediaPath = savedMedia_;
    }
    // A path on C: that does not exist.
    std::string Missing(const std::string& name) const { return "C:\\" + u + "\\" + name; }
    std::vector<TFinding> Baseline(TScanOptions options) { return TScan(options).Run().Findings(); }

    const std::string u = UniqueName("hsw");
    TTempDir files, fonts, media;

private:
    std::string savedFonts_, savedMedia_;
};

TEST_F(Checks, FileExtensions) {
    const std::vector<TFinding> before = Baseline(soFileExtensions);
    const std::string a = "." + u + "a", b = "." + u + "b", c = "." + u + "c", d = "." + u + "d", e = "." + u + "e";
    const std::string goneType = "hsw/" + u + "-gone", okType = "hsw/" + u + "-ok";
    const std::string goneClsid = "{" + u + "-gone}", wowClsid = "{" + u + "-wow}", nativeClsid = "{" + u + "-n}";

    // Missing ProgId: one finding, although content type and handler are broken too.
    TPlanted extA(HKEY_CLASSES_ROOT, a);
    extA.String("", u + ".Gone");
    extA.String("Content Type", goneType);
    extA.String("", goneClsid, "PersistentHandler");
    // No ProgId: content type and handler each make a finding.
    TPlanted extB(HKEY_CLASSES_ROOT, b);
    extB.String("Content Type", goneType);
    extB.String("", goneClsid, "PersistentHandler");
    // ProgId and handler registered only in the 32-bit view; content type present.
    TPlanted wowProgId(HKEY_CLASSES_ROOT, "Wow6432Node\\" + u + ".Wow");
    TPlanted wowHandler(HKEY_CLASSES_ROOT, "Wow6432Node\\CLSID\\" + wowClsid);
    TPlanted mime(HKEY_CLASSES_ROOT, "MIME\\Database\\Content type\\" + okType);
    TPlanted extC(HKEY_CLASSES_ROOT, c);
    extC.String("", u + ".Wow");
    extC.String("Content Type", okType);
    extC.String("", wowClsid, "PersistentHandler");
    // Existing ProgId, empty handler.
    TPlanted progId(HKEY_CLASSES_ROOT, u + ".Real");
    TPlanted extD(HKEY_CLASSES_ROOT, d);
    extD.String("", u + ".Real");
    extD.String("", "", "PersistentHandler");
    // Handler in the native view.
    TPlanted nativeHandler(HKEY_CLASSES_ROOT, "CLSID\\" + nativeClsid);
    TPlanted extE(HKEY_CLASSES_ROOT, e);
    extE.String("", nativeClsid, "PersistentHandler");

    const HKEY cr = HKEY_CLASSES_ROOT;
    EXPECT_EQ(Added(before, TScan(soFileExtensions).Run().Findings()),
              Sorted({{cr, "\\" + a, "", u + ".Gone", "ProgId registry key does not exist"},
                      {cr, "\\" + b, "Content Type", goneType, "Content Type registry key does not exist"},
                      {cr, "\\" + b + "\\PersistentHandler", "", goneClsid,
                       "PersistentHandler registry key does not exist"},
                      {cr, "\\" + d + "\\PersistentHandler", "", "", "PersistentHandler registry key does not exist"}}));
}

TEST_F(Checks, SharedDLLsWithProgressAndErrorGuard) {
    const std::vector<TFinding> before = Baseline(soSharedDLLs);
    TPlanted shared(HKEY_LOCAL_MACHINE, kSharedDLLsKey);
    const std::string used = files.AddFile("used.dll"), zero = files.AddFile("zero.dll");
    const std::string bad = files.AddFile("zz-bad.dll");
    shared.Dword(used, 1);
    shared.Dword(zero, 0);
    for (int i = 1; i <= 5; ++i)
        shared.Dword(Missing("gone" + std::to_string(i) + ".dll"), 3);
    // A count that is no number ends the check quietly; what follows is not examined.
    shared.String(bad, "1");
    const std::string after = "C:\\zzz-" + u + "\\after.dll";
    shared.Dword(after, 1);

    const std::vector<std::string> names = ValueNames(HKEY_LOCAL_MACHINE, kSharedDLLsKey);
    const int badAt = static_cast<int>(std::find(names.begin(), names.end(), bad) - names.begin());
    const int afterAt = static_cast<int>(std::find(names.begin(), names.end(), after) - names.begin());
    ASSERT_LT(badAt, afterAt);
    ASSERT_LT(afterAt, static_cast<int>(names.size()));

    TScan scan(soSharedDLLs);
    scan.Run();
    const HKEY lm = HKEY_LOCAL_MACHINE;
    std::vector<TFinding> expected{{lm, kSharedDLLsKey, zero, zero + "(0)", "SharedDLL not used"}};
    for (int i = 1; i <= 5; ++i) {
        const std::string gone = Missing("gone" + std::to_string(i) + ".dll");
        expected.push_back({lm, kSharedDLLsKey, gone, gone, "SharedDLL file does not exist"});
    }
    EXPECT_EQ(Added(before, scan.Findings()), Sorted(expected));

    std::vector<std::string> statuses;
    std::vector<std::pair<int, int>> progress;
    for (int i = 0; i <= badAt; ++i) {
        if (i % 5 == 0)
            statuses.push_back("Examining SharedDLLs: " + names[i]);
        if (i < badAt)
            progress.emplace_back(static_cast<int>(names.size()), i);
    }
    EXPECT_EQ(scan.statuses, statuses);
    EXPECT_EQ(scan.progress, progress);
    EXPECT_EQ(scan.finished, 1);
    EXPECT_EQ(scan.finalText, std::to_string(scan.thread.Errors.Count()) + " registry error(s) found");
}

TEST_F(Checks, StartupRunAndAppPaths) {
    const std::vector<TFinding> before = Baseline(soStartupRun | soAppPaths);
    const std::string tool = files.AddFile("tool.exe");
    TPlanted run(HKEY_LOCAL_MACHINE, kRunKey.substr(0, kRunKey.size() - 1));
    run.String(u + "-a", "");
    run.String(u + "-b", "\"" + Missing("gone.exe") + "\" /min");
    run.String(u + "-c", "\"" + tool + "\" /x");
    run.String("", Missing("default.exe"));  // the default value is never examined

    TPlanted emptyApp(HKEY_LOCAL_MACHINE, kAppPathsKey + u + "-a.exe");
    emptyApp.String("", "");
    // A bare name found through the folders of "Path".
    files.AddFile("apps\\" + u + "-b.exe");
    TPlanted bareApp(HKEY_LOCAL_MACHINE, kAppPathsKey + u + "-b.exe");
    bareApp.String("", u + "-b.exe");
    bareApp.String("Path", Missing("nowhere") + "; \"" + files.Path() + "\\apps\" ;");
    TPlanted goneApp(HKEY_LOCAL_MACHINE, kAppPathsKey + u + "-c.exe");
    goneApp.String("", Missing("c.exe"));
    goneApp.String("Path", files.Path());

    const HKEY lm = HKEY_LOCAL_MACHINE;
    EXPECT_EQ(Added(before, TScan(soStartupRun | soAppPaths).Run().Findings()),
              Sorted({{lm, kRunKey, u + "-a", "", "Startup file does not exist"},
                      {lm, kRunKey, u + "-b", "\"" + Missing("gone.exe") + "\" /min", "Startup file does not exist"},
                      {lm, kAppPathsKey + u + "-a.exe", "", "", "Application does not exists"},
                      {lm, kAppPathsKey + u + "-c.exe", "", Missing("c.exe"), "Application does not exists"}}));
}

TEST_F(Checks, HelpFilesAndFonts) {
    const std::vector<TFinding> before = Baseline(soHelpFiles | soFonts);
    TPlanted html(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\HTML Help");
    files.AddFile(u + "-a.chm");
    html.String(u + "-a.chm", "\"" + files.Path() + "\"");  // quoted folder holding the file
    html.String(u + "-b.chm", "\"" + Missing("Docs") + "\"");
    TPlanted help(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\Help");
    help.String(u + "-c.hlp", Missing("Help"));

    fonts.AddFile(u + "-a.ttf");
    TPlanted ntFonts(HKEY_LOCAL_MACHINE, kNtFontsKey);
    ntFonts.String(u + " A (TrueType)", u + "-a.ttf");
    ntFonts.String(u + " B (TrueType)", u + "-b.ttf");
    TPlanted winFonts(HKEY_LOCAL_MACHINE, kFontsKey);
    winFonts.String(u + " C", Missing("c.fon"));

    const HKEY lm = HKEY_LOCAL_MACHINE;
    EXPECT_EQ(
        Added(before, TScan(soHelpFiles | soFonts).Run().Findings()),
        Sorted({{lm, "SOFTWARE\\Microsoft\\Windows\\HTML Help", u + "-b.chm", Missing("Docs\\" + u + "-b.chm"),
                 "HTML Help file does not exists"},
                {lm, "SOFTWARE\\Microsoft\\Windows\\Help", u + "-c.hlp", Missing("Help\\" + u + "-c.hlp"),
                 "Help file does not exists"},
                {lm, kNtFontsKey, u + " B (TrueType)", u + " B (TrueType) - " + u + "-b.ttf", "Font file does not exists"},
                {lm, kFontsKey, u + " C", u + " C - " + Missing("c.fon"), "Font file does not exists"}}));
}

const std::string kUserApps = "AppEvents\\Schemes\\Apps\\";
const std::string kDefaultApps = ".DEFAULT\\AppEvents\\Schemes\\Apps\\";

TEST_F(Checks, Sounds) {
    const std::vector<TFinding> before = Baseline(soSounds);
    media.AddFile(u + "-here.wav");
    TPlanted user(HKEY_CURRENT_USER, kUserApps + u);
    user.String("", Missing("gone1.wav"), "Ev1\\.Current");
    user.String("", u + "-here.wav", "Ev1\\.Default");  // found in the media folder
    user.String("", "", "Ev2\\.Current");               // empty: not examined
    user.String("", Missing("gone2.wav"), "Ev2\\.Default");
    TPlanted users(HKEY_USERS, kDefaultApps + u);
    users.String("", Missing("gone3.wav"), "Ev1\\.Current");

    TScan scan(soSounds);
    scan.Run();
    const std::string app = u + "\\";
    EXPECT_EQ(Added(before, scan.Findings()),
              Sorted({{HKEY_CURRENT_USER, kUserApps + app + "Ev1\\.Current", "", Missing("gone1.wav"),
                       "Current sound file in current user settings does not exists"},
                      {HKEY_CURRENT_USER, kUserApps + app + "Ev2\\.Default", "", Missing("gone2.wav"),
                       "Default sound file in current user settings does not exists"},
                      {HKEY_USERS, kDefaultApps + app + "Ev1\\.Current", "", Missing("gone3.wav"),
                       "Current sound file in users settings does not exists"}}));
    // Every event has its status line.
    auto at = std::find(scan.statuses.begin(), scan.statuses.end(), "Examining current user sounds: Ev1");
    ASSERT_NE(at, scan.statuses.end());
    ASSERT_NE(at + 1, scan.statuses.end());
    EXPECT_EQ(at[1], "Examining current user sounds: Ev2");
    EXPECT_NE(std::find(scan.statuses.begin(), scan.statuses.end(), "Examining users sounds: Ev1"),
              scan.statuses.end());
}

TEST_F(Checks, RaisingCheckEndsOnlyItself) {
    const std::vector<TFinding> before = Baseline(soFonts | soSounds);
    TPlanted ntFonts(HKEY_LOCAL_MACHINE, kNtFontsKey);
    ntFonts.Dword(u + " Bad", 1);  // no string: the font check ends here
    TPlanted winFonts(HKEY_LOCAL_MACHINE, kFontsKey);
    winFonts.String(u + " C", Missing("c.fon"));
    TPlanted user(HKEY_CURRENT_USER, kUserApps + u);
    user.String("", Missing("gone.wav"), "Ev\\.Current");

    TScan scan(soFonts | soSounds);
    scan.Run();
    EXPECT_EQ(Added(before, scan.Findings()),
              (std::vector<TFinding>{{HKEY_CURRENT_USER, kUserApps + u + "\\Ev\\.Current", "", Missing("gone.wav"),
                                      "Current sound file in current user settings does not exists"}}));
    EXPECT_EQ(scan.finished, 1);
    EXPECT_EQ(scan.finalText, std::to_string(scan.thread.Errors.Count()) + " registry error(s) found");
}

TEST_F(Checks, StopDuringCheckEndsItAndSkipsTheRest) {
    TPlanted shared(HKEY_LOCAL_MACHINE, kSharedDLLsKey);
    for (const char* name : {"a.dll", "b.dll", "c.dll"})
        shared.Dword(Missing(name), 1);
    TPlanted run(HKEY_LOCAL_MACHINE, kRunKey.substr(0, kRunKey.size() - 1));
    run.String(u, Missing("gone.exe"));

    TScan scan(soSharedDLLs | soStartupRun);
    scan.onErrorFound = [&] {
        if (scan.thread.LastError()->ValueName.find(u) != std::string::npos)
            scan.thread.Terminate();
    };
    scan.Run();
    std::vector<std::string> planted;
    for (const TFinding& f : scan.Findings()) {
        EXPECT_NE(f.key, kRunKey);
        if (f.valueName.find(u) != std::string::npos)
            planted.push_back(f.valueName);
    }
    EXPECT_EQ(planted, (std::vector<std::string>{Missing("a.dll")}));
    for (const std::string& status : scan.statuses)
        EXPECT_EQ(status.rfind("Examining startup run section", 0), std::string::npos) << status;
    EXPECT_EQ(scan.finished, 1);
    EXPECT_EQ(scan.finalText, "Stopped by user");
}

// Wine has no key below the unique names, so keeping the findings below them replaces the baseline.
std::vector<TFinding> Ours(const TScan& scan, const std::string& u) {
    std::vector<TFinding> ours;
    for (const TFinding& f : Sorted(scan.Findings()))
        if (f.key.find(u) != std::string::npos)
            ours.push_back(f);
    return ours;
}

TEST_F(Checks, FileListWalk) {
    const std::string tool = files.AddFile("tool.exe");
    TPlanted user(HKEY_CURRENT_USER, "Software\\" + u);
    user.String("p", Missing("a.exe"), "parent");  // a key with sub-keys is never examined
    user.String("p", Missing("a.exe"), "parent\\leaf");
    user.String("", Missing("default.exe"), "parent\\leaf");
    user.String("two", Missing("a.exe") + ";d:\\b.exe", "parent\\leaf");
    user.String("ok", "\"" + tool + "\" /x", "parent\\leaf");
    user.String("dir", files.Path(), "parent\\leaf");
    user.String("exp", Missing("e.exe"), "parent\\leaf", REG_EXPAND_SZ);
    user.Dword("dw", 7, "parent\\leaf");
    TPlanted machine(HKEY_LOCAL_MACHINE, "Software\\" + u);
    machine.String("p1", Missing("m1.exe"), "leaf");
    machine.String("p2", Missing("m2.exe"), "leaf");

    const std::string userLeaf = "Software\\" + u + "\\parent\\leaf", machineLeaf = "Software\\" + u + "\\leaf";
    TScan scan(soFileList);
    scan.Run();
    EXPECT_EQ(Ours(scan, u), Sorted({{HKEY_CURRENT_USER, userLeaf, "exp", Missing("e.exe"), "File not found"},
                                     {HKEY_CURRENT_USER, userLeaf, "p", Missing("a.exe"), "File not found"},
                                     {HKEY_LOCAL_MACHINE, machineLeaf, "p1", Missing("m1.exe"), "File not found"},
                                     {HKEY_LOCAL_MACHINE, machineLeaf, "p2", Missing("m2.exe"), "File not found"}}));
    // Status lines name leaf keys only.
    for (const std::string& status : scan.statuses) {
        EXPECT_NE(status, "Software\\" + u + "\\parent");
        EXPECT_NE(status, "Software\\" + u);
    }
    for (const auto& [total, position] : scan.progress) {
        EXPECT_EQ(total, 50000);
        ASSERT_TRUE(position >= 0 && position < 50000) << position;
    }
    EXPECT_EQ(scan.finalText, std::to_string(scan.thread.Errors.Count()) + " registry error(s) found");

    // A stop on the first finding of the machine leaf: its next value and the user hive are not examined.
    TScan stopped(soFileList);
    stopped.onErrorFound = [&] {
        if (stopped.thread.LastError()->Key == machineLeaf)
            stopped.thread.Terminate();
    };
    stopped.Run();
    EXPECT_EQ(Ours(stopped, u),
              (std::vector<TFinding>{{HKEY_LOCAL_MACHINE, machineLeaf, "p1", Missing("m1.exe"), "File not found"}}));
    EXPECT_EQ(stopped.finished, 1);
    EXPECT_EQ(stopped.finalText, "Stopped by user");
}

// Marks the findings this test planted; Wine's own stay unmarked.
void MarkPlanted(TScan& scan, const std::vector<std::string>& marks) {
    for (int i = 0; i < scan.thread.Errors.Count(); ++i) {
        TRegistryError* e = scan.Record(i);
        e->Checked = std::any_of(marks.begin(), marks.end(), [e](const std::string& mark) {
            return e->Key.find(mark) != std::string::npos || e->ValueName.find(mark) != std::string::npos;
        });
    }
}

std::vector<std::string> CheckingTexts(const TScan& scan) {
    std::vector<std::string> texts;
    for (int i = 0; i < scan.thread.Errors.Count(); ++i)
        if (scan.Record(i)->Checked)
            texts.push_back("status:Checking \"" + scan.Record(i)->Description + "\" error");
    return texts;
}

TEST_F(Checks, FixDeletesJournaledFindingsOnly) {
    const std::string ext = "." + u;
    TPlanted extKey(HKEY_CLASSES_ROOT, ext);  // 2 values and a sub-key with 1 value: 5 items
    extKey.String("", u + ".Gone");
    extKey.String("Content Type", "hsw/" + u);
    extKey.String("", "{" + u + "}", "PersistentHandler");
    TPlanted shared(HKEY_LOCAL_MACHINE, kSharedDLLsKey);
    const std::string dll = files.AddFile("zero.dll");
    shared.Dword(dll, 0);
    TPlanted run(HKEY_LOCAL_MACHINE, kRunKey.substr(0, kRunKey.size() - 1));
    run.String(u, Missing("gone.exe"));
    TPlanted vanishing(HKEY_LOCAL_MACHINE, kAppPathsKey + u + "-v.exe");
    vanishing.String("", "");
    TPlanted unjournaled(HKEY_LOCAL_MACHINE, kAppPathsKey + u + "-j.exe");
    unjournaled.String("", "");

    TScan scan(soFileExtensions | soSharedDLLs | soStartupRun | soAppPaths);
    scan.Run();
    MarkPlanted(scan, {u, files.Path()});
    ASSERT_EQ(CheckingTexts(scan).size(), 5u);

    TTempDir undoDir;
    TUndoRedirect redirect(undoDir.Path());
    // Gone while journaling, back before fixing: never journaled, so never deleted.
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, unjournaled.Path().c_str()), ERROR_SUCCESS);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, unjournaled.Path().c_str());
    ASSERT_TRUE(scan.thread.CreateUndoFile());
    EXPECT_EQ(scan.statuses.end()[-2], "Creating undo file. Please wait...");
    EXPECT_EQ(scan.statuses.back(), "Undo file created successfully.");
    EXPECT_EQ(ExtractFilePath(UndoFile.FileName), undoDir.Path() + "\\");
    unjournaled.String("", "");
    // Gone after journaling: not counted, no OnErrorFixed.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, vanishing.Path().c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, vanishing.Path().c_str());
    ASSERT_EQ(RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, run.Path().c_str(), u.c_str()), ERROR_SUCCESS);

    scan.events.clear();
    scan.progress.clear();
    scan.thread.FixErrors();

    EXPECT_EQ(scan.thread.FixedCount, 2);
    EXPECT_EQ(scan.thread.DeletedItems, 5);
    ASSERT_EQ(scan.fixed.size(), 2u);
    EXPECT_EQ(scan.fixed[0]->Key, "\\" + ext);
    EXPECT_EQ(scan.fixed[1]->ValueName, dll);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ext));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kSharedDLLsKey, dll));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, unjournaled.Path()));

    std::vector<std::string> statuses;
    for (const std::string& event : scan.events)
        if (event.rfind("status:", 0) == 0)
            statuses.push_back(event);
    std::vector<std::string> expected = CheckingTexts(scan);
    const std::string summary = "2 registry error(s) checked (5 registry keys and values)";
    expected.push_back("status:" + summary);
    EXPECT_EQ(statuses, expected);
    ASSERT_GE(scan.events.size(), 2u);
    EXPECT_EQ(scan.events.end()[-2], "clean:" + summary);
    EXPECT_EQ(scan.events.back(), "status:" + summary);
    ASSERT_FALSE(scan.progress.empty());
    EXPECT_EQ(scan.progress.back(), std::make_pair(scan.thread.Errors.Count(), 0));
}

TEST_F(Checks, NothingIsDeletedWhenTheUndoFileCannotBeMade) {
    TPlanted shared(HKEY_LOCAL_MACHINE, kSharedDLLsKey);
    const std::string dll = files.AddFile("zero.dll");
    shared.Dword(dll, 0);
    TScan scan(soSharedDLLs);
    scan.Run();
    MarkPlanted(scan, {files.Path()});
    ASSERT_EQ(CheckingTexts(scan).size(), 1u);

    TTempDir undoDir;
    TUndoRedirect redirect(undoDir.AddFile("blocker") + "\\restore");  // a folder below a file
    scan.statuses.clear();
    EXPECT_FALSE(scan.thread.CreateUndoFile());
    EXPECT_EQ(scan.statuses, (std::vector<std::string>{"Creating undo file. Please wait..."}));

    scan.events.clear();
    scan.thread.FixErrors();
    EXPECT_EQ(scan.thread.FixedCount, 0);
    EXPECT_TRUE(scan.fixed.empty());
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kSharedDLLsKey, dll));
    EXPECT_EQ(scan.events.back(), "status:0 registry error(s) checked (0 registry keys and values)");
}

}  // namespace
