#pragma once

// Debug symbols of loaded modules: unit, function and source line of a code address, and the
// address of a function named by unit and name. Each module's symbols are read once, from the
// first source that works: packed map data (resource "EXCEPT" of type "HX", or "<base>.hx"),
// TD32 information, the linker's text map ("<base>.map") or a ".jdbg" file, where <base> is the
// module's path without its extension. Maps are shared: a map handed out stays alive while the
// caller holds it, even when the cache rebuilds or drops it meanwhile.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Kinds of segments and publics.
enum : std::uint8_t { MfKindData = 0, MfKindCode = 1 };

// One unit's address range (absolute addresses).
struct TMfSegment {
    bool InUse = false;
    std::uint8_t Kind = MfKindData;
    uintptr_t Start = 0;
    uintptr_t Length = 0;
    std::string UnitName;
    bool HasLineNumbers = false;
};

struct TMfPublic {
    bool InUse = false;
    std::uint8_t Kind = MfKindData;
    std::string Name;
    uintptr_t Address = 0;
};

struct TMfLine {
    std::int32_t Line = 0;
    uintptr_t Address = 0;
};

// An in-memory read cursor. The block grows and shrinks in steps of 8192 bytes.
class TMiniStream {
public:
    TMiniStream() = default;
    TMiniStream(const void* data, std::ptrdiff_t size);

    // Keeps the position within the new size; a negative size counts as 0.
    void SetSize(std::ptrdiff_t size);
    std::ptrdiff_t Size() const noexcept { return size_; }
    std::ptrdiff_t Capacity() const noexcept { return static_cast<std::ptrdiff_t>(block_.size()); }
    std::ptrdiff_t Position() const noexcept { return position_; }
    void SetPosition(std::ptrdiff_t position) noexcept { position_ = position; }
    std::ptrdiff_t Remaining() const noexcept;
    unsigned char* Memory() noexcept { return block_.empty() ? nullptr : block_.data(); }

    // Copies min(count, size - position) bytes and advances; 0 for a negative position or count.
    std::ptrdiff_t Read(void* buffer, std::ptrdiff_t count) noexcept;
    // False when the stream ends first (the position then stays where it was).
    bool ReadInt32(std::int32_t& value) noexcept;
    // One signed byte; -128 announces a 4-byte integer.
    bool ReadPackedInt(std::int32_t& value) noexcept;
    // One length byte and that many characters.
    bool ReadShortText(std::string& text);

private:
    std::vector<unsigned char> block_;
    std::ptrdiff_t size_ = 0;
    std::ptrdiff_t position_ = 0;
};

// The debug symbols of one module. Built once, then only read.
class TMapFile {
public:
    explicit TMapFile(bool codeOnly = true) : codeOnly_(codeOnly) {}
    TMapFile(const TMapFile&) = delete;
    TMapFile& operator=(const TMapFile&) = delete;

    // Reads the module's bases from its headers (module may be nullptr: bases stay 0 and only
    // the file sources are tried), then the first source that works. True when one did.
    bool Build(HMODULE module, const std::string& fileName);

    // The sources one by one (each adds to the map; true when it was read).
    bool ReadPackedData(const void* data, std::size_t size);
    bool ReadPackedFile(const std::string& fileName);
    bool ReadTextMap(const std::string& fileName);
    bool ReadJdbgFile(const std::string& fileName);
    // TD32 from "<base>.tds" or, through its debug directory, from the image file itself.
    bool ReadTd32(const std::string& moduleFileName);
    bool ReadTd32Data(const void* data, std::size_t size);
    // Sorts the line table and marks the map valid.
    void Finish();

    bool Valid() const noexcept { return valid_; }
    bool CodeOnly() const noexcept { return codeOnly_; }
    HMODULE Module() const noexcept { return module_; }
    const std::string& ModuleFileName() const noexcept { return fileName_; }
    // The module as printed in stack lines (its full path; callers drop the folder).
    const std::string& OwnerName() const noexcept { return ownerName_; }
    // "$xxxxxxxx, $xxxxxxxx, $xxxxxxxx" of minimal packed data; empty when unused.
    const std::string& Descriptor() const noexcept { return descriptor_; }

    uintptr_t EntryPoint() const noexcept { return entryPoint_; }
    uintptr_t CodeBase() const noexcept { return codeBase_; }
    uintptr_t CodeEnd() const noexcept { return codeEnd_; }
    uintptr_t DataBase() const noexcept { return dataBase_; }
    uintptr_t DataEnd() const noexcept { return dataEnd_; }
    // Sorted by kind (code first), start and length after reading.
    const std::vector<TMfSegment>& Segments() const noexcept { return segments_; }
    // Sorted by address after reading.
    const std::vector<TMfPublic>& Publics() const noexcept { return publics_; }
    const std::vector<TMfLine>& Lines() const noexcept { return lines_; }

    // Adding symbols. Relative addresses get the code or data base added. Extend: a piece that
    // continues the last segment of the same kind and name (within 2 bytes) stretches it.
    // Ordered: the segment is inserted so that the array stays sorted.
    void AddSegment(std::uint8_t kind, uintptr_t start, uintptr_t length, std::string unitName,
                    bool relative, bool extend, bool ordered, bool hasLineNumbers = false);
    void AddPublic(std::uint8_t kind, std::string name, uintptr_t address, bool relative);
    void AddLine(std::int32_t line, uintptr_t address);
    void SetBases(uintptr_t codeBase, uintptr_t codeEnd, uintptr_t dataBase, uintptr_t dataEnd);
    void SetEntryPoint(uintptr_t address) noexcept { entryPoint_ = address; }

private:
    struct TTextMapState;
    bool ReadPackedStream(TMiniStream& stream);
    void ReadModuleHeaders();
    void SortSegments();
    void MergeSegments();
    void SortPublics();
    void ParseTextMapLine(TTextMapState& state, std::string_view line);

    bool codeOnly_ = true;
    bool valid_ = false;
    HMODULE module_ = nullptr;
    std::string fileName_;
    std::string ownerName_;
    std::string base_;
    std::string descriptor_;
    uintptr_t entryPoint_ = 0;
    uintptr_t codeBase_ = 0;
    uintptr_t codeEnd_ = 0;
    uintptr_t dataBase_ = 0;
    uintptr_t dataEnd_ = 0;
    int dataSegment_ = 2;             // segment number of data in map and TD32 files
    uintptr_t secondCodeOffset_ = 0;  // offset of a second code section from the first
    std::vector<TMfSegment> segments_;
    std::vector<TMfPublic> publics_;
    std::vector<TMfLine> lines_;
};

using TMapFilePtr = std::shared_ptr<const TMapFile>;

// The map of the module holding address (0: this module). A valid map comes from the cache;
// an invalid one is a fresh empty map. Never null.
TMapFilePtr GetModuleMapFile(uintptr_t address);

struct TAddressInfo {
    std::string ModuleName;   // full path
    std::string UnitName;
    int Line = 0;             // 0 = none
    uintptr_t EntryPoint = 0; // of the containing public
    std::string PublicName;
};
// False for address 0 and for modules without symbols.
bool LookupAddressInfo(uintptr_t address, TAddressInfo& info);

// The public's address in the unit, 0 when none. A unit name without "." also finds the unit
// stored with ".cpp", ".h" or ".c".
uintptr_t FindPublicInUnit(const TMapFile& map, std::uint8_t kind, std::string_view unitName,
                           bool caseSensitive, std::string_view publicName);
// The unit range of that kind holding address; InUse false when none.
TMfSegment FindSegmentByAddress(const TMapFile& map, std::uint8_t kind, uintptr_t address);
// The public at or below address (the last one only below the code end); InUse false when none.
TMfPublic FindPublicByAddress(const TMapFile& map, uintptr_t address);
// The line of address and in next the address of the following line entry. 0 without a line,
// -1 when the holding unit is marked as having line numbers but none matched.
int FindLineByAddress(const TMapFile& map, uintptr_t address, uintptr_t& next);

// Whether a TD32 subsection directory at Directory, its HeaderSize-byte header followed by
// EntryCount entries of EntrySize bytes, lies within data of Size bytes. Counted in 64 bits, so
// no product or sum wraps on either target.
bool Td32DirectoryFits(std::uint64_t size, std::uint32_t directory, std::uint16_t headerSize,
                       std::uint16_t entrySize, std::uint32_t entryCount) noexcept;

// Disassembler hooks: unit.name of the public at exactly address (empty when none), and the
// line of address with the range it covers (kept while address stays in [rangeStart, rangeEnd)).
std::string MapFilePublicNameHook(uintptr_t address);
void MapFileLineHook(uintptr_t address, int& line, uintptr_t& rangeStart, uintptr_t& rangeEnd);

// Reference-counted: the first call installs the hooks, the last Finalize removes them and
// empties the cache.
void InitializeMapFileUnit();
void FinalizeMapFileUnit();

// Where the descriptor of minimal packed data comes from: the text property "MinDebugInfo" of
// the module's settings resource (RCDATA "THXEXCEPT"). Replaceable for tests; nullptr restores.
using TMinDebugInfoReader = std::string (*)(HMODULE module);
void SetMinDebugInfoReader(TMinDebugInfoReader reader);
