// Times a scan with every check over a synthetic tree of HKEY_CURRENT_USER against
// the system's registry editor exporting the same two hives the scan walks.
//
// Each round also scans through the cleanup page, which lists the findings as they come,
// and compares that with the engine alone.
//
// Usage: ScanBenchmark [--leaves N] [--rounds N] [--build api|import] [--checks MASK] [--no-receivers]

#include "BenchTree.h"
#include "Handles.h"
#include "RegistryWork.h"
#include "SysUtils.h"
#include "uMain.h"
#include "uRegistryCleanup.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unordered_set>
#include <vector>

namespace {

constexpr TScanOptions kAllChecks = 0x1FF;
constexpr DWORD kScanTimeoutMs = 300000;
constexpr DWORD kExportTimeoutMs = 300000;

// User and kernel time of this process, in seconds.
void ProcessCpu(double& user, double& kernel) {
    FILETIME creation, exit, kernelTime, userTime;
    user = kernel = 0;
    if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernelTime, &userTime))
        return;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    user = seconds(userTime);
    kernel = seconds(kernelTime);
}

class TStopwatch {
public:
    TStopwatch() { QueryPerformanceCounter(&start_); }
    double Seconds() const {
        LARGE_INTEGER now, frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency.QuadPart);
    }

private:
    LARGE_INTEGER start_;
};

// Asks a thread to stop when it runs longer than allowed.
class TWatchdog {
public:
    TWatchdog(TThread& thread, DWORD timeoutMs) : thread_(thread), timeoutMs_(timeoutMs) {
        done_.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        watcher_.Reset(CreateThread(nullptr, 0, Watch, this, 0, nullptr));
        if (!done_ || !watcher_)
            RaiseLastOSError();
    }
    ~TWatchdog() {
        SetEvent(done_.Get());
        WaitForSingleObject(watcher_.Get(), INFINITE);
    }
    TWatchdog(const TWatchdog&) = delete;
    TWatchdog& operator=(const TWatchdog&) = delete;
    bool Fired() const { return fired_; }

private:
    static DWORD WINAPI Watch(void* parameter) {
        auto* self = static_cast<TWatchdog*>(parameter);
        if (WaitForSingleObject(self->done_.Get(), self->timeoutMs_) == WAIT_TIMEOUT) {
            self->fired_ = true;
            self->thread_.Terminate();
        }
        return 0;
    }

    TThread& thread_;
    DWORD timeoutMs_;
    std::atomic<bool> fired_{false};
    TUniqueHandle done_;
    TUniqueHandle watcher_;
};

struct TKeyCount {
    long long Keys = 0;
    long long Values = 0;
};

// Counts a key and everything below it, opening keys as the scan does. The counts of
// the key at watchPath (lower case) are stored in watched.
void CountKeys(HKEY key, const std::string& path, const std::string& watchPath, TKeyCount& total,
               TKeyCount& watched) {
    DWORD subKeys = 0, maxSubKeyLength = 0, values = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, &maxSubKeyLength, nullptr, &values, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    const TKeyCount before = total;
    ++total.Keys;
    total.Values += values;
    std::vector<char> name(maxSubKeyLength + 1 < 256 ? 256 : maxSubKeyLength + 1);
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(name.size());
        const LONG rc = RegEnumKeyExA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA && name.size() < 65536) {
            name.resize(name.size() * 2);
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        ++index;
        const std::string child(name.data(), length);
        HKEY opened = nullptr;
        for (REGSAM access : {static_cast<REGSAM>(KEY_READ), static_cast<REGSAM>(0x20009),
                              static_cast<REGSAM>(KEY_QUERY_VALUE)})
            if (RegOpenKeyExA(key, child.c_str(), 0, access, &opened) == ERROR_SUCCESS)
                break;
        if (!opened)
            continue;
        TUniqueKey owner(opened);
        CountKeys(opened, path.empty() ? child : path + '\\' + child, watchPath, total, watched);
    }
    if (LowerCase(path) == watchPath) {
        watched.Keys = total.Keys - before.Keys;
        watched.Values = total.Values - before.Values;
    }
}

struct TScanResult {
    double Seconds = 0;
    double UserCpu = 0;    // of the whole process meanwhile
    double KernelCpu = 0;
    int Findings = 0;
    int InTree = 0;
    int PlantedFound = 0;
    std::vector<std::string> Unexpected;  // findings in the tree that were not planted
    long long StatusEvents = 0;
    long long ProgressEvents = 0;
    long long FoundEvents = 0;
};

TScanResult RunScan(const TBenchTree& tree, TScanOptions checks, bool receivers) {
    TScanResult result;
    TRegistryCheckThread scan;
    scan.ScanOptions = checks;
    // Receivers as cheap as a responsive window's; without any, no event reaches the main thread.
    if (receivers) {
        scan.OnStatus = [&result](TObject*) { ++result.StatusEvents; };
        scan.OnProgress = [&result](TObject*) { ++result.ProgressEvents; };
        scan.OnErrorFound = [&result](TObject*) { ++result.FoundEvents; };
    }
    {
        TWatchdog watchdog(scan, kScanTimeoutMs);
        double user, kernel;
        ProcessCpu(user, kernel);
        const TStopwatch clock;
        scan.Start();
        scan.WaitFor();
        result.Seconds = clock.Seconds();
        ProcessCpu(result.UserCpu, result.KernelCpu);
        result.UserCpu -= user;
        result.KernelCpu -= kernel;
        if (watchdog.Fired())
            throw std::runtime_error(Format("the scan did not end within %lu s", kScanTimeoutMs / 1000));
    }
    if (scan.FatalException())
        std::rethrow_exception(scan.FatalException());

    const std::string prefix = LowerCase(tree.RootPath()) + '\\';
    std::unordered_set<std::string> seen;
    result.Findings = scan.Errors.Count();
    for (int i = 0; i < scan.Errors.Count(); ++i) {
        const auto* error = static_cast<const TRegistryError*>(scan.Errors.Objects(i));
        if (error->RootKey != HKEY_CURRENT_USER || !StartsText(prefix, error->Key))
            continue;
        ++result.InTree;
        const std::string id = TBenchTree::PlantedId(error->Key, error->ValueName);
        if (tree.Planted().count(id) && seen.insert(id).second)
            ++result.PlantedFound;
        else
            result.Unexpected.push_back(error->Key + " \"" + error->ValueName + "\" = " + error->Value + " (" +
                                        error->Description + ")");
    }
    return result;
}

// The same scan started with the page's Run button; ends when Run is back.
TScanResult RunPageScan(const TBenchTree& tree, TScanOptions checks) {
    TScanResult result;
    TfrmRegistryCleanup page(nullptr);
    page.ReadScanOptions = [checks] { return checks; };
    page.FinishPauseMs = 0;
    page.ShowForm();
    double user, kernel;
    ProcessCpu(user, kernel);
    const TStopwatch clock;
    page.btnRunClick(page.btnRun);
    {
        TWatchdog watchdog(*page.Thread(), kScanTimeoutMs);
        while (page.Running || !page.btnRun->Enabled())
            Application.HandleMessage();
        result.Seconds = clock.Seconds();
        ProcessCpu(result.UserCpu, result.KernelCpu);
        result.UserCpu -= user;
        result.KernelCpu -= kernel;
        if (watchdog.Fired())
            throw std::runtime_error(Format("the page's scan did not end within %lu s", kScanTimeoutMs / 1000));
    }
    const TRegistryCheckThread& scan = *page.Thread();
    if (scan.FatalException())
        std::rethrow_exception(scan.FatalException());
    result.Findings = scan.Errors.Count();
    const std::string prefix = "HKEY_CURRENT_USER\\" + LowerCase(tree.RootPath()) + '\\';
    TListItems& items = page.lvwRegKeys->Items();
    result.FoundEvents = items.Count();
    for (int i = 0; i < items.Count(); ++i)
        if (StartsText(prefix, items[i]->Caption()))
            ++result.InTree;
    page.Hide();
    return result;
}

struct TExportResult {
    double Seconds = 0;
    long long Bytes = 0;
};

TExportResult TimeExport(const std::string& key) {
    const TTempFile file;
    const TStopwatch clock;
    const DWORD code = RunProcess("regedit.exe /e \"" + file.Path() + "\" " + key, kExportTimeoutMs);
    TExportResult result{clock.Seconds(), file.Size()};
    if (code != 0 || result.Bytes <= 0)
        throw std::runtime_error(Format("regedit /e %s failed (exit code %lu, %lld bytes)", key.c_str(),
                                        static_cast<unsigned long>(code), result.Bytes));
    return result;
}

struct TRound {
    TScanResult Scan, Page;
    TExportResult Machine, User, Start;
    double ExportSeconds() const { return Machine.Seconds + User.Seconds; }
};

void PrintLine(const std::string& line) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// Scan time over regedit time, and the same with one process start taken off each export.
void PrintRatios(const char* label, double scanSeconds, double exportSeconds, double startSeconds) {
    const double net = exportSeconds - 2 * startSeconds;
    PrintLine(Format("%sratio scan/regedit: %.2f; net of regedit's process start: %.2f", label,
                     scanSeconds / exportSeconds, net > 0 ? scanSeconds / net : 0.0));
}

struct TOptions {
    int Leaves = 100000;
    int Rounds = 1;
    TBuildMethod Method = TBuildMethod::Api;
    TScanOptions Checks = kAllChecks;
    bool Receivers = true;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--leaves" && hasValue) {
            options.Leaves = StrToIntDef(argv[++i], 0);
        } else if (arg == "--rounds" && hasValue) {
            options.Rounds = StrToIntDef(argv[++i], 0);
        } else if (arg == "--build" && hasValue) {
            const std::string method = argv[++i];
            if (method != "api" && method != "import")
                throw std::invalid_argument("--build takes api or import");
            options.Method = method == "api" ? TBuildMethod::Api : TBuildMethod::Import;
        } else if (arg == "--checks" && hasValue) {
            options.Checks = static_cast<TScanOptions>(strtoul(argv[++i], nullptr, 0) & kAllChecks);
        } else if (arg == "--no-receivers") {
            options.Receivers = false;
        } else {
            throw std::invalid_argument(
                "usage: ScanBenchmark [--leaves N] [--rounds N] [--build api|import] [--checks MASK] "
                "[--no-receivers]");
        }
    }
    if (options.Leaves < 100 || options.Leaves > 1000000 || options.Rounds < 1 || options.Rounds > 10)
        throw std::invalid_argument("--leaves takes 100 to 1000000, --rounds 1 to 10");
    return options;
}

int Run(const TOptions& options) {
    if (int stale = DeleteStaleTrees())
        PrintLine(Format("deleted %d tree(s) left by earlier runs", stale));

    TBenchTree tree(options.Leaves);
    const char* method = options.Method == TBuildMethod::Api ? "RegCreateKeyExA/RegSetValueExA" : "regedit /s";
    PrintLine(Format("building HKEY_CURRENT_USER\\%s: %d keys, %d values, %d strings in leaf keys, %zu of them "
                     "naming missing files (%s)",
                     tree.RootPath().c_str(), tree.KeyCount(), tree.ValueCount(), tree.LeafStringCount(),
                     tree.Planted().size(), method));
    {
        const TStopwatch clock;
        tree.Build(options.Method);
        PrintLine(Format("built in %.2f s", clock.Seconds()));
    }

    TKeyCount machine, user, inTree, unused;
    const TStopwatch countClock;
    CountKeys(HKEY_LOCAL_MACHINE, "", "\n", machine, unused);
    CountKeys(HKEY_CURRENT_USER, "", LowerCase(tree.RootPath()), user, inTree);
    const long long keys = machine.Keys + user.Keys;
    PrintLine(Format("hives walked: HKEY_LOCAL_MACHINE %lld keys (%lld values), HKEY_CURRENT_USER %lld keys "
                     "(%lld values), %lld keys in all (counted in %.2f s)",
                     machine.Keys, machine.Values, user.Keys, user.Values, keys, countClock.Seconds()));
    if (inTree.Keys != tree.KeyCount() || inTree.Values != tree.ValueCount())
        throw std::runtime_error(Format("the tree holds %lld keys and %lld values, not %d and %d", inTree.Keys,
                                        inTree.Values, tree.KeyCount(), tree.ValueCount()));

    const int planted = static_cast<int>(tree.Planted().size());
    std::vector<TRound> rounds;
    bool complete = true;
    for (int r = 1; r <= options.Rounds; ++r) {
        TRound round;
        // The two scans alternate in order, so that neither always has the warmer caches.
        if (r % 2 == 0)
            round.Page = RunPageScan(tree, options.Checks);
        round.Scan = RunScan(tree, options.Checks, options.Receivers);
        const TScanResult& scan = round.Scan;
        PrintLine(Format("round %d: scan with checks 0x%X%s: %.2f s, %.0f keys/s; %d findings, %d in the tree, "
                         "%d of %d planted missing files found; events: %lld status, %lld progress, %lld found; "
                         "process CPU meanwhile: %.2f s user, %.2f s kernel",
                         r, options.Checks, options.Receivers ? "" : " and no event receivers", scan.Seconds, static_cast<double>(keys) / scan.Seconds, scan.Findings,
                         scan.InTree, scan.PlantedFound, planted, scan.StatusEvents, scan.ProgressEvents,
                         scan.FoundEvents, scan.UserCpu, scan.KernelCpu));
        // Only the whole-registry file-list check looks at the tree.
        if ((options.Checks & soFileList) && (scan.PlantedFound != planted || !scan.Unexpected.empty())) {
            complete = false;
            PrintLine(Format("MISMATCH: %d planted missing files not found, %zu findings in the tree not planted",
                             planted - scan.PlantedFound, scan.Unexpected.size()));
            for (size_t i = 0; i < scan.Unexpected.size() && i < 5; ++i)
                PrintLine("  not planted: " + scan.Unexpected[i]);
        }
        if (r % 2 == 1)
            round.Page = RunPageScan(tree, options.Checks);
        PrintLine(Format("round %d: scan through the cleanup page: %.2f s, %d findings, %d rows listed, %d of them "
                         "in the tree; process CPU meanwhile: %.2f s user, %.2f s kernel; page/engine: %.2f (at most "
                         "1.10 wanted)",
                         r, round.Page.Seconds, round.Page.Findings, static_cast<int>(round.Page.FoundEvents),
                         round.Page.InTree, round.Page.UserCpu, round.Page.KernelCpu,
                         round.Page.Seconds / scan.Seconds));
        round.Machine = TimeExport("HKEY_LOCAL_MACHINE");
        round.User = TimeExport("HKEY_CURRENT_USER");
        round.Start = TimeExport("HKEY_CURRENT_USER\\" + tree.FirstLeafPath());
        PrintLine(Format("round %d: regedit /e HKEY_LOCAL_MACHINE %.2f s (%lld bytes) + HKEY_CURRENT_USER %.2f s "
                         "(%lld bytes) = %.2f s; regedit process start (export of one leaf key) %.3f s",
                         r, round.Machine.Seconds, round.Machine.Bytes, round.User.Seconds, round.User.Bytes,
                         round.ExportSeconds(), round.Start.Seconds));
        PrintRatios(Format("round %d: ", r).c_str(), scan.Seconds, round.ExportSeconds(), round.Start.Seconds);
        rounds.push_back(round);
    }
    if (rounds.size() > 1) {
        double page = rounds[0].Page.Seconds;
        for (const TRound& round : rounds)
            page = std::min(page, round.Page.Seconds);
        double scan = rounds[0].Scan.Seconds, exported = rounds[0].ExportSeconds(), start = rounds[0].Start.Seconds;
        for (const TRound& round : rounds) {
            scan = std::min(scan, round.Scan.Seconds);
            exported = std::min(exported, round.ExportSeconds());
            start = std::min(start, round.Start.Seconds);
        }
        PrintLine(Format("best of %zu rounds: scan %.2f s, %.0f keys/s; regedit /e %.2f s; process start %.3f s",
                         rounds.size(), scan, static_cast<double>(keys) / scan, exported, start));
        PrintRatios("best: ", scan, exported, start);
        PrintLine(Format("best: scan through the cleanup page %.2f s; page/engine: %.2f", page, page / scan));
    }

    const TStopwatch clock;
    if (!tree.Delete())
        throw std::runtime_error("cannot delete HKEY_CURRENT_USER\\" + tree.RootPath());
    PrintLine(Format("tree deleted in %.2f s", clock.Seconds()));
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(ParseOptions(argc, argv));
    } catch (const std::invalid_argument& error) {
        fprintf(stderr, "%s\n", error.what());
        return 2;
    } catch (const std::exception& error) {
        fprintf(stderr, "ScanBenchmark: %s\n", error.what());
        return 2;
    }
}
