#include "rsUtils.h"

#include <array>
#include <cstring>

std::string StorageErrorPrefix(int kind) {
    switch (kind) {
    case rsGetKeyError: return "TrsStorage get key value error:";
    case rsXmlParserError: return "TrsXMLData parser error:";
    case rsSetKeyError: return "TrsStorage set key value error:";
    case rsSearchPrepareError: return "TrsSearch prepare search error:";
    case rsSearchError: return "TrsSearch error:";
    case rsRegDataError: return "TrsRegData error:";
    default: return "Storage library error:";
    }
}

void RaiseStorageError(int kind, const std::string& detail) {
    throw TrsException(kind, StorageErrorPrefix(kind) + " " + detail);
}

char LocaleDecimalSeparator() {
    char text[8] = "";
    if (GetLocaleInfoA(GetThreadLocale(), LOCALE_SDECIMAL, text, sizeof(text)) > 1)
        return text[0];
    return '.';
}

TrsNumberClass ClassifyNumber(const std::string& text, char decimalSeparator) {
    int digits = 0;
    bool separator = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9')
            ++digits;
        else if ((c == '+' || c == '-') && i == 0)
            continue;
        else if (c == decimalSeparator && !separator)
            separator = true;
        else
            return ncNone;
    }
    if (digits == 0)
        return ncNone;
    if (separator)
        return ncFloat;
    if (digits < 10)
        return ncInteger;
    if (digits > 10)
        return ncInt64;
    const bool sign = text[0] == '+' || text[0] == '-';
    const std::string limit = text[0] == '-' ? "2147483648" : "2147483647";
    return text.substr(sign ? 1 : 0).compare(limit) <= 0 ? ncInteger : ncInt64;
}

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    const char* at = c ? std::strchr(kBase64, c) : nullptr;
    return at ? static_cast<int>(at - kBase64) : -1;
}

}  // namespace

std::string HexEncode(const void* buffer, size_t length, const TrsHexLayout& layout) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::string out;
    out.reserve(length * 3);
    const size_t cr = layout.LineBreak.find('\r');
    const size_t lf = layout.LineBreak.rfind('\n');
    const int limit = 77 - static_cast<int>(cr == std::string::npos ? layout.LineBreak.size() : cr);
    const int restart = (lf == std::string::npos ? 0 : static_cast<int>(layout.LineBreak.size() - lf - 1)) + 1;
    int column = layout.StartColumn + 1;
    for (size_t i = 0; i < length; ++i) {
        out += kHexDigits[bytes[i] >> 4];
        out += kHexDigits[bytes[i] & 15];
        if (layout.Compact || i + 1 == length)
            continue;
        out += ',';
        column += 3;
        if (column > limit && length - i - 1 >= 2) {
            out += layout.LineBreak;
            column = restart;
        }
    }
    return out;
}

std::string HexDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n' || c == ' ' || c == ',' || c == '\\')
            continue;
        const int high = HexDigitValue(c);
        const int low = i + 1 < text.size() ? HexDigitValue(text[i + 1]) : -1;
        if (high < 0 || low < 0)
            return {};
        out += static_cast<char>(high * 16 + low);
        ++i;
    }
    return out;
}

std::string Base64EncodeRs(const void* buffer, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::string out;
    out.reserve(length / 3 * 4 + 3);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out += kBase64[(v >> shift) & 63];
    }
    const size_t rest = length - i;
    if (rest) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (rest == 2)
            v |= uint32_t(bytes[i + 1]) << 8;
        for (size_t k = 0; k <= rest; ++k)
            out += kBase64[(v >> (18 - 6 * k)) & 63];
    }
    return out;
}

std::string Base64DecodeRs(const std::string& text) {
    if (text.size() % 4 == 1)
        return {};
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    uint32_t v = 0;
    int bits = 0;
    for (char c : text) {
        const int value = Base64Value(c);
        if (value < 0)
            return {};
        v = v << 6 | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 255);
        }
    }
    return out;
}

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

std::string NextPathPart(const std::string& path, size_t& position) {
    const size_t start = position;
    while (position < path.size() && !IsPathSeparator(path[position]))
        ++position;
    return path.substr(start, position - start);
}

int SameNameCompare(const std::string& a, const std::string& b) { return CompareText(a, b); }

void SwapByteOrder16(void* buffer, size_t length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (size_t i = 0; i + 1 < length; i += 2) {
        if (bytes[i] == 0 && bytes[i + 1] == 0)
            break;
        std::swap(bytes[i], bytes[i + 1]);
    }
}

std::string QuoteIfNeeded(const std::string& s) {
    // A lone double quote begins and ends with one too.
    if (s.empty() || (s.front() == '"' && s.back() == '"'))
        return s;
    return "\"" + s + "\"";
}

TComponent* FindComponentOfClass(const TClassInfo& cls, TComponent* owner,
                                 const std::function<bool(TComponent*)>& filter,
                                 const std::vector<TComponent*>& others) {
    auto search = [&](TComponent* root) -> TComponent* {
        for (int i = root->ComponentCount(); i-- > 0;) {
            TComponent* c = root->Components(i);
            if (c->InheritsFrom(cls) && (!filter || filter(c)))
                return c;
        }
        return nullptr;
    };
    if (owner)
        if (TComponent* found = search(owner))
            return found;
    for (TComponent* other : others)
        if (other && other != owner)
            if (TComponent* found = search(other))
                return found;
    return nullptr;
}

// ---- block compressor ----------------------------------------------------------------

namespace {

constexpr unsigned char kFlagPacked = 64;
constexpr unsigned char kFlagStored = 128;
constexpr size_t kMaxRun = 4095;
constexpr size_t kMaxMatch = 18;
constexpr size_t kWindow = 4096;

}  // namespace

std::string CompressBlock(const unsigned char* data, size_t length) {
    // One table per thread, reused by every block.
    thread_local std::array<uint16_t, 4096> table;
    table.fill(0xFFFF);
    std::string out;
    out.reserve(length + 3);
    out += static_cast<char>(kFlagPacked);
    size_t controlAt = out.size();
    out.append(2, '\0');
    unsigned control = 0;
    int used = 0;
    size_t pos = 0;
    auto flushControl = [&](int shift) {
        control <<= shift;
        out[controlAt] = static_cast<char>((control >> 8) & 255);
        out[controlAt + 1] = static_cast<char>(control & 255);
    };
    while (pos < length) {
        if (out.size() > length)
            break;  // packing does not pay: store
        if (used == 16) {
            flushControl(0);
            controlAt = out.size();
            out.append(2, '\0');
            control = 0;
            used = 0;
        }
        size_t run = 1;
        while (pos + run < length && run < kMaxRun && data[pos + run] == data[pos])
            ++run;
        if (run >= 16) {
            out += '\0';
            out += static_cast<char>((run - 16) >> 8);
            out += static_cast<char>((run - 16) & 255);
            out += static_cast<char>(data[pos]);
            control = control << 1 | 1;
            pos += run;
        } else {
            size_t matched = 0, distance = 0;
            if (pos + 2 < length) {
                const unsigned hash = ((((unsigned(data[pos]) << 4) ^ data[pos + 1]) << 4 ^ data[pos + 2]) * 40543u >> 4) & 4095;
                const size_t candidate = table[hash];
                table[hash] = static_cast<uint16_t>(pos);
                if (candidate != 0xFFFF && candidate < pos && pos - candidate < kWindow) {
                    while (matched < kMaxMatch && pos + matched < length && data[candidate + matched] == data[pos + matched])
                        ++matched;
                    distance = pos - candidate;
                }
            }
            if (matched >= 3) {
                const size_t word = (matched - 3) + distance * 16;
                out += static_cast<char>(word >> 8);
                out += static_cast<char>(word & 255);
                control = control << 1 | 1;
                pos += matched;
            } else {
                out += static_cast<char>(data[pos]);
                control <<= 1;
                ++pos;
            }
        }
        ++used;
    }
    if (pos < length || out.size() > length) {
        std::string stored(1, static_cast<char>(kFlagStored));
        stored.append(reinterpret_cast<const char*>(data), length);
        return stored;
    }
    flushControl(16 - used);
    return out;
}

bool DecompressBlock(const unsigned char* data, size_t length, std::string& out) {
    if (length == 0)
        return false;
    if (data[0] == kFlagStored) {
        if (length - 1 > kRsBlockSize)
            return false;
        out.append(reinterpret_cast<const char*>(data + 1), length - 1);
        return true;
    }
    if (data[0] != kFlagPacked)
        return false;
    const size_t start = out.size();
    size_t in = 1;
    while (in < length) {
        if (length - in < 2)
            return false;
        unsigned control = unsigned(data[in]) << 8 | data[in + 1];
        in += 2;
        for (int bit = 0; bit < 16 && in < length; ++bit, control <<= 1) {
            const size_t produced = out.size() - start;
            if (!(control & 0x8000)) {
                if (produced >= kRsBlockSize)
                    return false;
                out += static_cast<char>(data[in++]);
                continue;
            }
            if (length - in < 2)
                return false;
            const size_t offset = size_t(data[in]) * 16 + (data[in + 1] >> 4);
            if (offset == 0) {
                if (length - in < 4)
                    return false;
                const size_t count = size_t(data[in + 1]) * 256 + data[in + 2] + 16;
                if (count > kRsBlockSize - produced)
                    return false;
                out.append(count, static_cast<char>(data[in + 3]));
                in += 4;
            } else {
                const size_t count = (data[in + 1] & 15) + 3;
                if (offset > produced || count > kRsBlockSize - produced)
                    return false;
                // Byte by byte: a copy may overlap what it writes.
                for (size_t k = 0; k < count; ++k)
                    out += out[out.size() - offset];
                in += 2;
            }
        }
    }
    return true;
}

void CompressStream(TStream& source, TStream& dest) {
    std::string block(kRsBlockSize, '\0');
    for (;;) {
        const int64_t got = source.Read(block.data(), static_cast<int64_t>(kRsBlockSize));
        if (got <= 0)
            break;
        const std::string packed = CompressBlock(reinterpret_cast<const unsigned char*>(block.data()), static_cast<size_t>(got));
        unsigned char size[4];
        for (int i = 0; i < 4; ++i)
            size[i] = static_cast<unsigned char>(packed.size() >> (8 * i));
        dest.WriteBuffer(size, 4);
        dest.WriteBuffer(packed.data(), static_cast<int64_t>(packed.size()));
    }
}

void DecompressStream(TStream& source, TStream& dest) {
    std::string packed;
    std::string plain;
    for (;;) {
        unsigned char size[4];
        if (source.Read(size, 4) < 4)
            break;
        const uint32_t length = uint32_t(size[0]) | uint32_t(size[1]) << 8 | uint32_t(size[2]) << 16 | uint32_t(size[3]) << 24;
        if (length == 0)
            break;
        // Never more than a stored block: the flag and the block itself.
        if (length > kRsBlockSize + 1)
            RaiseStorageError(rsLibraryError, "Compressed block too large");
        packed.resize(length);
        if (source.Read(packed.data(), length) != static_cast<int64_t>(length))
            RaiseStorageError(rsLibraryError, "Compressed block cut short");
        plain.clear();
        if (!DecompressBlock(reinterpret_cast<const unsigned char*>(packed.data()), length, plain))
            RaiseStorageError(rsLibraryError, "Compressed block damaged");
        dest.WriteBuffer(plain.data(), static_cast<int64_t>(plain.size()));
    }
}
