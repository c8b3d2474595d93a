#include "Streams.h"

#include <algorithm>
#include <cstring>

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count)
        throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count != 0 && Write(buffer, count) != count)
        throw EWriteError("Stream write error");
}

int64_t TStream::Size() {
    const int64_t position = Seek(0, soCurrent);
    const int64_t size = Seek(0, soEnd);
    Seek(position, soBeginning);
    return size;
}

namespace {

DWORD ShareModeOf(unsigned mode) {
    switch (mode & 0xF0) {
    case fmShareExclusive: return 0;
    case fmShareDenyWrite: return FILE_SHARE_READ;
    case fmShareDenyRead: return FILE_SHARE_WRITE;
    case fmShareDenyNone: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
}

}  // namespace

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : fileName_(fileName) {
    if ((mode & fmCreate) == fmCreate) {
        handle_.Reset(CreateFileA(fileName.c_str(), GENERIC_READ | GENERIC_WRITE, ShareModeOf(mode & 0xF0), nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle_)
            throw EFCreateError(Format("Cannot create file \"%s\". %s", fileName.c_str(),
                                       SysErrorMessage(GetLastError()).c_str()));
        return;
    }
    static const DWORD kAccess[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    const unsigned access = mode & 0x0F;
    handle_.Reset(CreateFileA(fileName.c_str(), access < 3 ? kAccess[access] : GENERIC_READ, ShareModeOf(mode),
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle_)
        throw EFOpenError(
            Format("Cannot open file \"%s\". %s", fileName.c_str(), SysErrorMessage(GetLastError()).c_str()));
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    int64_t total = 0;
    while (total < count) {
        DWORD chunk = static_cast<DWORD>(std::min<int64_t>(count - total, 1 << 30));
        DWORD read = 0;
        if (!ReadFile(handle_.Get(), static_cast<char*>(buffer) + total, chunk, &read, nullptr) || read == 0)
            break;
        total += read;
    }
    return total;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    int64_t total = 0;
    while (total < count) {
        DWORD chunk = static_cast<DWORD>(std::min<int64_t>(count - total, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(handle_.Get(), static_cast<const char*>(buffer) + total, chunk, &written, nullptr) ||
            written == 0)
            break;
        total += written;
    }
    return total;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    static const DWORD kMethods[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    LARGE_INTEGER distance, result;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(handle_.Get(), distance, &result, kMethods[origin]))
        return -1;
    return result.QuadPart;
}

void TFileStream::SetSize(int64_t size) {
    const int64_t position = Position();
    Seek(size, soBeginning);
    if (!SetEndOfFile(handle_.Get()))
        RaiseLastOSError();
    if (position < size)
        Seek(position, soBeginning);
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    const int64_t available = static_cast<int64_t>(data_.size()) - position_;
    const int64_t n = std::max<int64_t>(0, std::min(count, available));
    if (n > 0)
        std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0)
        return 0;
    if (position_ + count > static_cast<int64_t>(data_.size()))
        data_.resize(static_cast<size_t>(position_ + count));
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : static_cast<int64_t>(data_.size());
    if (base + offset < 0)
        return -1;
    position_ = base + offset;
    return position_;
}

void TMemoryStream::SetSize(int64_t size) {
    data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
    position_ = std::min(position_, static_cast<int64_t>(data_.size()));
}

void TMemoryStream::LoadFromStream(TStream& source) {
    const int64_t count = source.Size() - source.Position();
    data_.resize(static_cast<size_t>(std::max<int64_t>(0, count)));
    position_ = 0;
    source.ReadBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(file);
}

void TMemoryStream::SaveToFile(const std::string& fileName) const {
    TFileStream file(fileName, fmCreate);
    file.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

TResourceStream::TResourceStream(HMODULE module, const std::string& name, LPCSTR type) {
    Initialize(module, name.c_str(), type, name);
}

TResourceStream::TResourceStream(HMODULE module, int id, LPCSTR type) {
    Initialize(module, MAKEINTRESOURCEA(id), type, "#" + IntToStr(id));
}

void TResourceStream::Initialize(HMODULE module, LPCSTR name, LPCSTR type, const std::string& shownName) {
    HRSRC info = FindResourceA(module, name, type);
    HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
    if (!loaded)
        throw EResNotFound(Format("Resource %s not found", shownName.c_str()));
    data_ = static_cast<const unsigned char*>(LockResource(loaded));
    size_ = SizeofResource(module, info);
}

int64_t TResourceStream::Read(void* buffer, int64_t count) {
    const int64_t n = std::max<int64_t>(0, std::min(count, size_ - position_));
    if (n > 0)
        std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t TResourceStream::Write(const void*, int64_t) { throw EStreamError("Can't write to a read-only resource stream"); }

int64_t TResourceStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : size_;
    if (base + offset < 0)
        return -1;
    position_ = base + offset;
    return position_;
}

void TResourceStream::SetSize(int64_t) { throw EStreamError("Can't change the size of a resource stream"); }
