#include "hxStackLines.h"

#include "hxMapFile.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>

namespace {

// The modules' debug symbols. During a walk each module's map is looked up once: a module
// without symbols would otherwise be searched for symbol files at every question.
class TMapFileSymbols : public TStackSymbolSource {
public:
    bool HasSymbols(uintptr_t module) const override { return Map(module)->Valid(); }
    bool PublicAt(uintptr_t address, std::string& name, uintptr_t& entryPoint) const override
    {
        const TMapFilePtr map = Map(address);
        const TMfPublic pub = FindPublicByAddress(*map, address);
        if (!pub.InUse)
            return false;
        name = pub.Name;
        entryPoint = pub.Address;
        return true;
    }
    std::string UnitAt(uintptr_t address) const override
    {
        return FindSegmentByAddress(*Map(address), MfKindCode, address).UnitName;
    }
    int LineAt(uintptr_t address) const override
    {
        uintptr_t next = 0;
        return std::max(0, FindLineByAddress(*Map(address), address, next));
    }
    std::string Descriptor(uintptr_t module) const override { return Map(module)->Descriptor(); }
    void BeginWalk() const override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++walks_;
    }
    void EndWalk() const override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (walks_ > 0 && --walks_ == 0)
            maps_.clear();
    }

private:
    TMapFilePtr Map(uintptr_t address) const
    {
        MEMORY_BASIC_INFORMATION mbi;
        if (!address || VirtualQuery(reinterpret_cast<void*>(address), &mbi, sizeof(mbi)) != sizeof(mbi) ||
            mbi.State != MEM_COMMIT || !mbi.AllocationBase)
            return std::make_shared<const TMapFile>();
        const auto module = reinterpret_cast<uintptr_t>(mbi.AllocationBase);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            const auto hit = maps_.find(module);
            if (hit != maps_.end())
                return hit->second;
        }
        TMapFilePtr map = GetModuleMapFile(module);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (walks_ > 0)
            maps_[module] = map;
        return map;
    }

    mutable std::mutex mutex_;
    mutable int walks_ = 0;
    mutable std::map<uintptr_t, TMapFilePtr> maps_;
};

const TMapFileSymbols MapFileSymbols;
std::atomic<const TStackSymbolSource*> CurrentSource{&MapFileSymbols};

struct TAddressLookup {
    std::string ModuleName;     // file name without folder
    std::string UnitName;
    std::string FunctionName;
    int Line = 0;
    uintptr_t EntryPoint = 0;
};

// False for address 0, an address outside every module or a module without symbols. A symbol
// source that fails answers nothing.
bool LookupAddress(uintptr_t address, TAddressLookup& info)
{
    info = TAddressLookup{};
    if (!address)
        return false;
    try {
        std::string path;
        const HMODULE module = ModuleOfAddress(reinterpret_cast<const void*>(address), &path);
        const TStackSymbolSource& symbols = *CurrentSource.load();
        if (!module || !symbols.HasSymbols(reinterpret_cast<uintptr_t>(module)))
            return false;
        const size_t slash = path.find_last_of('\\');
        info.ModuleName = slash == std::string::npos ? path : path.substr(slash + 1);
        info.UnitName = symbols.UnitAt(address);
        info.Line = std::max(0, symbols.LineAt(address));
        if (!symbols.PublicAt(address, info.FunctionName, info.EntryPoint)) {
            info.FunctionName.clear();
            info.EntryPoint = 0;
        }
        return true;
    } catch (...) {
        info = TAddressLookup{};
        return false;
    }
}

constexpr std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> CrcTable = MakeCrcTable();

bool Cancelled(const TStackTableOptions& options)
{
    return options.Cancel && options.Cancel->load(std::memory_order_relaxed);
}

bool Printable(const TStackRow& row, const TStackTableOptions& options)
{
    if (row.Removed)
        return false;
    return row.Sure || row.ExtraFirst ||
           (!row.FunctionName.empty() && (!options.HideUglyItems || row.RelLine > 0));
}

bool HasOffset(const TStackRow& row) { return row.EntryPoint && row.EntryPoint < row.Address; }

std::string Padded(const std::string& s, size_t width)
{
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string RightAligned(const std::string& s, size_t width)
{
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// The checksum value of one row: stable from run to run, also without names.
uint32_t RowChecksum(const TStackRow& row)
{
    if (row.EntryPoint && !row.ModuleName.empty() && row.ModuleName != "???" && !row.FunctionName.empty()) {
        uint32_t crc = uint32_t(row.Address - row.EntryPoint);
        std::string s = UpperCaseCopy(row.ModuleName);
        crc = StackCrc32(crc, s.data(), s.size());
        if (!row.UnitName.empty()) {
            s = UpperCaseCopy(row.UnitName);
            crc = StackCrc32(crc, s.data(), s.size());
        }
        s = UpperCaseCopy(row.FunctionName);
        return StackCrc32(crc, s.data(), s.size());
    }
    return uint32_t(row.ModuleBase && row.ModuleBase <= row.Address ? row.Address - row.ModuleBase : row.Address);
}

}  // namespace

const TStackSymbolSource& StackSymbols()
{
    return *CurrentSource.load();
}

const TStackSymbolSource* SetStackSymbolSource(const TStackSymbolSource* source)
{
    const TStackSymbolSource* old = CurrentSource.exchange(source ? source : &MapFileSymbols);
    return old == &MapFileSymbols ? nullptr : old;
}


std::string StackHex(uint64_t value, int digits)
{
    std::string s = Int64ToHex(value);
    if (int(s.size()) < digits)
        s.insert(0, size_t(digits) - s.size(), '0');
    return s;
}

std::string StackItemText(uintptr_t address, bool showRelAddrs, bool showRelLines)
{
    std::string text = StackHex(address);
    TAddressLookup info;
    if (!LookupAddress(address, info)) {
        if (showRelAddrs)
            text += " +0";
        return text + " ???";
    }
    if (showRelAddrs)
        text += " +" + Int64ToHex(address - info.EntryPoint);
    text += " " + info.ModuleName + " " + info.UnitName + " ";
    if (info.Line > 0)
        text += IntToStrFast(info.Line) + " ";
    if (showRelLines && info.Line > 0 && info.EntryPoint) {
        const int first = StackSymbols().LineAt(info.EntryPoint);
        if (first > 0 && info.Line >= first)
            text += "+" + IntToStrFast(info.Line - first) + " ";
    }
    return text + info.FunctionName;
}

std::string InternalErrorText(const std::string& name, bool showRelAddrs, bool showRelLines,
                              uintptr_t exceptionAddress)
{
    try {
        std::string text = ">> internal error in " + name;
        if (exceptionAddress)
            text += ":\r\n" + StackItemText(exceptionAddress, showRelAddrs, showRelLines);
        return text;
    } catch (...) {
        return {};
    }
}

uint32_t StackCrc32(uint32_t crc, const void* data, size_t length)
{
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i)
        crc = CrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

std::string ComposeStackTable(const std::vector<TStackRow>& rows, const TStackTableOptions& options,
                              TStackTableResult* result)
{
    if (result)
        *result = TStackTableResult{};

    // The rows printed, newest first; a repeated address prints once unless it is sure.
    std::vector<const TStackRow*> printed;
    for (size_t i = rows.size(); i-- > 0 && !Cancelled(options);) {
        const TStackRow& row = rows[i];
        if (!Printable(row, options))
            continue;
        if (!row.Sure && !printed.empty() && printed.back()->Address == row.Address)
            continue;
        printed.push_back(&row);
    }

    // The line columns stay, blank, when no row has a line: the details view reads the layout.
    size_t relAddrWidth = 0, moduleWidth = 0, unitWidth = 0, lineWidth = 1, relLineWidth = 1;
    for (const TStackRow* row : printed) {
        if (options.ShowRelAddrs && HasOffset(*row))
            relAddrWidth = std::max(relAddrWidth, Int64ToHex(row->Address - row->EntryPoint).size() + 2);
        moduleWidth = std::max(moduleWidth, row->ModuleName.size() + 1);
        unitWidth = std::max(unitWidth, row->UnitName.size() + 1);
        if (row->Line > 0)
            lineWidth = std::max(lineWidth, IntToStrFast(row->Line).size() + 1);
        if (row->Line > 0 || row->RelLine > 0) {
            const size_t extra = options.ShowRelLines && row->Line > 0 ? 2 : 1;
            relLineWidth = std::max(relLineWidth, IntToStrFast(row->RelLine).size() + extra);
        }
    }

    std::string text;
    bool first = true;
    for (const TStackRow* row : printed) {
        if (Cancelled(options))
            break;
        text += "\r\n" + StackHex(row->Address) + " ";
        if (relAddrWidth >= 1) {
            const uint64_t offset = HasOffset(*row) ? row->Address - row->EntryPoint : 0;
            text += "+" + StackHex(offset, int(relAddrWidth) - 2) + " ";
        }
        text += Padded(row->ModuleName, moduleWidth) + Padded(row->UnitName, unitWidth);
        text += RightAligned(row->Line > 0 ? IntToStrFast(row->Line) : std::string(), lineWidth - 1) + " ";
        std::string relLine;
        if (row->Line > 0 || row->RelLine > 0)
            relLine = (options.ShowRelLines && row->Line > 0 ? "+" : "") + IntToStrFast(row->RelLine);
        text += RightAligned(relLine, relLineWidth - 1) + " ";
        text += row->FunctionName;

        if (result) {
            const uint32_t value = RowChecksum(*row);
            if (first) {
                result->FirstAddress = row->Address;
                result->HasChecksums = true;
                result->Checksum1 = value;
                result->Checksum2 = value;
                result->Checksum3 = row->RelLine > 0;
            } else {
                const unsigned char bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                                                uint8_t(value >> 24)};
                result->Checksum2 = StackCrc32(result->Checksum2, bytes, 4);
                if (row->RelLine > 0)
                    result->Checksum3 = 1;
            }
            if (!result->FirstEntryPoint && row->EntryPoint) {
                result->FirstEntryPoint = row->EntryPoint;
                result->FirstEntryAddress = row->Address;
            }
        }
        first = false;
    }
    if (!text.empty())
        text.erase(0, 2);
    return text;
}
