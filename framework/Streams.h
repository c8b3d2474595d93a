#pragma once

// Byte streams over files.

#include "Handles.h"
#include "Object.h"
#include "SysUtils.h"

#include <cstdint>
#include <string>
#include <vector>

class EStreamError : public Exception {
    using Exception::Exception;
};
class EFCreateError : public EStreamError {
    using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
    using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
    using EStreamError::EStreamError;
};

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    // Raise EReadError / EWriteError when fewer bytes move than asked.
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }
    int64_t Size();
    virtual void SetSize(int64_t size) = 0;
};

// Open modes: one access value combined with one share value; fmCreate makes a new file.
enum : unsigned {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmShareExclusive = 0x0010,
    fmShareDenyWrite = 0x0020,
    fmShareDenyRead = 0x0030,
    fmShareDenyNone = 0x0040,
    fmCreate = 0xFF00,
};

// A growable block of memory.
class TMemoryStream : public TStream {
public:
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    const unsigned char* Memory() const { return data_.data(); }
    void Clear() { data_.clear(); position_ = 0; }
    // Replaces the content with the rest of source, from its position on.
    void LoadFromStream(TStream& source);
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;

private:
    std::vector<unsigned char> data_;
    int64_t position_ = 0;
};

// The bytes of a module's resource, read-only. Raises EResNotFound when it is missing.
class TResourceStream : public TStream {
public:
    TResourceStream(HMODULE module, const std::string& name, LPCSTR type);
    TResourceStream(HMODULE module, int id, LPCSTR type);

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    const unsigned char* Memory() const { return data_; }

private:
    void Initialize(HMODULE module, LPCSTR name, LPCSTR type, const std::string& shownName);

    const unsigned char* data_ = nullptr;
    int64_t size_ = 0;
    int64_t position_ = 0;
};

class EResNotFound : public Exception {
    using Exception::Exception;
};

class TFileStream : public TStream {
public:
    // Raises EFCreateError or EFOpenError.
    TFileStream(const std::string& fileName, unsigned mode);

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    const std::string& FileName() const { return fileName_; }
    HANDLE Handle() const { return handle_.Get(); }

private:
    std::string fileName_;
    TUniqueHandle handle_;
};
