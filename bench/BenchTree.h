#pragma once

// A synthetic registry tree below HKEY_CURRENT_USER for the scan benchmark:
// vendors, products and components. The components (the leaf keys) hold strings,
// expandable strings, dwords and binaries; a known share of their strings name
// missing files.

#include <windows.h>

#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

struct TBenchValue {
    std::string Name;
    DWORD Type = REG_NONE;
    std::vector<BYTE> Data;
};

struct TBenchKey {
    std::string Name;  // last path element; the root's whole path for the root
    int Depth = 0;     // 0: the root, 3: a leaf
    std::vector<TBenchValue> Values;
};

enum class TBuildMethod { Api, Import };

class TBenchTree {
public:
    // The tree of this process, with leafKeys leaf keys (rounded up to whole products).
    explicit TBenchTree(int leafKeys);
    // Deletes the tree if it was built.
    ~TBenchTree();
    TBenchTree(const TBenchTree&) = delete;
    TBenchTree& operator=(const TBenchTree&) = delete;

    // Creates every key and value; throws std::runtime_error. Idempotent on failure:
    // whatever was created is deleted by Delete or the destructor.
    void Build(TBuildMethod method);
    // Deletes the whole tree; true when it is gone.
    bool Delete();

    // Below HKEY_CURRENT_USER, without leading backslash.
    const std::string& RootPath() const { return root_; }
    // One leaf key below HKEY_CURRENT_USER.
    std::string FirstLeafPath() const;

    int KeyCount() const { return keys_; }
    int ValueCount() const { return values_; }
    int LeafStringCount() const { return leafStrings_; }
    // Planted findings, each as PlantedId(key below HKEY_CURRENT_USER, value name).
    const std::unordered_set<std::string>& Planted() const { return planted_; }
    static std::string PlantedId(const std::string& key, const std::string& valueName);

private:
    // Visits the keys parent first, each with its values, as full paths below HKEY_CURRENT_USER.
    void ForEachKey(const std::function<void(const std::string& path, const TBenchKey& key)>& visit) const;
    void BuildWithApi();
    // Creates the root alone, or the vendors with index % parts == part and their keys.
    void WriteKeys(int part, int parts, bool rootOnly) const;
    void BuildWithImport();

    std::string root_;
    int leafKeys_;
    int keys_ = 0;
    int values_ = 0;
    int leafStrings_ = 0;
    bool built_ = false;
    std::unordered_set<std::string> planted_;
    std::vector<std::string> existingPaths_;
};

// Deletes the trees of earlier runs whose process no longer exists; returns how many.
int DeleteStaleTrees();

// Runs a command line, waits up to timeoutMs and returns its exit code; throws
// std::runtime_error when it cannot start or does not end in time (it is then ended).
DWORD RunProcess(const std::string& commandLine, DWORD timeoutMs);

// A new empty file in the temporary folder, deleted with the object.
class TTempFile {
public:
    TTempFile();
    ~TTempFile();
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    const std::string& Path() const { return path_; }
    // -1 when the file does not exist.
    long long Size() const;

private:
    std::string path_;
};
