#pragma once

// Scratch files, folders and registry keys that tests create and always remove.

#include <windows.h>

#include <string>

// A new empty folder under the temporary folder, deleted with everything in it.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    // No trailing backslash.
    const std::string& Path() const { return path_; }
    // Path + "\" + relative, creating missing folders on the way and the file itself.
    std::string AddFile(const std::string& relative, const std::string& content = "x") const;
    std::string AddFolder(const std::string& relative) const;

private:
    std::string path_;
};

// A new key below HKEY_CURRENT_USER (or another root), deleted with its whole tree.
class TScratchKey {
public:
    explicit TScratchKey(HKEY root = HKEY_CURRENT_USER);
    ~TScratchKey();
    TScratchKey(const TScratchKey&) = delete;
    TScratchKey& operator=(const TScratchKey&) = delete;

    HKEY Root() const { return root_; }
    // Below the root, without leading backslash.
    const std::string& Path() const { return path_; }
    // Writes a value of any type below Path() + "\" + subKey (created when missing).
    void SetValue(const std::string& subKey, const std::string& name, DWORD type, const void* data,
                  DWORD size) const;
    void SetString(const std::string& subKey, const std::string& name, const std::string& value) const;
    void SetDword(const std::string& subKey, const std::string& name, DWORD value) const;
    bool Exists(const std::string& subKey) const;

private:
    HKEY root_;
    std::string path_;
};

// A name no other test process uses at the same time.
std::string UniqueName(const std::string& prefix);

// Sets an environment variable for the lifetime of the object.
class TScopedEnvVar {
public:
    TScopedEnvVar(const std::string& name, const std::string& value);
    ~TScopedEnvVar();
    TScopedEnvVar(const TScopedEnvVar&) = delete;
    TScopedEnvVar& operator=(const TScopedEnvVar&) = delete;

private:
    std::string name_;
    std::string old_;
    bool hadOld_;
};
