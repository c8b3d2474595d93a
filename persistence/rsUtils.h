#pragma once

// Shared routines of the storage components: the error type, the number classifier,
// the hexadecimal and Base64 codecs, path helpers and the block compressor.

#include "Classes.h"
#include "Streams.h"
#include "SysUtils.h"

#include <cstdint>
#include <functional>
#include <string>

class TrsException : public Exception {
public:
    TrsException(int kind, std::string message) : Exception(std::move(message)), Kind(kind) {}
    int Kind;
};

enum : int {
    rsGetKeyError = 0,
    rsXmlParserError = 1,
    rsSetKeyError = 2,
    rsSearchPrepareError = 3,
    rsSearchError = 4,
    rsRegDataError = 5,
    rsLibraryError = 6,
};

// The message prefix of an error kind; unknown kinds share the library's prefix.
std::string StorageErrorPrefix(int kind);
[[noreturn]] void RaiseStorageError(int kind, const std::string& detail);

// The decimal separator of the calling thread's locale.
char LocaleDecimalSeparator();

enum TrsNumberClass { ncNone = 0, ncInteger = 1, ncFloat = 2, ncInt64 = 3 };
// What kind of number the text is; the separator marks a float.
TrsNumberClass ClassifyNumber(const std::string& text, char decimalSeparator);

struct TrsHexLayout {
    std::string LineBreak = "\r\n";  // written between lines
    int StartColumn = 0;             // the column the first pair starts after
    bool Compact = false;            // pairs without separators or breaks
};
// Two upper-case digits per byte; pairs separated by "," and broken into lines near column 77.
std::string HexEncode(const void* buffer, size_t length, const TrsHexLayout& layout = {});
// Pairs of digits; CR, LF, blanks, "," and "\" are skipped; anything else gives an empty result.
std::string HexDecode(const std::string& text);

// Standard alphabet without padding.
std::string Base64EncodeRs(const void* buffer, size_t length);
// Empty on any character outside the alphabet or an impossible length.
std::string Base64DecodeRs(const std::string& text);

bool IsPathSeparator(char c);
// The text from position (0-based) up to the next separator; position is left on it.
std::string NextPathPart(const std::string& path, size_t& position);
// ASCII, case-insensitive: <0, 0, >0.
int SameNameCompare(const std::string& a, const std::string& b);
// Swaps the bytes of every 16-bit unit up to the first zero unit (or the end).
void SwapByteOrder16(void* buffer, size_t length);
std::string QuoteIfNeeded(const std::string& s);

// Searches owner's components from the last to the first, then those of the other top-level
// components given, for an instance of the class that the filter accepts.
TComponent* FindComponentOfClass(const TClassInfo& cls, TComponent* owner,
                                 const std::function<bool(TComponent*)>& filter = {},
                                 const std::vector<TComponent*>& others = {});

// The block compressor: blocks of at most this many bytes, each as a 4-byte size and the
// packed bytes.
constexpr size_t kRsBlockSize = 32782;
void CompressStream(TStream& source, TStream& dest);
// Raises TrsException for damaged input; never reads or writes outside its buffers.
void DecompressStream(TStream& source, TStream& dest);
// One block; exposed for tests. The result starts with the flag byte (64 packed, 128 stored).
std::string CompressBlock(const unsigned char* data, size_t length);
// Appends the block's bytes to out; false when the block is damaged.
bool DecompressBlock(const unsigned char* data, size_t length, std::string& out);
