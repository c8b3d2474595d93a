#include "hxZip.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <new>

namespace {

struct THandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using TFileHandle = std::unique_ptr<void, THandleCloser>;

TFileHandle OpenFile(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    HANDLE h = CreateFileA(path.c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return TFileHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

bool WriteAll(HANDLE file, const void* data, size_t size) {
    auto p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, p, chunk, &written, nullptr) || written != chunk)
            return false;
        p += chunk;
        size -= chunk;
    }
    return true;
}

bool ReadAll(HANDLE file, void* data, size_t size) {
    auto p = static_cast<char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD read = 0;
        if (!ReadFile(file, p, chunk, &read, nullptr) || read != chunk)
            return false;
        p += chunk;
        size -= chunk;
    }
    return true;
}

void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p + 2, v >> 16);
}

// What the central directory needs of an entry; fields [4, 28) repeat the local header's.
struct TCentralRecord {
    std::array<uint8_t, 30> local;
    uint32_t attributes;
    uint32_t offset;
    std::string name;
};

constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();

std::string EntryName(const std::vector<std::string>& files, const std::vector<std::string>& names,
                      size_t i) {
    if (names.size() > i)
        return names[i];
    size_t slash = files[i].find_last_of('\\');
    return slash == std::string::npos ? files[i] : files[i].substr(slash + 1);
}

// Reads, compresses and describes one file. False leaves the file out.
bool PrepareEntry(const std::string& path, std::vector<uint8_t>& packed, TCentralRecord& record) {
    TFileHandle in = OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    BY_HANDLE_FILE_INFORMATION info;
    if (!in || !GetFileInformationByHandle(in.get(), &info))
        return false;
    // No ZIP64: sizes must fit the 32-bit fields.
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > kMax32 - kMax32 / 10 - 12)
        return false;
    size_t size = info.nFileSizeLow;
    std::vector<uint8_t> content(size);
    packed.resize(DeflateBound(size));
    if (!ReadAll(in.get(), content.data(), size))
        return false;
    uint32_t crc = ~Crc32Update(0xFFFFFFFF, content.data(), size);
    size_t packedSize = DeflateBuffer(content.data(), size, packed.data(), packed.size());
    if (packedSize == 0)
        return false;
    packed.resize(packedSize);

    FILETIME local;
    WORD date = 0, time = 0;
    if (FileTimeToLocalFileTime(&info.ftLastWriteTime, &local))
        FileTimeToDosDateTime(&local, &date, &time);

    uint8_t* h = record.local.data();
    Put32(h, 0x04034B50);
    Put16(h + 4, 20);
    Put16(h + 6, 0);
    Put16(h + 8, 8);
    Put16(h + 10, time);
    Put16(h + 12, date);
    Put32(h + 14, crc);
    Put32(h + 18, static_cast<uint32_t>(packedSize));
    Put32(h + 22, static_cast<uint32_t>(size));
    Put16(h + 26, static_cast<uint32_t>(record.name.size()));
    Put16(h + 28, 0);
    record.attributes = info.dwFileAttributes;
    return true;
}

bool WriteDirectory(HANDLE out, const std::vector<TCentralRecord>& records, uint64_t offset) {
    uint64_t size = 0;
    for (const TCentralRecord& r : records) {
        std::array<uint8_t, 46> c{};
        Put32(c.data(), 0x02014B50);
        Put16(c.data() + 4, 20);
        std::copy(r.local.begin() + 4, r.local.begin() + 28, c.begin() + 6);
        Put32(c.data() + 38, r.attributes);
        Put32(c.data() + 42, r.offset);
        if (!WriteAll(out, c.data(), c.size()) || !WriteAll(out, r.name.data(), r.name.size()))
            return false;
        size += c.size() + r.name.size();
    }
    if (offset + size > kMax32)
        return false;
    std::array<uint8_t, 22> end{};
    Put32(end.data(), 0x06054B50);
    Put16(end.data() + 8, static_cast<uint32_t>(records.size()));
    Put16(end.data() + 10, static_cast<uint32_t>(records.size()));
    Put32(end.data() + 12, static_cast<uint32_t>(size));
    Put32(end.data() + 16, static_cast<uint32_t>(offset));
    return WriteAll(out, end.data(), end.size());
}

bool WriteEntries(HANDLE out, const std::vector<std::string>& files,
                  const std::vector<std::string>& names) {
    std::vector<TCentralRecord> records;
    uint64_t offset = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        TCentralRecord record{};
        record.name = EntryName(files, names, i);
        std::vector<uint8_t> packed;
        if (record.name.size() > 0xFFFF)
            continue;
        try {
            if (!PrepareEntry(files[i], packed, record))
                continue;
        } catch (const std::bad_alloc&) {
            continue;
        }
        uint64_t next = offset + record.local.size() + record.name.size() + packed.size();
        if (records.size() == 0xFFFF || next > kMax32)
            return false;
        record.offset = static_cast<uint32_t>(offset);
        if (!WriteAll(out, record.local.data(), record.local.size())
            || !WriteAll(out, record.name.data(), record.name.size())
            || !WriteAll(out, packed.data(), packed.size()))
            return false;
        offset = next;
        records.push_back(std::move(record));
    }
    return !records.empty() && WriteDirectory(out, records, offset);
}

}  // namespace

size_t DeflateBound(size_t sourceSize) {
    return sourceSize + sourceSize / 10 + 12;
}

size_t DeflateBuffer(const void* source, size_t sourceSize, void* dest, size_t destSize) {
    if (sourceSize > std::numeric_limits<uInt>::max() || destSize > std::numeric_limits<uInt>::max())
        return 0;
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    z.next_in = static_cast<Bytef*>(const_cast<void*>(source));
    z.avail_in = static_cast<uInt>(sourceSize);
    z.next_out = static_cast<Bytef*>(dest);
    z.avail_out = static_cast<uInt>(destSize);
    int rc = deflate(&z, Z_FINISH);
    size_t written = z.total_out;
    deflateEnd(&z);
    return rc == Z_STREAM_END ? written : 0;
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
    // zlib conditions its CRC on the way in and out; undo both.
    uLong c = ~crc & 0xFFFFFFFFu;
    auto p = static_cast<const Bytef*>(data);
    while (size > 0) {
        uInt chunk = size > 0x40000000 ? 0x40000000 : static_cast<uInt>(size);
        c = crc32(c, p, chunk);
        p += chunk;
        size -= chunk;
    }
    return ~static_cast<uint32_t>(c);
}

bool WriteZipArchive(const std::string& archivePath, const std::vector<std::string>& files,
                     const std::vector<std::string>& names) {
    bool ok = false;
    try {
        TFileHandle out = OpenFile(archivePath, GENERIC_WRITE, 0, CREATE_ALWAYS);
        if (!out)
            return false;
        ok = WriteEntries(out.get(), files, names);
    } catch (...) {
        ok = false;
    }
    if (!ok)
        DeleteFileA(archivePath.c_str());
    return ok;
}
