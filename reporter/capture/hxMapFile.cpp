#include "hxMapFile.h"

#include "hxCrypt.h"
#include "hxDisAsm.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

// Growth of the symbol arrays: 16 entries first, then by half.
template <class T>
void Grow(std::vector<T>& v)
{
    if (v.size() < v.capacity())
        return;
    v.reserve(v.capacity() < 16 ? 16 : v.capacity() + v.capacity() / 2);
}

// The tag at the start of packed map data; tools/hxmapgen.py writes the same.
constexpr char kPackedTag[] = "HIVESWEEP-MAP1";
constexpr std::size_t kPackedTagLength = 14;
static_assert(sizeof kPackedTag == kPackedTagLength + 1);
// Word of the run-time key of the packed payload.
constexpr ScrambledLiteral kKeyWord("quarry");
// Inflated packed data larger than this is refused.
constexpr std::size_t kMaxInflated = 256u << 20;

std::uint32_t LoadU32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

bool ReadWholeFile(const std::string& fileName, std::string& out)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = false;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart >= 0 && size.QuadPart < (512 << 20)) {
        try {
            out.resize(static_cast<std::size_t>(size.QuadPart));
            DWORD read = 0;
            ok = out.empty() || (ReadFile(file, out.data(), static_cast<DWORD>(out.size()), &read, nullptr) &&
                                 read == out.size());
        } catch (...) {
            ok = false;
        }
    }
    CloseHandle(file);
    return ok;
}

bool Inflate(const unsigned char* data, std::size_t size, std::string& out)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    bool ok = false;
    try {
        out.resize(std::min(size * 4 + 4096, kMaxInflated));
        z.next_in = const_cast<unsigned char*>(data);
        z.avail_in = static_cast<uInt>(size);
        for (;;) {
            z.next_out = reinterpret_cast<unsigned char*>(out.data()) + z.total_out;
            z.avail_out = static_cast<uInt>(out.size() - z.total_out);
            const int rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                ok = true;
                break;
            }
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                break;
            if (z.avail_out != 0 || out.size() >= kMaxInflated)
                break;  // input ended early, or a bomb
            out.resize(std::min(out.size() * 2, kMaxInflated));
        }
        out.resize(ok ? z.total_out : 0);
    } catch (...) {
        ok = false;
    }
    inflateEnd(&z);
    return ok;
}

// The path without its extension.
std::string PathBase(const std::string& fileName)
{
    const std::size_t dot = fileName.rfind('.');
    const std::size_t slash = fileName.find_last_of("\\/");
    return dot != std::string::npos && (slash == std::string::npos || dot > slash) ? fileName.substr(0, dot) : fileName;
}

std::string Hex8(std::uint32_t value)
{
    std::string s = CardinalToHex(value);
    return std::string(s.size() < 8 ? 8 - s.size() : 0, '0') + s;
}

// The payload key: the word and the payload length as text, enciphered under the word.
std::string PayloadKey(std::uint32_t length)
{
    const std::string word = kKeyWord.Plain();
    std::string key = word + std::to_string(length) + ":" + Hex8(length);
    BlowfishEncryptStr(key, word);
    return key;
}

std::string DefaultMinDebugInfo(HMODULE module)
{
    if (!module)
        return {};
    const std::string data = ResourceToString(module, MAKEINTRESOURCEA(10), "THXEXCEPT");
    static const char property[] = "\x0CMinDebugInfo";
    const std::size_t at = data.find(property, 0, sizeof property - 1);
    if (at == std::string::npos)
        return {};
    std::size_t p = at + sizeof property - 1;
    std::size_t length = 0;
    if (p + 2 <= data.size() && data[p] == 6) {  // short string
        length = static_cast<unsigned char>(data[p + 1]);
        p += 2;
    } else if (p + 5 <= data.size() && data[p] == 12) {  // long string
        length = LoadU32(reinterpret_cast<const unsigned char*>(data.data()) + p + 1);
        p += 5;
    } else {
        return {};
    }
    if (length != 31 || p + length > data.size())
        return {};
    return data.substr(p, length);
}

std::mutex ReaderMutex;
TMinDebugInfoReader MinDebugInfoReader = DefaultMinDebugInfo;

std::string ReadMinDebugInfo(HMODULE module)
{
    TMinDebugInfoReader reader;
    {
        std::lock_guard<std::mutex> lock(ReaderMutex);
        reader = MinDebugInfoReader;
    }
    try {
        return reader(module);
    } catch (...) {
        return {};
    }
}

bool EndsWithText(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() && SameTextCI(s.substr(s.size() - suffix.size()), suffix);
}

// Keeps the symbols a failed source added from staying in the map.
class TSourceGuard {
public:
    TSourceGuard(std::vector<TMfSegment>& s, std::vector<TMfPublic>& p, std::vector<TMfLine>& l)
        : s_(s), p_(p), l_(l), sn_(s.size()), pn_(p.size()), ln_(l.size())
    {
    }
    ~TSourceGuard()
    {
        if (committed_)
            return;
        s_.resize(sn_);
        p_.resize(pn_);
        l_.resize(ln_);
    }
    bool Commit(bool ok)
    {
        committed_ = ok;
        return ok;
    }

private:
    std::vector<TMfSegment>& s_;
    std::vector<TMfPublic>& p_;
    std::vector<TMfLine>& l_;
    std::size_t sn_, pn_, ln_;
    bool committed_ = false;
};

} // namespace

// ---- TMiniStream ----

TMiniStream::TMiniStream(const void* data, std::ptrdiff_t size)
{
    SetSize(size);
    if (size_ > 0)
        std::memcpy(block_.data(), data, static_cast<std::size_t>(size_));
}

void TMiniStream::SetSize(std::ptrdiff_t size)
{
    if (size < 0)
        size = 0;
    const std::size_t capacity = (static_cast<std::size_t>(size) + 8191) / 8192 * 8192;
    block_.resize(capacity);
    block_.shrink_to_fit();
    size_ = size;
    if (position_ > size_)
        position_ = size_;
}

std::ptrdiff_t TMiniStream::Remaining() const noexcept
{
    return position_ >= 0 && position_ < size_ ? size_ - position_ : 0;
}

std::ptrdiff_t TMiniStream::Read(void* buffer, std::ptrdiff_t count) noexcept
{
    if (position_ < 0 || count < 0)
        return 0;
    const std::ptrdiff_t n = std::min(count, Remaining());
    if (n > 0) {
        std::memcpy(buffer, block_.data() + position_, static_cast<std::size_t>(n));
        position_ += n;
    }
    return n;
}

bool TMiniStream::ReadInt32(std::int32_t& value) noexcept
{
    unsigned char b[4];
    if (Remaining() < 4)
        return false;
    Read(b, 4);
    value = static_cast<std::int32_t>(LoadU32(b));
    return true;
}

bool TMiniStream::ReadPackedInt(std::int32_t& value) noexcept
{
    signed char b;
    if (Remaining() < 1)
        return false;
    Read(&b, 1);
    if (b != -128) {
        value = b;
        return true;
    }
    if (ReadInt32(value))
        return true;
    position_ -= 1;
    return false;
}

bool TMiniStream::ReadShortText(std::string& text)
{
    unsigned char length;
    if (Remaining() < 1)
        return false;
    Read(&length, 1);
    if (Remaining() < length) {
        position_ -= 1;
        return false;
    }
    text.resize(length);
    Read(text.data(), length);
    return true;
}

// ---- Adding symbols ----

void TMapFile::SetBases(uintptr_t codeBase, uintptr_t codeEnd, uintptr_t dataBase, uintptr_t dataEnd)
{
    codeBase_ = codeBase;
    codeEnd_ = codeEnd;
    dataBase_ = dataBase;
    dataEnd_ = dataEnd;
}

void TMapFile::AddSegment(std::uint8_t kind, uintptr_t start, uintptr_t length, std::string unitName,
                          bool relative, bool extend, bool ordered, bool hasLineNumbers)
{
    if (codeOnly_ && kind != MfKindCode)
        return;
    const std::size_t dot = unitName.rfind('.');
    if (dot != std::string::npos && unitName.size() - dot == 4 &&
        (EndsWithText(unitName, ".pas") || EndsWithText(unitName, ".dpr")))
        unitName.resize(dot);
    if (relative)
        start += kind == MfKindCode ? codeBase_ : dataBase_;
    if (extend) {
        for (auto it = segments_.rbegin(); it != segments_.rend(); ++it) {
            if (it->Kind != kind)
                continue;
            if (it->UnitName == unitName && start >= it->Start && start <= it->Start + it->Length + 2) {
                it->Length = std::max(it->Length, start + length - it->Start);
                it->HasLineNumbers = it->HasLineNumbers || hasLineNumbers;
                return;
            }
            break;
        }
    }
    TMfSegment segment{true, kind, start, length, std::move(unitName), hasLineNumbers};
    Grow(segments_);
    if (ordered) {
        auto at = std::upper_bound(segments_.begin(), segments_.end(), segment,
                                   [](const TMfSegment& a, const TMfSegment& b) {
                                       if (a.Kind != b.Kind)
                                           return a.Kind > b.Kind;
                                       return a.Start < b.Start;
                                   });
        segments_.insert(at, std::move(segment));
    } else {
        segments_.push_back(std::move(segment));
    }
}

void TMapFile::AddPublic(std::uint8_t kind, std::string name, uintptr_t address, bool relative)
{
    if (codeOnly_ && kind != MfKindCode)
        return;
    // Compiler-generated type records.
    if (name.size() >= 6 && name.compare(0, 3, "@$x") == 0 && name[4] == '$')
        return;
    std::string unit;
    UndecorateName(name, unit);
    if (relative)
        address += kind == MfKindCode ? codeBase_ : dataBase_;
    const TMfSegment holder = FindSegmentByAddress(*this, kind, address);
    if (holder.InUse && holder.UnitName == name)
        name = "initialization";
    else if (!unit.empty() && !SameTextCI(unit, holder.UnitName))
        name = unit + "." + name;
    Grow(publics_);
    publics_.push_back(TMfPublic{true, kind, std::move(name), address});
}

void TMapFile::AddLine(std::int32_t line, uintptr_t address)
{
    Grow(lines_);
    lines_.push_back(TMfLine{line, address});
}

void TMapFile::SortSegments()
{
    std::stable_sort(segments_.begin(), segments_.end(), [](const TMfSegment& a, const TMfSegment& b) {
        if (a.Kind != b.Kind)
            return a.Kind > b.Kind;
        if (a.Start != b.Start)
            return a.Start < b.Start;
        return a.Length > b.Length;
    });
}

// Neighbours of the same kind and unit that touch or overlap become one range.
void TMapFile::MergeSegments()
{
    SortSegments();
    std::vector<TMfSegment> merged;
    merged.reserve(segments_.size());
    for (TMfSegment& s : segments_) {
        if (!merged.empty()) {
            TMfSegment& last = merged.back();
            if (last.Kind == s.Kind && last.UnitName == s.UnitName && s.Start <= last.Start + last.Length) {
                last.Length = std::max(last.Length, s.Start + s.Length - last.Start);
                last.HasLineNumbers = last.HasLineNumbers || s.HasLineNumbers;
                continue;
            }
        }
        merged.push_back(std::move(s));
    }
    segments_ = std::move(merged);
}

void TMapFile::SortPublics()
{
    std::stable_sort(publics_.begin(), publics_.end(),
                     [](const TMfPublic& a, const TMfPublic& b) { return a.Address < b.Address; });
}

void TMapFile::Finish()
{
    SortSegments();
    SortPublics();
    std::stable_sort(lines_.begin(), lines_.end(),
                     [](const TMfLine& a, const TMfLine& b) { return a.Address < b.Address; });
    valid_ = true;
}

// ---- Making the map of a module ----

void TMapFile::ReadModuleHeaders()
{
    const IMAGE_NT_HEADERS* nt = module_ ? PeNtHeaders(module_) : nullptr;
    if (!nt)
        return;
    const uintptr_t h = reinterpret_cast<uintptr_t>(module_);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    const unsigned count = nt->FileHeader.NumberOfSections;
    const IMAGE_OPTIONAL_HEADER& opt = nt->OptionalHeader;
    if (count == 0 || !(sections[0].Characteristics & IMAGE_SCN_CNT_CODE)) {
        codeBase_ = h + opt.BaseOfCode;
        codeEnd_ = codeBase_ + opt.SizeOfCode;
    } else {
        codeBase_ = h + sections[0].VirtualAddress;
        codeEnd_ = codeBase_ + sections[0].Misc.VirtualSize;
        if (count > 1 && (sections[1].Characteristics & IMAGE_SCN_CNT_CODE)) {
            codeEnd_ = h + sections[1].VirtualAddress + sections[1].Misc.VirtualSize;
            dataSegment_ = 3;
            secondCodeOffset_ = sections[1].VirtualAddress - sections[0].VirtualAddress;
        }
    }
#ifdef _WIN64
    // The 64-bit header has no BaseOfData: the first section after the code stands in.
    std::uint32_t dataRva = 0;
    for (unsigned i = 0; i < count; ++i)
        if (!(sections[i].Characteristics & IMAGE_SCN_CNT_CODE) && sections[i].VirtualAddress >= opt.BaseOfCode) {
            dataRva = sections[i].VirtualAddress;
            break;
        }
    dataBase_ = h + dataRva;
#else
    dataBase_ = h + opt.BaseOfData;
#endif
    dataEnd_ = dataBase_ + opt.SizeOfInitializedData + opt.SizeOfUninitializedData;
}

bool TMapFile::Build(HMODULE module, const std::string& fileName)
{
    module_ = module;
    fileName_ = fileName;
    ownerName_ = fileName;
    base_ = PathBase(fileName);
    const bool headers = module && PeNtHeaders(module);
    ReadModuleHeaders();
    bool read = false;
    try {
        if (headers) {
            std::uint32_t rva = 0, size = 0;
            const TPeView view = TPeView::OfModule(module);
            if (view.FindResourceData("HX", "EXCEPT", rva, size))
                read = ReadPackedData(view.At(rva, size), size);
        }
        read = read || ReadTd32(fileName) || ReadTextMap(base_ + ".map") || ReadPackedFile(base_ + ".hx") ||
               ReadJdbgFile(base_ + ".jdbg");
    } catch (...) {
        read = false;
    }
    if (!read) {
        segments_.clear();
        publics_.clear();
        lines_.clear();
        return false;
    }
    Finish();
    return true;
}

// ---- Packed map data ----

bool TMapFile::ReadPackedFile(const std::string& fileName)
{
    std::string data;
    return ReadWholeFile(fileName, data) && ReadPackedData(data.data(), data.size());
}

bool TMapFile::ReadPackedData(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (!bytes || size <= 22 || std::memcmp(bytes, kPackedTag, kPackedTagLength) != 0)
        return false;
    const std::uint32_t payloadLength = LoadU32(bytes + 14);
    const std::uint32_t version = LoadU32(bytes + 18);
    if (version != 2 && version != 3)
        return false;
    const std::size_t start = version == 2 ? 22 : 34;
    if (size < start || payloadLength > size - start)
        return false;
    const std::uint32_t id1 = version == 3 ? LoadU32(bytes + 22) : 0;
    const std::uint32_t id2 = version == 3 ? LoadU32(bytes + 26) : 0;
    const unsigned flags = version == 3 ? bytes[30] : 0;
    const std::string identity = "$" + Hex8(static_cast<std::uint32_t>(size)) + ", $" + Hex8(id1) + ", $" + Hex8(id2);
    if (!descriptor_.empty() && !SameTextCI(descriptor_, identity))
        return false;
    if (flags & 1) {
        if (descriptor_.empty()) {
            std::string descriptor = ReadMinDebugInfo(module_);
            if (descriptor.size() == 31) {
                descriptor_ = std::move(descriptor);
                if (!base_.empty() && ReadPackedFile(base_ + ".hx"))
                    return true;
                // Nameless data that the descriptor does not name cannot be resolved later.
                if (!SameTextCI(descriptor_, identity)) {
                    descriptor_.clear();
                    return false;
                }
            }
        }
    } else {
        descriptor_.clear();
    }
    std::string payload(reinterpret_cast<const char*>(bytes + start), payloadLength);
    BlowfishDecryptStr(payload, PayloadKey(payloadLength));
    std::string inflated;
    if (!Inflate(reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), inflated))
        return false;
    TMiniStream stream(inflated.data(), static_cast<std::ptrdiff_t>(inflated.size()));
    TSourceGuard guard(segments_, publics_, lines_);
    return guard.Commit(ReadPackedStream(stream));
}

bool TMapFile::ReadPackedStream(TMiniStream& stream)
{
    const bool named = descriptor_.empty();
    std::int32_t count = 0;
    if (!stream.ReadInt32(count) || count < 0)
        return false;
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t start, length;
        std::string name;
        unsigned char hasLines = 0;
        if (!stream.ReadInt32(start) || !stream.ReadInt32(length))
            return false;
        if (named) {
            if (!stream.ReadShortText(name))
                return false;
        } else {
            name = "segment%" + std::to_string(i);
            if (stream.Read(&hasLines, 1) != 1)
                return false;
        }
        AddSegment(MfKindCode, static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(length), std::move(name),
                   true, false, false, hasLines != 0);
    }
    SortSegments();
    if (!stream.ReadInt32(count) || count < 0)
        return false;
    std::uint32_t address = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        std::string name;
        if (named) {
            if (!stream.ReadShortText(name))
                return false;
        } else {
            name = "public%" + std::to_string(i);
        }
        std::int32_t value;
        if (i == 0 ? !stream.ReadInt32(value) : !stream.ReadPackedInt(value))
            return false;
        address = i == 0 ? static_cast<std::uint32_t>(value) : address + static_cast<std::uint32_t>(value);
        AddPublic(MfKindCode, std::move(name), address, true);
    }
    if (!stream.ReadInt32(count) || count < 0)
        return false;
    std::int32_t line = 0;
    address = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t l, a;
        if (i == 0 ? !(stream.ReadInt32(l) && stream.ReadInt32(a))
                   : !(stream.ReadPackedInt(l) && stream.ReadPackedInt(a)))
            return false;
        line = i == 0 ? l : static_cast<std::int32_t>(static_cast<std::uint32_t>(line) + static_cast<std::uint32_t>(l));
        address = i == 0 ? static_cast<std::uint32_t>(a) : address + static_cast<std::uint32_t>(a);
        AddLine(line, codeBase_ + address);
    }
    std::int32_t entry;
    if (stream.Remaining() == 4 && stream.ReadInt32(entry))
        entryPoint_ = codeBase_ + static_cast<std::uint32_t>(entry);
    return true;
}

// ---- Text map ----

struct TMapFile::TTextMapState {
    enum TSection { None, SegmentTable, DetailedSegments, Publics, LineNumbers, IgnoredLines };
    TSection Section = None;
    bool Leading = false;       // still skipping empty lines after a header
    bool FirstDataLine = false;
    bool Recognised = false;
    bool DetailedSeen = false;  // later detailed maps are ignored: each would sort all segments again
    uintptr_t DataOffset = 0;   // code size rounded up to pages
};

namespace {

// 1-based character access; 0 outside the line.
char At(std::string_view line, std::size_t position)
{
    return position >= 1 && position <= line.size() ? line[position - 1] : '\0';
}

std::uint32_t HexAt(std::string_view line, std::size_t position, std::size_t count)
{
    if (position < 1 || position - 1 + count > line.size())
        return 0;
    return static_cast<std::uint32_t>(DigitsToInt(line.data() + position - 1, count, true));
}

} // namespace

bool TMapFile::ReadTextMap(const std::string& fileName)
{
    std::string text;
    if (!ReadWholeFile(fileName, text))
        return false;
    TSourceGuard guard(segments_, publics_, lines_);
    TTextMapState state;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + begin, end - begin);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::size_t first = line.find_first_not_of(' ');
        line = first == std::string_view::npos ? std::string_view() : line.substr(first);
        ParseTextMapLine(state, line);
        begin = end + 1;
    }
    ParseTextMapLine(state, {});
    // A file without any known section is no map.
    return guard.Commit(state.Recognised);
}

void TMapFile::ParseTextMapLine(TTextMapState& state, std::string_view line)
{
    using S = TTextMapState;
    if (state.Section != S::None) {
        if (line.empty()) {
            if (state.Leading)
                return;
            if (state.Section == S::DetailedSegments)
                SortSegments();
            state.Section = S::None;
            return;
        }
        const bool first = state.Leading;
        state.Leading = false;
        switch (state.Section) {
        case S::SegmentTable:
            if (line.find(".text") != std::string_view::npos && At(line, 5) == ':' && At(line, 14) == ' ' &&
                At(line, 23) == 'H') {
                const uintptr_t codeSize = HexAt(line, 15, 8);
                state.DataOffset = (codeSize + 4095) / 4096 * 4096;
            } else if (line.find(".data") != std::string_view::npos && line.size() >= 4) {
                const int number = DigitsToInt(line.data(), 4, false);
                dataSegment_ = number >= 2 && number <= 9 ? number : 2;
            }
            break;
        case S::DetailedSegments:
            if (line.size() > 72 && At(line, 5) == ':' && At(line, 14) == ' ' && At(line, 23) == ' ' &&
                At(line, 24) == 'C' && At(line, 25) == '=') {
                const int number = static_cast<int>(HexAt(line, 1, 4));
                if (number < 1 || number > dataSegment_)
                    break;
                uintptr_t start = HexAt(line, 6, 8);
                if (number > 1 && number < dataSegment_)
                    start += state.DataOffset;
                const uintptr_t length = HexAt(line, 15, 8);
                // The unit ends the "M=" field: skip the last field and the blanks before it.
                std::size_t e = line.find_last_not_of(' ');
                e = line.find_last_of(' ', e);
                e = e == std::string_view::npos ? 0 : line.find_last_not_of(' ', e);
                if (e == std::string_view::npos)
                    break;
                const std::size_t b = line.find_last_of("= ", e);
                const std::string unit(line.substr(b + 1, e - b));
                AddSegment(number < dataSegment_ ? MfKindCode : MfKindData, start, length, unit, true, false,
                           false);
            }
            break;
        case S::Publics:
            if (line.size() >= 14 && At(line, 5) == ':') {
                std::string_view rest = line;
                if (rest.back() == ')') {
                    const std::size_t open = rest.rfind('(');
                    if (open != std::string_view::npos)
                        rest = rest.substr(0, open);
                }
                const std::size_t e = rest.find_last_not_of(' ');
                if (e == std::string_view::npos || e < 13)
                    break;
                std::size_t b = rest.find_last_of(' ', e);
                b = b == std::string_view::npos || b < 13 ? 13 : b + 1;
                std::string name(rest.substr(b, e + 1 - b));
                const int number = static_cast<int>(HexAt(line, 1, 4));
                if (number < 1 || number > dataSegment_ || name.empty())
                    break;
                uintptr_t address = HexAt(line, 6, 8);
                if (dataSegment_ > 2 && number > 1 && number < dataSegment_)
                    address += state.DataOffset;
                const std::uint8_t kind = number < dataSegment_ ? MfKindCode : MfKindData;
                // A leading qualification with the holding unit's name goes.
                const TMfSegment unit =
                    FindSegmentByAddress(*this, kind, address + (kind == MfKindCode ? codeBase_ : dataBase_));
                if (unit.InUse && name.size() > unit.UnitName.size() + 1 &&
                    name.compare(0, unit.UnitName.size(), unit.UnitName) == 0 && name[unit.UnitName.size()] == '.')
                    name.erase(0, unit.UnitName.size() + 1);
                AddPublic(kind, std::move(name), address, true);
            }
            break;
        case S::LineNumbers: {
            std::size_t p = 0;
            while (p < line.size()) {
                p = line.find_first_not_of(' ', p);
                if (p == std::string_view::npos)
                    break;
                const std::size_t colon = line.find(':', p);
                if (colon == std::string_view::npos || colon < 5 || colon + 9 > line.size() || line[colon - 5] != ' ')
                    break;
                const std::size_t blank = colon - 5;
                const int number = DigitsToInt(line.data() + colon - 4, 4, true);
                const uintptr_t offset = static_cast<std::uint32_t>(DigitsToInt(line.data() + colon + 1, 8, true));
                const std::int32_t value = blank > p ? DigitsToInt(line.data() + p, blank - p, false) : 0;
                p = colon + 9;
                if (number < 1 || number >= dataSegment_)
                    continue;
                const uintptr_t address = codeBase_ + offset + (number > 1 ? state.DataOffset : 0);
                if (!first && !lines_.empty() && address <= lines_.back().Address)
                    continue;
                AddLine(value, address);
            }
            break;
        }
        default:
            break;
        }
        return;
    }
    static const char* const headers[] = {"Start         Length     Name                   Class",
                                          "Detailed map of segments", "Publics by Value", "Line numbers for "};
    for (int i = 0; i < 4; ++i) {
        const std::size_t at = line.find(headers[i]);
        if (at == std::string_view::npos)
            continue;
        state.Recognised = true;
        state.Leading = true;
        state.Section = static_cast<S::TSection>(S::SegmentTable + i);
        if (state.Section == S::DetailedSegments) {
            if (state.DetailedSeen)
                state.Section = S::IgnoredLines;
            state.DetailedSeen = true;
        }
        if (state.Section == S::LineNumbers) {
            const std::size_t open = line.size() > 17 ? line.find('(', 17) : std::string_view::npos;
            if (open == std::string_view::npos || line.find(')', open) == std::string_view::npos)
                state.Section = S::IgnoredLines;
        }
        return;
    }
    static const char entryHeader[] = "Program entry point at ";
    // "Program entry point at 0001:00012345": the offset follows the colon.
    if (line.find(entryHeader) != std::string_view::npos && line.size() >= 36 && At(line, 28) == ':') {
        state.Recognised = true;
        entryPoint_ = codeBase_ + HexAt(line, 29, 8);
    }
}

// ---- Lookups ----

namespace {

// Index of the last element whose key is not above address, or -1.
template <class T, class Key>
std::ptrdiff_t LastNotAbove(const std::vector<T>& v, std::size_t first, std::size_t last, uintptr_t address, Key key)
{
    std::size_t lo = first, hi = last;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (key(v[mid]) <= address)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo == first ? -1 : static_cast<std::ptrdiff_t>(lo - 1);
}

} // namespace

TMfSegment FindSegmentByAddress(const TMapFile& map, std::uint8_t kind, uintptr_t address)
{
    const auto& segments = map.Segments();
    // Sorted code first: the range of the wanted kind.
    const auto begin = std::partition_point(segments.begin(), segments.end(),
                                            [kind](const TMfSegment& s) { return s.Kind > kind; });
    const auto end = std::partition_point(begin, segments.end(), [kind](const TMfSegment& s) { return s.Kind == kind; });
    const std::size_t first = static_cast<std::size_t>(begin - segments.begin());
    const std::size_t last = static_cast<std::size_t>(end - segments.begin());
    std::ptrdiff_t i = LastNotAbove(segments, first, last, address, [](const TMfSegment& s) { return s.Start; });
    // A shorter range may start after a longer one that still holds the address.
    for (int tries = 0; i >= static_cast<std::ptrdiff_t>(first) && tries < 8; --i, ++tries) {
        const TMfSegment& s = segments[static_cast<std::size_t>(i)];
        if (address >= s.Start && address - s.Start < s.Length)
            return s;
    }
    return {};
}

TMfPublic FindPublicByAddress(const TMapFile& map, uintptr_t address)
{
    const auto& publics = map.Publics();
    const std::ptrdiff_t i =
        LastNotAbove(publics, 0, publics.size(), address, [](const TMfPublic& p) { return p.Address; });
    if (i < 0)
        return {};
    if (static_cast<std::size_t>(i) + 1 == publics.size() && map.CodeEnd() != 0 && address >= map.CodeEnd())
        return {};
    return publics[static_cast<std::size_t>(i)];
}

int FindLineByAddress(const TMapFile& map, uintptr_t address, uintptr_t& next)
{
    next = address + 1;
    const TMfSegment unit = FindSegmentByAddress(map, MfKindCode, address);
    const int none = unit.InUse && unit.HasLineNumbers ? -1 : 0;
    const auto& lines = map.Lines();
    const std::ptrdiff_t i = LastNotAbove(lines, 0, lines.size(), address, [](const TMfLine& l) { return l.Address; });
    if (i < 0 || !unit.InUse)
        return none;
    const TMfLine& entry = lines[static_cast<std::size_t>(i)];
    if (entry.Address < unit.Start || entry.Address > unit.Start + unit.Length)
        return none;
    if (static_cast<std::size_t>(i) + 1 < lines.size())
        next = lines[static_cast<std::size_t>(i) + 1].Address;
    return entry.Line;
}

uintptr_t FindPublicInUnit(const TMapFile& map, std::uint8_t kind, std::string_view unitName, bool caseSensitive,
                           std::string_view publicName)
{
    const auto search = [&](std::string_view unit) -> uintptr_t {
        uintptr_t found = 0;
        for (const TMfSegment& s : map.Segments()) {
            if (s.Kind != kind || !SameTextCI(s.UnitName, unit))
                continue;
            for (const TMfPublic& p : map.Publics())
                if (p.Kind == kind && p.Address >= s.Start && p.Address - s.Start <= s.Length &&
                    (caseSensitive ? p.Name == publicName : SameTextCI(p.Name, publicName))) {
                    found = p.Address;
                    break;
                }
        }
        return found;
    };
    uintptr_t address = search(unitName);
    if (address == 0 && unitName.find('.') == std::string_view::npos)
        for (const char* extension : {".cpp", ".h", ".c"}) {
            address = search(std::string(unitName) + extension);
            if (address)
                break;
        }
    return address;
}

// ---- The cache ----

namespace {

struct TCacheEntry {
    DWORD FileTime;  // DOS date and time of the module file
    std::shared_ptr<TMapFile> Map;
};

std::mutex CacheMutex;
std::vector<TCacheEntry> Cache;
int UnitRefs = 0;

DWORD DosFileTime(const std::string& fileName)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(fileName.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(find);
    WORD date = 0, time = 0;
    if (!FileTimeToDosDateTime(&data.ftLastWriteTime, &date, &time))
        return 0;
    return static_cast<DWORD>(date) << 16 | time;
}

} // namespace

TMapFilePtr GetModuleMapFile(uintptr_t address)
{
    if (address == 0)
        address = reinterpret_cast<uintptr_t>(&GetModuleMapFile);
    MEMORY_BASIC_INFORMATION info{};
    char path[MAX_PATH + 1];
    if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) != sizeof info ||
        info.State != MEM_COMMIT || !info.AllocationBase)
        return std::make_shared<const TMapFile>();
    HMODULE module = static_cast<HMODULE>(info.AllocationBase);
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::make_shared<const TMapFile>();
    const std::string fileName(path, length);
    const DWORD fileTime = DosFileTime(fileName);

    std::lock_guard<std::mutex> lock(CacheMutex);
    for (std::size_t i = 0; i < Cache.size(); ++i) {
        if (!SameTextCI(Cache[i].Map->ModuleFileName(), fileName))
            continue;
        if (Cache[i].FileTime == fileTime)
            return Cache[i].Map;
        // The file changed: holders keep the old map, the cache forgets it.
        Cache[i] = std::move(Cache.back());
        Cache.pop_back();
        break;
    }
    auto map = std::make_shared<TMapFile>(true);
    if (map->Build(module, fileName)) {
        Grow(Cache);
        Cache.push_back(TCacheEntry{fileTime, map});
    }
    return map;
}

bool LookupAddressInfo(uintptr_t address, TAddressInfo& info)
{
    info = TAddressInfo();
    if (address == 0)
        return false;
    const TMapFilePtr map = GetModuleMapFile(address);
    if (!map->Valid())
        return false;
    info.ModuleName = map->OwnerName();
    info.UnitName = FindSegmentByAddress(*map, MfKindCode, address).UnitName;
    const TMfPublic pub = FindPublicByAddress(*map, address);
    if (pub.InUse) {
        info.PublicName = pub.Name;
        info.EntryPoint = pub.Address;
    }
    uintptr_t next;
    info.Line = std::max(0, FindLineByAddress(*map, address, next));
    return true;
}

std::string MapFilePublicNameHook(uintptr_t address)
{
    try {
        const TMapFilePtr map = GetModuleMapFile(address);
        const TMfPublic pub = FindPublicByAddress(*map, address);
        if (!pub.InUse || pub.Address != address)
            return {};
        const std::string unit = FindSegmentByAddress(*map, MfKindCode, address).UnitName;
        return unit.empty() ? pub.Name : unit + "." + pub.Name;
    } catch (...) {
        return {};
    }
}

void MapFileLineHook(uintptr_t address, int& line, uintptr_t& rangeStart, uintptr_t& rangeEnd)
{
    if (line != 0 && address >= rangeStart && address < rangeEnd)
        return;
    uintptr_t next = address + 1;
    int found = 0;
    try {
        found = FindLineByAddress(*GetModuleMapFile(address), address, next);
    } catch (...) {
        found = 0;
    }
    line = std::max(0, found);
    rangeStart = address;
    rangeEnd = next;
}

void InitializeMapFileUnit()
{
    std::lock_guard<std::mutex> lock(CacheMutex);
    if (UnitRefs++ == 0) {
        SetDisAsmNameHook(MapFilePublicNameHook);
        SetDisAsmLineHook(MapFileLineHook);
    }
}

void FinalizeMapFileUnit()
{
    std::lock_guard<std::mutex> lock(CacheMutex);
    if (UnitRefs == 0 || --UnitRefs != 0)
        return;
    SetDisAsmNameHook(nullptr);
    SetDisAsmLineHook(nullptr);
    Cache.clear();
}

void SetMinDebugInfoReader(TMinDebugInfoReader reader)
{
    std::lock_guard<std::mutex> lock(ReaderMutex);
    MinDebugInfoReader = reader ? reader : DefaultMinDebugInfo;
}

// ---- JDBG files ----
//
// "JDBG", then numbers and names: the version (1); the unit count, per unit its start (as the
// difference from the previous start) and name, then the end of the last unit (as the difference
// from its start); the procedure count, per procedure its address difference and name; the line
// count, per entry the address difference and the line difference. Addresses are relative to
// the code base. A number takes 7 bits per byte, least significant group first, a set top bit
// announcing more; 0x7FFFFFFF is no number. Differences wrap at 32 bits.

namespace {

class TJdbgReader {
public:
    TJdbgReader(const std::string& data) : data_(data) {}

    bool Number(std::uint32_t& value)
    {
        value = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            if (pos_ >= data_.size())
                return false;
            const unsigned char b = static_cast<unsigned char>(data_[pos_++]);
            value |= static_cast<std::uint32_t>(b & 0x7F) << shift;
            if (!(b & 0x80))
                return value != 0x7FFFFFFF;
        }
        return false;
    }

    // Mode byte 1: plain text up to a zero, each byte but 0xAA XORed with 0xAA. Mode 0 or 2 ("@"
    // in front): 6-bit codes, four per three bytes, least significant first, 0 ending the name.
    bool Name(std::string& name)
    {
        name.clear();
        if (pos_ >= data_.size())
            return false;
        const unsigned char mode = static_cast<unsigned char>(data_[pos_++]);
        if (mode == 1) {
            for (;;) {
                if (pos_ >= data_.size())
                    return false;
                const unsigned char b = static_cast<unsigned char>(data_[pos_++]);
                if (b == 0)
                    return true;
                name += static_cast<char>(b == 0xAA ? b : b ^ 0xAA);
            }
        }
        if (mode != 0 && mode != 2)
            return false;
        static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
        if (mode == 2)
            name = "@";
        for (;;) {
            if (pos_ + 3 > data_.size())
                return false;
            std::uint32_t group = 0;
            for (int i = 0; i < 3; ++i)
                group |= static_cast<std::uint32_t>(static_cast<unsigned char>(data_[pos_++])) << (8 * i);
            for (int i = 0; i < 4; ++i) {
                const unsigned code = (group >> (6 * i)) & 63;
                if (code == 0)
                    return true;
                if (name.size() >= 255)
                    return false;
                name += digits[code - 1];
            }
        }
    }

private:
    const std::string& data_;
    std::size_t pos_ = 4;
};

} // namespace

bool TMapFile::ReadJdbgFile(const std::string& fileName)
{
    std::string data;
    if (!ReadWholeFile(fileName, data) || data.size() < 5 || data.compare(0, 4, "JDBG") != 0)
        return false;
    TJdbgReader r(data);
    TSourceGuard guard(segments_, publics_, lines_);
    std::uint32_t version, count, delta;
    if (!r.Number(version) || version != 1 || !r.Number(count))
        return false;
    std::uint32_t start = 0;
    std::string name, previous;
    std::uint32_t previousStart = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!r.Number(delta) || !r.Name(name))
            return false;
        start += delta;
        if (i > 0)
            AddSegment(MfKindCode, previousStart, start - previousStart, previous, true, true, false);
        previous = name.substr(name.find_last_of("\\/") + 1);
        previousStart = start;
    }
    if (count > 0) {
        if (!r.Number(delta))
            return false;
        AddSegment(MfKindCode, previousStart, delta, previous, true, true, false);
    }
    MergeSegments();
    std::uint32_t address = 0;
    if (!r.Number(count))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!r.Number(delta) || !r.Name(name))
            return false;
        address += delta;
        // A qualification with the holding unit's name goes.
        const std::string unit = FindSegmentByAddress(*this, MfKindCode, codeBase_ + address).UnitName;
        if (!unit.empty() && name.size() > unit.size() + 1 && SameTextCI(std::string_view(name).substr(0, unit.size()), unit) &&
            name[unit.size()] == '.')
            name.erase(0, unit.size() + 1);
        AddPublic(MfKindCode, name, address, true);
    }
    address = 0;
    std::uint32_t line = 0, lineDelta;
    if (!r.Number(count))
        return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!r.Number(delta) || !r.Number(lineDelta))
            return false;
        address += delta;
        line += lineDelta;
        AddLine(static_cast<std::int32_t>(line), codeBase_ + address);
    }
    MergeSegments();
    return guard.Commit(true);
}

// ---- TD32 ----
//
// "FB09" or "FB0A", the offset of the subsection directory; the directory: header size (16 bits),
// entry size (16), entry count (32), two more 32-bit fields; per entry: type (16), module (16),
// offset and size (32 each), offsets counted from the signature. Subsections read here:
//   0x130 names: count, per name a length byte, the characters and a terminating byte (index 1..n).
//   0x120 module: overlay, library, segment count, style (16 bits each); per segment: segment,
//         flags (16 each), offset, size (32 each); then the unit's name index (32).
//   0x127 source module: file count, range count (16 each), file offsets (32 each, from the
//         subsection), ranges (2 x 32 each), range segments (16 each); per file: block count (16),
//         pad (16), block offsets (32 each), ranges, name index (32); per block: segment, pair
//         count (16 each), offsets (32 each), lines (16 each).
//   0x129 (else 0x125) symbols after a 16-byte (0x125: 4-byte) header, each record: length (16,
//         not counting itself), type (16), body. Procedures 0x204/0x205: six 32-bit fields, offset
//         (32), segment (16), flags (16), type (32), name index (32). Data 0x201/0x202 and publics
//         0x20/0x21: offset (32), segment (16), flags (16), type (32), name index (32).

namespace {

bool HasTd32Signature(const void* data, std::size_t size)
{
    return data && size >= 4 && (std::memcmp(data, "FB09", 4) == 0 || std::memcmp(data, "FB0A", 4) == 0);
}

class TTd32View {
public:
    TTd32View(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    bool Has(std::size_t at, std::size_t count) const { return at <= size_ && count <= size_ - at; }
    std::uint32_t U32(std::size_t at) const { return Has(at, 4) ? LoadU32(data_ + at) : 0; }
    std::uint16_t U16(std::size_t at) const
    {
        return Has(at, 2) ? static_cast<std::uint16_t>(data_[at] | data_[at + 1] << 8) : 0;
    }
    const unsigned char* Data() const { return data_; }
    std::size_t Size() const { return size_; }
    // The bytes [at, at + count), which must lie within this view.
    TTd32View Part(std::size_t at, std::size_t count) const { return TTd32View(data_ + at, count); }

private:
    const unsigned char* data_;
    std::size_t size_;
};

struct TTd32Entry {
    std::uint16_t Type, Module;
    std::uint32_t Offset, Size;
};

// The line numbers of a source-module subsection, handed to addLine(segment, offset, line).
// Counts and offsets come from the data. Every record must lie within the subsection, and the
// records together may need no more bytes than it has: records that share bytes would let a
// few bytes name the same lines over and over. False for data that breaks either rule.
template <class TAddLine>
bool ReadTd32SourceModule(const TTd32View& s, TAddLine addLine)
{
    std::size_t used = 0;
    const auto claim = [&](std::size_t at, std::size_t count) {
        used += count;
        return s.Has(at, count) && used <= s.Size();
    };
    const std::uint16_t files = s.U16(0), ranges = s.U16(2);
    // Counts, file offsets, ranges (start and end) and their segments.
    if (!claim(0, 4 + std::size_t(files) * 4 + std::size_t(ranges) * 10))
        return false;
    for (std::size_t f = 0; f < files; ++f) {
        const std::size_t file = s.U32(4 + f * 4);
        const std::uint16_t blocks = s.U16(file);
        // Block count, pad, block offsets, their ranges and the file's name index.
        if (!claim(file, 8 + std::size_t(blocks) * 12))
            return false;
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t block = s.U32(file + 4 + b * 4);
            const std::uint16_t segment = s.U16(block), pairs = s.U16(block + 2);
            // Segment, pair count, offsets and lines.
            if (!claim(block, 4 + std::size_t(pairs) * 6))
                return false;
            for (std::size_t p = 0; p < pairs; ++p)
                addLine(segment, s.U32(block + 4 + p * 4), s.U16(block + 4 + std::size_t(pairs) * 4 + p * 2));
        }
    }
    return true;
}

// Owns a view of a file mapping.
struct TViewUnmapper {
    void operator()(const void* view) const noexcept { UnmapViewOfFile(view); }
};
using TMappedView = std::unique_ptr<const void, TViewUnmapper>;

} // namespace

bool Td32DirectoryFits(std::uint64_t size, std::uint32_t directory, std::uint16_t headerSize,
                       std::uint16_t entrySize, std::uint32_t entryCount) noexcept
{
    const std::uint64_t entries = std::uint64_t(directory) + headerSize;
    return std::uint64_t(directory) + 16 <= size && entries <= size &&
           std::uint64_t(entryCount) * entrySize <= size - entries;
}

bool TMapFile::ReadTd32Data(const void* data, std::size_t size)
{
    const TTd32View v(static_cast<const unsigned char*>(data), size);
    if (!HasTd32Signature(data, size) || size < 8)
        return false;
    const std::uint32_t dir = v.U32(4);
    const std::uint16_t headerSize = v.U16(dir), entrySize = v.U16(dir + 2);
    const std::uint32_t entryCount = v.U32(dir + 4);
    if (entrySize < 12 || !Td32DirectoryFits(size, dir, headerSize, entrySize, entryCount))
        return false;
    std::vector<TTd32Entry> entries;
    // Subsections lie side by side: listing one many times would multiply the work of reading it.
    std::uint64_t listed = 0;
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const std::size_t at = dir + headerSize + std::size_t(i) * entrySize;
        TTd32Entry e{v.U16(at), v.U16(at + 2), v.U32(at + 4), v.U32(at + 8)};
        listed += e.Size;
        if (!v.Has(e.Offset, e.Size) || listed > size)
            return false;
        entries.push_back(e);
    }
    TSourceGuard guard(segments_, publics_, lines_);
    std::vector<std::string> names(1);
    for (const TTd32Entry& e : entries)
        if (e.Type == 0x130) {
            const TTd32View s = v.Part(e.Offset, e.Size);
            const std::uint32_t count = s.U32(0);
            for (std::size_t at = 4, i = 0; i < count && at < s.Size(); ++i) {
                const std::size_t length = s.Data()[at];
                if (!s.Has(at, 1 + length + 1))
                    return false;
                names.emplace_back(reinterpret_cast<const char*>(s.Data()) + at + 1, length);
                at += length + 2;
            }
        }
    const auto nameOf = [&](std::uint32_t index) { return index < names.size() ? names[index] : std::string(); };
    // Segment number and offset to kind and relative address; false for segments not kept.
    const auto place = [&](std::uint16_t segment, std::uint32_t offset, std::uint8_t& kind, uintptr_t& address) {
        if (segment < 1 || segment > dataSegment_)
            return false;
        kind = segment < dataSegment_ ? MfKindCode : MfKindData;
        address = offset + (kind == MfKindCode && segment > 1 ? secondCodeOffset_ : 0);
        return true;
    };
    for (const TTd32Entry& e : entries) {
        if (e.Type == 0x120) {
            const TTd32View s = v.Part(e.Offset, e.Size);
            const std::uint16_t count = s.U16(4);
            const std::size_t nameAt = 8 + std::size_t(count) * 12;
            if (!s.Has(nameAt, 4))
                return false;
            const std::string unit = nameOf(s.U32(nameAt));
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t at = 8 + i * 12;
                std::uint8_t kind;
                uintptr_t start;
                if (place(s.U16(at), s.U32(at + 4), kind, start))
                    AddSegment(kind, start, s.U32(at + 8), unit, true, false, false);
            }
        } else if (e.Type == 0x127) {
            const auto addLine = [&](std::uint16_t segment, std::uint32_t offset, std::uint16_t line) {
                std::uint8_t kind;
                uintptr_t address;
                if (place(segment, offset, kind, address) && kind == MfKindCode)
                    AddLine(line, codeBase_ + address);
            };
            if (!ReadTd32SourceModule(v.Part(e.Offset, e.Size), addLine))
                return false;
        }
    }
    MergeSegments();
    const TTd32Entry* symbols = nullptr;
    for (const TTd32Entry& e : entries)
        if (e.Type == 0x129 || (e.Type == 0x125 && !symbols))
            symbols = &e;
    if (symbols) {
        std::size_t at = symbols->Offset + (symbols->Type == 0x129 ? 16 : 4);
        const std::size_t end = symbols->Offset + symbols->Size;
        while (at + 4 <= end) {
            const std::uint16_t length = v.U16(at), type = v.U16(at + 2);
            const std::size_t body = at + 4;
            at += 2 + std::size_t(length);
            if (length < 2 || at > end)
                return false;
            std::size_t fields = 0;
            if (type == 0x204 || type == 0x205)
                fields = body + 24;
            else if (type == 0x201 || type == 0x202 || type == 0x20 || type == 0x21)
                fields = body;
            else
                continue;
            if (fields + 16 > at)
                return false;
            std::uint8_t kind;
            uintptr_t address;
            if (!place(v.U16(fields + 4), v.U32(fields), kind, address))
                continue;
            const bool code = type == 0x204 || type == 0x205 || type == 0x20;
            if (code != (kind == MfKindCode))
                continue;
            AddPublic(kind, nameOf(v.U32(fields + 12)), address, true);
        }
    }
    SortPublics();
    MergeSegments();
    return guard.Commit(true);
}

bool TMapFile::ReadTd32(const std::string& moduleFileName)
{
    const std::string base = PathBase(moduleFileName);
    const std::string tds = base + ".tds";
    // A ".tds" file older (in whole days) than a map file beside it is stale.
    WIN32_FILE_ATTRIBUTE_DATA tdsInfo{}, mapInfo{};
    bool useTds = GetFileAttributesExA(tds.c_str(), GetFileExInfoStandard, &tdsInfo) != 0;
    if (useTds && GetFileAttributesExA((base + ".map").c_str(), GetFileExInfoStandard, &mapInfo)) {
        const auto days = [](const FILETIME& t) {
            return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 864000000000ull;
        };
        useTds = days(tdsInfo.ftLastWriteTime) >= days(mapInfo.ftLastWriteTime);
    }
    const std::string& source = useTds ? tds : moduleFileName;
    HANDLE file = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    HANDLE mapping = GetFileSizeEx(file, &size) && size.QuadPart > 0
                         ? CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr)
                         : nullptr;
    CloseHandle(file);
    if (!mapping)
        return false;
    const TMappedView owner(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    CloseHandle(mapping);
    const void* view = owner.get();
    if (!view)
        return false;
    bool read = false;
    const std::size_t length = static_cast<std::size_t>(size.QuadPart);
    if (useTds) {
        read = ReadTd32Data(view, length);
    } else {
        // The image's debug directory points at the information inside the file. Only the first
        // entry with its signature is read: entries could all name the same costly data.
        const TPeView pe(view, length, TPeView::TLayout::File);
        const IMAGE_DATA_DIRECTORY* dir = pe.Valid() ? pe.DataDirectory(IMAGE_DIRECTORY_ENTRY_DEBUG) : nullptr;
        const auto* entries = dir ? static_cast<const unsigned char*>(pe.At(dir->VirtualAddress, dir->Size)) : nullptr;
        for (std::size_t i = 0; entries && i < dir->Size / sizeof(IMAGE_DEBUG_DIRECTORY); ++i) {
            IMAGE_DEBUG_DIRECTORY d;
            std::memcpy(&d, entries + i * sizeof d, sizeof d);
            if (d.PointerToRawData >= length || d.SizeOfData > length - d.PointerToRawData)
                continue;
            const unsigned char* at = static_cast<const unsigned char*>(view) + d.PointerToRawData;
            if (HasTd32Signature(at, d.SizeOfData)) {
                read = ReadTd32Data(at, d.SizeOfData);
                break;
            }
        }
    }
    return read;
}
