#include "Streams.h"

#include <algorithm>

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
