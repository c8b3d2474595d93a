#pragma once

// The text printed for code addresses: one stack line, internal-error lines, the column-aligned
// stack table of a walk and its checksums. The details view reads these lines back, so the layout
// is fixed.

#include "hxDisAsm.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

constexpr int StackAddressDigits = AddressDigits(NativeCpuMode);

// Where stack texts take names from. The default source reads the modules' debug symbols.
class TStackSymbolSource {
public:
    virtual ~TStackSymbolSource() = default;
    // Whether the module at Module (its handle) has debug symbols.
    virtual bool HasSymbols(uintptr_t module) const = 0;
    // The public function that contains Address: its name and entry point.
    virtual bool PublicAt(uintptr_t address, std::string& name, uintptr_t& entryPoint) const = 0;
    // The code unit that contains Address; empty when none.
    virtual std::string UnitAt(uintptr_t address) const = 0;
    // The source line of Address; 0 when none.
    virtual int LineAt(uintptr_t address) const = 0;
    // The descriptor of the module's packed debug data; empty when none.
    virtual std::string Descriptor(uintptr_t module) const = 0;
    // A walk brackets its lookups; a source may keep what it read in between.
    virtual void BeginWalk() const {}
    virtual void EndWalk() const {}
};

const TStackSymbolSource& StackSymbols();
// Replaces the source; nullptr restores the default. Returns the previous one.
const TStackSymbolSource* SetStackSymbolSource(const TStackSymbolSource* source);

// Lower-case hexadecimal of Value, zero-padded to Digits.
std::string StackHex(uint64_t value, int digits = StackAddressDigits);

std::string StackItemText(uintptr_t address, bool showRelAddrs, bool showRelLines);
// ">> internal error in " + Name; with an exception address, ":" and that address's stack line follow.
std::string InternalErrorText(const std::string& name, bool showRelAddrs, bool showRelLines,
                              uintptr_t exceptionAddress = 0);

// Reflected IEEE 802.3 table, no inversion before or after.
uint32_t StackCrc32(uint32_t crc, const void* data, size_t length);

// The display record of one walked item.
struct TStackRow {
    uintptr_t Address = 0;
    int Line = 0;
    int RelLine = 0;
    std::string ModuleName;     // "???" when the module is unknown
    std::string UnitName;
    std::string FunctionName;
    uintptr_t EntryPoint = 0;
    uintptr_t ModuleBase = 0;   // 0 when unknown
    bool Removed = false;
    bool Sure = false;
    bool ExtraFirst = false;    // the extra first frame value given to the walk
};

struct TStackTableOptions {
    bool HideUglyItems = false;
    bool ShowRelAddrs = false;
    bool ShowRelLines = false;
    const std::atomic<bool>* Cancel = nullptr;
};

struct TStackTableResult {
    uintptr_t FirstAddress = 0;         // newest printed row
    uintptr_t FirstEntryPoint = 0;      // first printed row with a known entry point ...
    uintptr_t FirstEntryAddress = 0;    // ... and its address
    bool HasChecksums = false;          // at least one row printed
    uint32_t Checksum1 = 0;             // the first row's value
    uint32_t Checksum2 = 0;             // over every row's value
    uint32_t Checksum3 = 0;             // 1 when a row has a relative line
};

// Rows in walk order (oldest first); printed newest first, separated by CR LF.
std::string ComposeStackTable(const std::vector<TStackRow>& rows, const TStackTableOptions& options,
                              TStackTableResult* result = nullptr);
