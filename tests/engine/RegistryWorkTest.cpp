#include "RegistryWork.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr TScanOptions kAllChecks = soFileExtensions | soSharedDLLs | soStartupRun | soAppPaths | soHelpFiles |
                                    soFonts | soSounds | soFileList;

// Replaces every check with a recorder; a test decides what each one does.
class TPlantedScan : public TRegistryCheckThread {
public:
    std::vector<std::string> ran;
    std::vector<DWORD> ranOn;
    std::function<void(TPlantedScan&, const std::string&)> onCheck;
    HKEY extensionsRoot = nullptr;
    std::string extensionsBase;

    ~TPlantedScan() override { StopAndWait(); }

    void Add(const std::string& key) { AddInvalidEntry(HKEY_LOCAL_MACHINE, key, "planted", "value", ""); }
    using TRegistryCheckThread::DoProgress;
    using TRegistryCheckThread::SetStatus;

protected:
    void CheckFileExtensions(HKEY root, const std::string& base) override {
        extensionsRoot = root;
        extensionsBase = base;
        Run("extensions");
    }
    void CheckSharedDLLs() override { Run("shared"); }
    void CheckStartupRun() override { Run("startup"); }
    void CheckAppPaths() override { Run("apppaths"); }
    void CheckHelpFiles() override { Run("help"); }
    void CheckFonts() override { Run("fonts"); }
    void CheckSounds() override { Run("sounds"); }
    void CheckFileList() override { Run("filelist"); }

private:
    void Run(const std::string& name) {
        ran.push_back(name);
        ranOn.push_back(GetCurrentThreadId());
        if (onCheck)
            onCheck(*this, name);
    }
};

// Runs a scan to its end the way the cleanup page does: start, then wait.
struct TScanResult {
    int scanFinished = 0;
    std::string finalText;
    std::vector<std::string> statusTexts;
    DWORD scanFinishedOn = 0;
};

TScanResult RunScan(TPlantedScan& scan) {
    TScanResult result;
    scan.OnScanFinished = [&](TObject* sender) {
        EXPECT_EQ(sender, &scan);
        ++result.scanFinished;
        result.finalText = scan.StatusText;
        result.scanFinishedOn = GetCurrentThreadId();
    };
    scan.OnStatus = [&](TObject*) { result.statusTexts.push_back(scan.StatusText); };
    scan.Start();
    scan.WaitFor();
    return result;
}

TEST(ScanThread, StartsWithDefaults) {
    TPlantedScan scan;
    EXPECT_EQ(scan.ScanOptions, 127);
    EXPECT_EQ(scan.Reg.RootKey(), HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(scan.FreeOnTerminate);
    EXPECT_EQ(scan.LastError(), nullptr);
    EXPECT_EQ(scan.Errors.Count(), 0);
}

TEST(ScanThread, NoCheckSelectedEndsWithNoErrorsFound) {
    TPlantedScan scan;
    scan.ScanOptions = 0;
    TScanResult result = RunScan(scan);
    EXPECT_TRUE(scan.ran.empty());
    EXPECT_EQ(result.scanFinished, 1);
    EXPECT_EQ(result.finalText, "No errors found");
    // The final text comes with OnScanFinished alone.
    EXPECT_TRUE(result.statusTexts.empty());
    EXPECT_EQ(result.scanFinishedOn, GetCurrentThreadId());
}

TEST(ScanThread, ChecksRunInFixedOrderOnTheWorker) {
    TPlantedScan scan;
    scan.ScanOptions = kAllChecks | soFileAssociations;
    RunScan(scan);
    EXPECT_EQ(scan.ran, (std::vector<std::string>{"extensions", "shared", "startup", "apppaths", "help", "fonts",
                                                  "sounds", "filelist"}));
    for (DWORD id : scan.ranOn)
        EXPECT_EQ(id, scan.ThreadID());
    EXPECT_EQ(scan.extensionsRoot, HKEY_CLASSES_ROOT);
    EXPECT_EQ(scan.extensionsBase, "\\");
}

TEST(ScanThread, OnlySelectedChecksRun) {
    TPlantedScan scan;
    scan.ScanOptions = soFileList | soStartupRun | soFonts;
    RunScan(scan);
    EXPECT_EQ(scan.ran, (std::vector<std::string>{"startup", "fonts", "filelist"}));

    TPlantedScan defaults;  // 127 leaves out the file extensions and the file list
    RunScan(defaults);
    EXPECT_EQ(defaults.ran,
              (std::vector<std::string>{"shared", "startup", "apppaths", "help", "fonts", "sounds"}));
}

TEST(ScanThread, StopDuringThirdCheckKeepsFindingsAndSkipsTheRest) {
    TPlantedScan scan;
    scan.ScanOptions = kAllChecks;
    scan.onCheck = [](TPlantedScan& self, const std::string& name) {
        self.Add(name);
        if (name == "startup")
            self.Terminate();
    };
    TScanResult result = RunScan(scan);
    EXPECT_EQ(scan.ran, (std::vector<std::string>{"extensions", "shared", "startup"}));
    ASSERT_EQ(scan.Errors.Count(), 3);
    EXPECT_EQ(static_cast<TRegistryError*>(scan.Errors.Objects(2))->Key, "startup");
    EXPECT_EQ(result.scanFinished, 1);
    EXPECT_EQ(result.finalText, "Stopped by user");
}

TEST(ScanThread, StopFromMainThreadWhileWaiting) {
    // The page's stop: Terminate from an event receiver, then WaitFor.
    TPlantedScan scan;
    scan.ScanOptions = kAllChecks;
    scan.onCheck = [](TPlantedScan& self, const std::string& name) {
        if (name == "shared")
            self.Add(name);
    };
    scan.OnErrorFound = [&](TObject*) { scan.Terminate(); };
    TScanResult result = RunScan(scan);
    EXPECT_EQ(scan.ran, (std::vector<std::string>{"extensions", "shared"}));
    EXPECT_EQ(result.finalText, "Stopped by user");
}

TEST(ScanThread, CountOfFindingsEndsTheText) {
    TPlantedScan scan;
    scan.ScanOptions = soSharedDLLs;
    scan.onCheck = [](TPlantedScan& self, const std::string&) {
        for (int i = 0; i < 12; ++i)
            self.Add("key" + std::to_string(i));
    };
    TScanResult result = RunScan(scan);
    EXPECT_EQ(result.finalText, "12 registry error(s) found");
}

TEST(ScanThread, ErrorFoundReceiverSeesTheNewFinding) {
    TPlantedScan scan;
    scan.ScanOptions = soFonts;
    scan.onCheck = [](TPlantedScan& self, const std::string&) {
        self.AddInvalidEntry(HKEY_CURRENT_USER, "Software\\a", "first", "shown a", "name a");
        self.AddInvalidEntryEx(HKEY_USERS, "b", "second", "new data", "shown b", "");
    };
    std::vector<std::string> seen;
    scan.OnErrorFound = [&](TObject*) {
        EXPECT_EQ(GetCurrentThreadId(), MainThreadID());
        TRegistryError* error = scan.LastError();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(scan.Errors[scan.Errors.Count() - 1], error->Description);
        seen.push_back(error->Description + "|" + error->GetFullPath() + "|" + error->Value + "|" +
                       error->ValueName + "|" + error->NewData + "|" + (error->Checked ? "1" : "0"));
    };
    RunScan(scan);
    EXPECT_EQ(seen, (std::vector<std::string>{"first|HKEY_CURRENT_USER\\Software\\a|shown a|name a||0",
                                              "second|HKEY_USERS\\b|shown b||new data|0"}));
}

TEST(ScanThread, FailingCheckEndsOnlyItself) {
    TPlantedScan scan;
    scan.ScanOptions = kAllChecks;
    scan.onCheck = [](TPlantedScan& self, const std::string& name) {
        if (name == "startup") {
            self.Add(name);
            throw ERegistryException("Invalid data type for ''");
        }
        if (name == "help")
            throw 7;  // not even an exception class
    };
    TScanResult result = RunScan(scan);
    EXPECT_EQ(scan.ran.size(), 8u);
    EXPECT_EQ(result.scanFinished, 1);
    EXPECT_EQ(result.finalText, "1 registry error(s) found");
    EXPECT_FALSE(scan.FatalException());
}

TEST(ScanThread, FailingReceiverEndsTheScanWithItsError) {
    TPlantedScan scan;
    scan.ScanOptions = soSharedDLLs | soStartupRun;
    scan.onCheck = [](TPlantedScan& self, const std::string& name) { self.Add(name); };
    scan.OnErrorFound = [](TObject*) { throw std::logic_error("list view failed"); };
    TScanResult result = RunScan(scan);
    EXPECT_EQ(scan.ran, (std::vector<std::string>{"shared"}));
    EXPECT_EQ(result.scanFinished, 0);
    ASSERT_TRUE(scan.FatalException());
    EXPECT_THROW(std::rethrow_exception(scan.FatalException()), std::logic_error);
}

TEST(ScanThread, ProgressAndStatusReachTheMainThread) {
    TPlantedScan scan;
    scan.ScanOptions = soSounds;
    scan.onCheck = [](TPlantedScan& self, const std::string&) {
        self.Total = 3;
        self.Position = 2;
        self.DoProgress();
        self.SetStatus("Examining");
    };
    std::vector<std::string> progress;
    scan.OnProgress = [&](TObject*) {
        EXPECT_EQ(GetCurrentThreadId(), MainThreadID());
        progress.push_back(std::to_string(scan.Position) + "/" + std::to_string(scan.Total));
    };
    TScanResult result = RunScan(scan);
    EXPECT_EQ(progress, (std::vector<std::string>{"2/3"}));
    EXPECT_EQ(result.statusTexts, (std::vector<std::string>{"Examining"}));
}

TEST(ScanThread, OnTerminateArrivesAfterScanFinished) {
    TPlantedScan scan;
    std::vector<std::string> order;
    scan.OnScanFinished = [&](TObject*) { order.push_back("finished"); };
    scan.OnTerminate = [&](TObject*) {
        EXPECT_EQ(GetCurrentThreadId(), MainThreadID());
        order.push_back("terminate");
    };
    scan.Start();
    scan.WaitFor();
    EXPECT_EQ(order, (std::vector<std::string>{"finished", "terminate"}));
}

TEST(RegistryError, FullPathJoinsRootNameAndKeyAsBuilt) {
    TRegistryError error;
    error.RootKey = HKEY_CLASSES_ROOT;
    error.Key = "\\.txt";
    EXPECT_EQ(error.GetFullPath(), "HKEY_CLASSES_ROOT\\\\.txt");
    error.RootKey = HKEY_LOCAL_MACHINE;
    error.Key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\";
    EXPECT_EQ(error.GetFullPath(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\");
    EXPECT_EQ(RootKeyName(HKEY_CURRENT_USER), "HKEY_CURRENT_USER");
    EXPECT_EQ(RootKeyName(HKEY_USERS), "HKEY_USERS");
    EXPECT_EQ(RootKeyName(HKEY_CURRENT_CONFIG), "");
}

}  // namespace
