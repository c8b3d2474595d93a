#include "hxStackTrace.h"

#include "hxExceptEntries.h"
#include "hxStrings.h"
#include "hxTools.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

namespace {

constexpr ptrdiff_t None = -1;
constexpr uintptr_t SlotSize = sizeof(uintptr_t);
// Most functions one registration adds with everything they call.
constexpr size_t MaxRegisteredPerCall = 4096;

// ---------------------------------------------------------------------------------------------
// Process-wide registries

struct TModuleRecord {
    uintptr_t Handle = 0;
    std::string Name;
    uintptr_t ImageEnd = 0;
    uintptr_t CodeBegin = 0, CodeEnd = 0;
    uintptr_t DataBegin = 0, DataEnd = 0;
};

struct TFunctionRecord {
    ptrdiff_t Module = None;
    std::string Name;
    TFunctionInfo Info;
    bool Known = false;      // on a path from a frame this walk proved
    bool Excluded = false;   // ruled out as a caller in this walk
};

struct TRegistries {
    std::vector<TModuleRecord> Modules;
    std::vector<TFunctionRecord> Functions;
    std::map<uintptr_t, size_t> ByEntry;       // requested and analysed entry points
    std::set<uintptr_t> Failed;                // addresses whose analysis failed
};

TRegistries& Registry()
{
    static TRegistries registries;
    return registries;
}

bool InRange(uintptr_t address, uintptr_t begin, uintptr_t end)
{
    return begin < address && address <= end;
}

ptrdiff_t FindModule(uintptr_t address)
{
    const auto& modules = Registry().Modules;
    for (size_t i = 0; i < modules.size(); ++i)
        if (address >= modules[i].Handle && address < modules[i].ImageEnd)
            return ptrdiff_t(i);
    return None;
}

ptrdiff_t FindOrRegisterModule(uintptr_t address)
{
    ptrdiff_t found = FindModule(address);
    if (found != None)
        return found;
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(reinterpret_cast<void*>(address), &mbi, sizeof(mbi)) != sizeof(mbi) ||
        mbi.State != MEM_COMMIT || !mbi.AllocationBase)
        return None;
    const auto handle = reinterpret_cast<uintptr_t>(mbi.AllocationBase);
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(mbi.AllocationBase), path, MAX_PATH);
    const IMAGE_NT_HEADERS* nt = PeNtHeaders(mbi.AllocationBase);
    if (!n || n >= MAX_PATH || !nt)
        return None;
    TModuleRecord record;
    record.Handle = handle;
    record.Name.assign(path, n);
    const size_t slash = record.Name.find_last_of('\\');
    if (slash != std::string::npos)
        record.Name.erase(0, slash + 1);
    const auto& opt = nt->OptionalHeader;
    record.ImageEnd = handle + opt.SizeOfImage;
    record.CodeBegin = handle + opt.BaseOfCode;
    record.CodeEnd = record.CodeBegin + opt.SizeOfCode;
#ifdef _WIN64
    // No BaseOfData in the 64-bit header: everything after the code is data.
    record.DataBegin = record.CodeEnd;
    record.DataEnd = record.ImageEnd;
#else
    record.DataBegin = handle + opt.BaseOfData;
    record.DataEnd = record.DataBegin + opt.SizeOfInitializedData + opt.SizeOfUninitializedData;
#endif
    Registry().Modules.push_back(std::move(record));
    return ptrdiff_t(Registry().Modules.size() - 1);
}

bool ModuleHasSymbols(ptrdiff_t module)
{
    return module != None && StackSymbols().HasSymbols(Registry().Modules[size_t(module)].Handle);
}

// The function's own name: the given one, a public of the debug symbols, else an export name.
std::string FunctionName(uintptr_t entry, ptrdiff_t module)
{
    if (ModuleHasSymbols(module)) {
        std::string name;
        uintptr_t start = 0;
        if (StackSymbols().PublicAt(entry, name, start) && start == entry)
            return name;
    }
    if (module != None)
        return PeExportName(reinterpret_cast<const void*>(Registry().Modules[size_t(module)].Handle),
                            reinterpret_cast<const void*>(entry));
    return {};
}

ptrdiff_t AddFunction(uintptr_t address, const std::string& name, bool oneAddressOk, std::vector<size_t>* added)
{
    TRegistries& reg = Registry();
    const auto hit = reg.ByEntry.find(address);
    if (hit != reg.ByEntry.end())
        return ptrdiff_t(hit->second);
    if (!oneAddressOk && reg.Failed.count(address))
        return None;
    TFunctionRecord record;
    record.Module = FindOrRegisterModule(address);
    if (!AnalyseFunction(address, record.Info)) {
        if (!oneAddressOk) {
            reg.Failed.insert(address);
            return None;
        }
        record.Info = TFunctionInfo{};
        record.Info.Valid = true;
        record.Info.EntryPoint = address;
        record.Info.CodeBegin = address;
    }
    const uintptr_t entry = record.Info.EntryPoint;
    const auto same = reg.ByEntry.find(entry);
    if (same != reg.ByEntry.end()) {
        reg.ByEntry[address] = same->second;
        return ptrdiff_t(same->second);
    }
    record.Name = name.empty() ? FunctionName(entry, record.Module) : name;
    reg.Functions.push_back(std::move(record));
    const size_t index = reg.Functions.size() - 1;
    reg.ByEntry[address] = index;
    reg.ByEntry[entry] = index;
    if (added)
        added->push_back(index);
    return ptrdiff_t(index);
}

// Registers the function at Address and, breadth first, every function it calls.
ptrdiff_t RegisterFunction(uintptr_t address, const std::string& name = {}, bool oneAddressOk = false)
{
    std::vector<size_t> added;
    const ptrdiff_t result = AddFunction(address, name, oneAddressOk, &added);
    for (size_t next = 0; next < added.size() && added.size() < MaxRegisteredPerCall; ++next) {
        const std::vector<TCallInfo> calls = Registry().Functions[added[next]].Info.Calls;
        for (const TCallInfo& call : calls)
            if (!call.Far && call.Target && added.size() < MaxRegisteredPerCall)
                AddFunction(call.Target, {}, false, &added);
    }
    return result;
}

// Marks the function and everything it calls known, each once.
void MarkKnown(ptrdiff_t function)
{
    if (function == None)
        return;
    TRegistries& reg = Registry();
    std::vector<size_t> work{size_t(function)};
    while (!work.empty()) {
        const size_t index = work.back();
        work.pop_back();
        if (reg.Functions[index].Known)
            continue;
        reg.Functions[index].Known = true;
        for (const TCallInfo& call : reg.Functions[index].Info.Calls) {
            if (call.Far || !call.Target)
                continue;
            const auto hit = reg.ByEntry.find(call.Target);
            if (hit != reg.ByEntry.end() && !reg.Functions[hit->second].Known)
                work.push_back(hit->second);
        }
    }
}

bool AreaContains(const TFunctionInfo& info, uintptr_t address)
{
    for (const TCodeArea& area : info.Areas)
        if (area.Begin < address && address <= area.End + 1)
            return true;
    return false;
}

// Return-address slots of the frame-pointer chain ([frame + one slot]), ascending. No frame
// limit: each saved frame pointer lies above the last and below the top, so the chain ends.
std::vector<uintptr_t> FrameChainSlots(uintptr_t framePointer, uintptr_t bottom, uintptr_t top, const TDATryRead& ranges)
{
    std::vector<uintptr_t> chain;
    if (!framePointer)
        return chain;
    uintptr_t frame = framePointer;
    if (frame + SlotSize > bottom && frame + SlotSize < top)
        chain.push_back(frame + SlotSize);
    for (;;) {
        uintptr_t next = 0;
        if (!TryReadMemory(frame, &next, SlotSize, &ranges) || next <= frame || next + SlotSize >= top)
            break;
        frame = next;
        if (frame + SlotSize > bottom)
            chain.push_back(frame + SlotSize);
    }
    return chain;
}

// ---------------------------------------------------------------------------------------------
// One walk

struct TStackLink {
    ptrdiff_t Other = None;
    uintptr_t CallAddress = 0;
    bool Far = false;
    uintptr_t Target = 0;
    ptrdiff_t Function = None;
    uint64_t Score = 0;
};

struct TLinkList {
    std::vector<TStackLink> Links;
    ptrdiff_t Best = None;
    bool Settled = false;   // every link scored and the best chosen
};

struct TStackItem {
    uintptr_t Value = 0;
    bool Frame = false;
    bool Sure = false;
    ptrdiff_t Module = None;
    TLinkList Older;
    TLinkList Newer;
    bool Removed = false;
    TStackRow Row;
};

enum class TLinkKind { ReturnAddress, Inside, RaiseCall };

class TWalk {
public:
    TWalk(const TTraceStackParams& params, uintptr_t start, uintptr_t bottom, uintptr_t top)
        : p_(params), start_(start), bottom_(bottom), top_(top)
    {
    }

    void Run(std::string& result);

private:
    bool Cancelled() const { return p_.Cancel && p_.Cancel->load(std::memory_order_relaxed); }
    void Progress(int perMille) const
    {
        if (p_.Progress)
            p_.Progress(perMille);
    }

    void Collect();
    bool Offer(uintptr_t value, uintptr_t slot, bool preFlagged, bool startOffer = false);
    bool FindFunction(uintptr_t value, uintptr_t probe, TLinkKind kind, ptrdiff_t module, TStackLink& link);
    bool CanLink(ptrdiff_t function, TLinkKind kind, uintptr_t address, TStackLink& link);
    void RemoveRecursion(bool dropLinks);
    void DropItem(size_t index, bool dropLinks);
    void RemoveLinks(size_t index, const std::function<bool(const TStackLink&)>& match);
    void RuleOut(ptrdiff_t function);
    void InDeepChecks();
    void LinkChains();
    uint64_t LinkScore(size_t index, const TStackLink& link, bool reachesEnd, uint64_t next, bool strict) const;
    uint64_t BestScore(size_t start, bool older, ptrdiff_t end);
    void ScoreSegment(ptrdiff_t lo, ptrdiff_t hi);
    void FillFinalOutput();
    std::string ComposeResult();

    const TTraceStackParams& p_;
    uintptr_t start_;
    uintptr_t bottom_;
    uintptr_t top_;
    TDATryRead ranges_;
    std::vector<TStackItem> items_;
    std::vector<uintptr_t> frameSlots_;    // ascending
    bool stopped_ = false;                 // the newest item is sure
};

bool TWalk::CanLink(ptrdiff_t function, TLinkKind kind, uintptr_t address, TStackLink& link)
{
    if (function == None)
        return false;
    const TFunctionRecord& f = Registry().Functions[size_t(function)];
    if (f.Excluded)
        return false;
    link = TStackLink{};
    link.Function = function;
    switch (kind) {
    case TLinkKind::RaiseCall: {
        // Registering callees may move the registry: work on a copy of the calls.
        const std::vector<TCallInfo> calls = f.Info.Calls;
        for (const TCallInfo& call : calls) {
            if (call.ReturnAddress != address || !call.Target)
                continue;
            const ptrdiff_t callee = RegisterFunction(call.Target);
            if (callee == None)
                continue;
            const std::string& name = Registry().Functions[size_t(callee)].Name;
            if (FindSubText("@RaiseExcept", name) || FindSubText("Error", name)) {
                link.CallAddress = call.CallAddress;
                link.Target = call.Target;
                link.Far = call.Far;
                return true;
            }
        }
        return false;
    }
    case TLinkKind::ReturnAddress:
        for (const TFarJump& jump : f.Info.FarJumps)
            if (jump.ReturnAddress == address) {
                link.CallAddress = jump.Address;
                return true;
            }
        for (const TCallInfo& call : f.Info.Calls)
            if (call.ReturnAddress == address) {
                link.CallAddress = call.CallAddress;
                link.Target = call.Target;
                link.Far = call.Far;
                return true;
            }
        return false;
    case TLinkKind::Inside:
        link.CallAddress = address;
        if (f.Info.Areas.empty())
            return address == f.Info.EntryPoint;
        for (const TCodeArea& area : f.Info.Areas) {
            if (address < area.Begin || address > area.End)
                continue;
            TDisAsmInfo d;
            for (uintptr_t at = area.Begin; at <= address;) {
                if (at == address)
                    return true;
                at = DecodeInstruction(at, d, &ranges_);
                if (!d.Valid)
                    break;
            }
        }
        return false;
    }
    return false;
}

// Finds the function that holds Probe and proves the link for Value.
bool TWalk::FindFunction(uintptr_t value, uintptr_t probe, TLinkKind kind, ptrdiff_t module, TStackLink& link)
{
    const uintptr_t address = kind == TLinkKind::ReturnAddress || kind == TLinkKind::RaiseCall ? value : probe;
    const TModuleRecord* m = module != None ? &Registry().Modules[size_t(module)] : nullptr;
    if (m && ModuleHasSymbols(module) && probe >= m->CodeBegin && probe < m->CodeEnd) {
        std::string name;
        uintptr_t entry = 0;
        if (!StackSymbols().PublicAt(probe, name, entry))
            return false;
        const ptrdiff_t function = RegisterFunction(entry, name);
        if (CanLink(function, kind, address, link))
            return true;
        if (function == None)
            return false;
        // Local labels called inside the same public.
        const TFunctionInfo info = Registry().Functions[size_t(function)].Info;
        for (const TCallInfo& call : info.Calls) {
            std::string inner;
            uintptr_t innerEntry = 0;
            if (call.Far || !call.Target || call.Target == entry || !AreaContains(info, call.Target + 1) ||
                !StackSymbols().PublicAt(call.Target, inner, innerEntry) || innerEntry != entry)
                continue;
            const ptrdiff_t label = RegisterFunction(call.Target, name + ".@label");
            if (CanLink(label, kind, address, link))
                return true;
        }
        return false;
    }
    if (!m)
        return false;
    uintptr_t guess = 0;
#ifdef _WIN64
    DWORD64 imageBase = 0;
    if (PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(probe, &imageBase, nullptr))
        guess = uintptr_t(imageBase + f->BeginAddress);
#endif
    if (!guess) {
        // The highest export below the value, or the entry point when that lies between.
        TPeView view = TPeView::OfModule(reinterpret_cast<const void*>(m->Handle));
        if (view.Valid()) {
            if (const IMAGE_DATA_DIRECTORY* dir = view.DataDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT)) {
                const auto* exp = static_cast<const IMAGE_EXPORT_DIRECTORY*>(
                    view.At(dir->VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY)));
                const auto* rvas = exp ? static_cast<const DWORD*>(view.At(exp->AddressOfFunctions,
                                                                           size_t(exp->NumberOfFunctions) * 4))
                                       : nullptr;
                for (DWORD i = 0; rvas && i < exp->NumberOfFunctions; ++i) {
                    const uintptr_t at = m->Handle + rvas[i];
                    if (at <= probe && at > guess && InRange(at + 1, m->CodeBegin, m->CodeEnd))
                        guess = at;
                }
            }
            const uintptr_t entry = m->Handle + view.NtHeaders()->OptionalHeader.AddressOfEntryPoint;
            if (view.NtHeaders()->OptionalHeader.AddressOfEntryPoint && entry <= probe && entry > guess)
                guess = entry;
        }
    }
    return guess && CanLink(RegisterFunction(guess), kind, address, link);
}

// The acceptance test of one candidate; true when it became an item.
bool TWalk::Offer(uintptr_t value, uintptr_t slot, bool preFlagged, bool startOffer)
{
    // A slot holds the start location only when the start was given: a stale copy of a default
    // start (a return address of the caller) would end the walk early.
    const bool isStart = startOffer || (p_.StartAddressGiven && value == start_);
    const bool forced = isStart || (p_.ExtraFirstFrame && value == p_.ExtraFirstFrame && items_.empty());
    // A fault address is tested at itself and stored as the address after its instruction; every
    // other value is a return address already.
    const bool atItself = forced && ((isStart && p_.StartIsFault) || (!isStart && p_.ExtraFirstFrame == value));
    uintptr_t stored = value;
    const uintptr_t probe = atItself ? value : value - 1;
    if (atItself) {
        TDisAsmInfo d;
        const uintptr_t next = DecodeInstruction(value, d, &ranges_);
        if (d.Valid)
            stored = next;
    }

    // Values that fail the plausibility test stay only on frame-chain slots.
    const bool frameSlot = slot && std::binary_search(frameSlots_.begin(), frameSlots_.end(), slot);
    ptrdiff_t module = None;
    bool plausible = true;
    if (!forced) {
        MEMORY_BASIC_INFORMATION mbi;
        plausible = value > 7 && VirtualQuery(reinterpret_cast<void*>(probe), &mbi, sizeof(mbi)) == sizeof(mbi) &&
                    mbi.State == MEM_COMMIT && mbi.AllocationBase && LooksLikeReturnAddress(value, &ranges_);
        if (!plausible && !preFlagged && !frameSlot)
            return false;
        module = FindOrRegisterModule(value);
        if (plausible && module != None) {
            const TModuleRecord& m = Registry().Modules[size_t(module)];
            plausible = InRange(value, m.CodeBegin, m.CodeEnd) || InRange(value, m.DataBegin, m.DataEnd);
        } else {
            plausible = false;
        }
    } else {
        module = FindOrRegisterModule(value);
    }

    TStackLink link;
    bool linked = false;
    if (!plausible)
        linked = false;
    else if (forced && isStart && !atItself && p_.StartAddressGiven)
        linked = FindFunction(value, probe, TLinkKind::RaiseCall, module, link);
    else
        linked = FindFunction(value, probe, atItself ? TLinkKind::Inside : TLinkKind::ReturnAddress, module, link);
    if (forced && !linked && (!p_.StartAddressGiven || p_.StartIsFault)) {
        link = TStackLink{};
        link.CallAddress = atItself ? value : 0;
        if (p_.StartIsFault && atItself) {
            uint8_t byte;
            if (!TryReadMemory(value, &byte, 1, &ranges_))
                link.Function = RegisterFunction(value, {}, true);
        }
        linked = true;
    }

    if (!linked && !forced && !preFlagged && !frameSlot)
        return false;
    TStackItem item;
    item.Value = stored;
    item.Frame = forced || preFlagged || frameSlot;
    item.Sure = isStart;
    item.Module = module;
    if (linked)
        item.Older.Links.push_back(link);
    items_.push_back(std::move(item));
    if (items_.back().Sure)
        stopped_ = true;
    return true;
}

void TWalk::Collect()
{
    if (p_.ExtraFirstFrame)
        Offer(p_.ExtraFirstFrame, 0, false);
    if (p_.PreItems) {
        const size_t count = p_.PreItems->size();
        for (size_t i = 0; i < count && !stopped_ && !Cancelled(); ++i) {
            const TDAPreStackItem& pre = (*p_.PreItems)[i];
            Offer(pre.Address, 0, pre.FrameSlot);
            Progress(int(i * 25 / count));
        }
    } else {
        for (uintptr_t slot = top_ - SlotSize; slot >= bottom_ && !stopped_ && !Cancelled(); slot -= SlotSize) {
            uintptr_t value = 0;
            if (TryReadMemory(slot, &value, SlotSize, &ranges_) && Offer(value, slot, false) &&
                items_.back().Frame && !items_.back().Sure)
                slot -= SlotSize;   // the saved frame pointer below a return address
            Progress(int((top_ - slot) * 25 / (top_ - bottom_)));
            if (slot < bottom_ + SlotSize)
                break;
        }
    }
    if (!stopped_ && !Cancelled())
        Offer(start_, 0, false, true);
    items_.shrink_to_fit();
    // Functions of proven frames are known, and so is everything they call.
    for (const TStackItem& item : items_)
        if (item.Frame)
            for (const TStackLink& link : item.Older.Links)
                MarkKnown(link.Function);
}

void TWalk::DropItem(size_t index, bool dropLinks)
{
    TStackItem& item = items_[index];
    item.Removed = true;
    if (!dropLinks)
        return;
    item.Frame = false;
    RemoveLinks(index, [](const TStackLink&) { return true; });
}

// Removes the item's links that match, with their counterparts: a link between two items stands
// in the older one's list towards newer items and in the newer one's list towards older items.
void TWalk::RemoveLinks(size_t index, const std::function<bool(const TStackLink&)>& match)
{
    TStackItem& item = items_[index];
    for (TLinkList* list : {&item.Older, &item.Newer}) {
        auto& links = list->Links;
        for (const TStackLink& link : links) {
            if (!match(link) || link.Other == None || size_t(link.Other) == index)
                continue;
            TStackItem& other = items_[size_t(link.Other)];
            TLinkList& back = list == &item.Older ? other.Newer : other.Older;
            back.Links.erase(std::remove_if(back.Links.begin(), back.Links.end(),
                                            [&](const TStackLink& l) { return l.Other == ptrdiff_t(index); }),
                             back.Links.end());
            back.Best = None;
        }
        links.erase(std::remove_if(links.begin(), links.end(), match), links.end());
        list->Best = None;
    }
}

// A function proven wrong for an item never links again in this walk, and no item keeps a link
// that places a frame in it.
void TWalk::RuleOut(ptrdiff_t function)
{
    bool& excluded = Registry().Functions[size_t(function)].Excluded;
    if (excluded)
        return;
    excluded = true;
    for (size_t i = 0; i < items_.size(); ++i)
        if (!items_[i].Removed)
            RemoveLinks(i, [&](const TStackLink& link) { return link.Function == function; });
}

// Repeated areas A B A B ... keep one copy; the start and proven frames are kept before stale copies.
// A pass walks the live items from the newest down once, so a recursion thousands deep costs
// about as much as its items.
void TWalk::RemoveRecursion(bool dropLinks)
{
    const size_t count = items_.size();
    std::vector<ptrdiff_t> older(count, None);      // the next older live item
    std::vector<ptrdiff_t> newer(count, None);      // the next newer live item
    std::vector<ptrdiff_t> sameBefore(count, None); // an older item of the same value
    bool changed = true;
    while (changed && !Cancelled()) {
        changed = false;
        std::unordered_map<uintptr_t, ptrdiff_t> lastOfValue;
        ptrdiff_t newest = None;
        for (size_t i = 0; i < count; ++i) {
            if (items_[i].Removed)
                continue;
            older[i] = newest;
            newer[i] = None;
            if (newest != None)
                newer[size_t(newest)] = ptrdiff_t(i);
            newest = ptrdiff_t(i);
            const auto [last, fresh] = lastOfValue.try_emplace(items_[i].Value, ptrdiff_t(i));
            sameBefore[i] = fresh ? None : last->second;
            last->second = ptrdiff_t(i);
        }
        auto drop = [&](ptrdiff_t at) {
            const ptrdiff_t below = older[size_t(at)], above = newer[size_t(at)];
            if (below != None)
                newer[size_t(below)] = above;
            if (above != None)
                older[size_t(above)] = below;
            DropItem(size_t(at), dropLinks);
        };
        for (ptrdiff_t i = newest; i != None && !Cancelled();) {
            // The nearest older live item of the same value; dropped ones are passed over once.
            ptrdiff_t j = sameBefore[size_t(i)];
            while (j != None && items_[size_t(j)].Removed)
                j = sameBefore[size_t(j)];
            sameBefore[size_t(i)] = j;
            if (j == None) {
                i = older[size_t(i)];
                continue;
            }
            // The k live items between the two copies equal the k before the older copy.
            bool equal = true;
            size_t k = 0;
            for (ptrdiff_t a = older[size_t(i)], b = older[size_t(j)]; a != j; a = older[size_t(a)], b = older[size_t(b)], ++k)
                if (b == None || items_[size_t(a)].Value != items_[size_t(b)].Value) {
                    equal = false;
                    break;
                }
            if (!equal) {
                i = older[size_t(i)];
                continue;
            }
            // The newer copy goes, unless it holds the start or proven frames that the older
            // copy (stale values) lacks.
            bool newerSure = false, newerFrame = false, olderFrame = false;
            for (ptrdiff_t a = i, b = j; a != j; a = older[size_t(a)], b = older[size_t(b)]) {
                newerSure = newerSure || items_[size_t(a)].Sure;
                newerFrame = newerFrame || items_[size_t(a)].Frame;
                olderFrame = olderFrame || items_[size_t(b)].Frame || items_[size_t(b)].Sure;
            }
            if (newerSure && olderFrame) {
                i = older[size_t(i)];
                continue;
            }
            const bool dropOlder = newerSure || (newerFrame && !olderFrame);
            // The k + 1 items ending at the dropped copy's newest.
            ptrdiff_t a = dropOlder ? j : i;
            for (size_t n = 0; n <= k; ++n) {
                const ptrdiff_t next = older[size_t(a)];
                drop(a);
                a = next;
            }
            changed = true;
            // After the newer copy the older one is next; after the older copy, this one again.
            if (!dropOlder)
                i = j;
        }
    }
}

void TWalk::InDeepChecks()
{
    TRegistries& reg = Registry();
    const size_t count = items_.size();
    for (size_t i = (p_.ExtraFirstFrame ? 1 : 0); i < count && !Cancelled(); ++i) {
        Progress(int(25 + i * 625 / std::max<size_t>(count, 1)));
        TStackItem& item = items_[i];
        if (item.Removed)
            continue;
        bool known = false;
        for (const TStackLink& link : item.Older.Links)
            known = known || (link.Function != None && reg.Functions[size_t(link.Function)].Known);
        if (known)
            continue;

        ptrdiff_t holder = None;
        for (size_t f = 0; f < reg.Functions.size() && holder == None; ++f)
            if (reg.Functions[f].Known && AreaContains(reg.Functions[f].Info, item.Value))
                holder = ptrdiff_t(f);
        if (holder != None) {
            TStackLink link;
            if (CanLink(holder, TLinkKind::ReturnAddress, item.Value, link)) {
                item.Older.Links.push_back(link);
            } else if (!item.Sure) {
                // The value lies in proven code where no call returns: a function that claimed a
                // call returning there read the proven code's bytes out of step.
                std::vector<ptrdiff_t> wrong;
                for (const TStackLink& own : item.Older.Links)
                    if (own.Function != None && own.Function != holder &&
                        std::find(wrong.begin(), wrong.end(), own.Function) == wrong.end())
                        wrong.push_back(own.Function);
                RemoveLinks(i, [](const TStackLink&) { return true; });
                for (const ptrdiff_t function : wrong)
                    RuleOut(function);
            }
            continue;
        }

        // The call that ends at the value names the callee; items inside it are its frames.
        MEMORY_BASIC_INFORMATION mbi;
        const uintptr_t value = item.Value;
        if (value <= 7 || VirtualQuery(reinterpret_cast<void*>(value - 2), &mbi, sizeof(mbi)) != sizeof(mbi) ||
            mbi.State != MEM_COMMIT)
            continue;
        const auto allocation = reinterpret_cast<uintptr_t>(mbi.AllocationBase);
        for (uintptr_t at = std::max(value - 7, allocation); at <= value - 2; ++at) {
            TDisAsmInfo d;
            if (DecodeInstruction(at, d, &ranges_) != value || !d.Valid || !d.Call || !d.Target)
                continue;
            // A ruled-out callee takes no links: no frame lies in it.
            const ptrdiff_t callee = RegisterFunction(d.Target);
            if (callee == None || reg.Functions[size_t(callee)].Excluded)
                break;
            const TFunctionInfo& info = reg.Functions[size_t(callee)].Info;
            for (size_t j = i + 1; j < count; ++j) {
                if (items_[j].Removed || !AreaContains(info, items_[j].Value))
                    continue;
                TStackLink up;
                up.Other = ptrdiff_t(j);
                up.CallAddress = d.This;
                up.Target = d.Target;
                up.Far = d.Far;
                if (!item.Older.Links.empty())
                    up.Function = item.Older.Links.front().Function;
                items_[i].Newer.Links.push_back(up);
                TStackLink down;
                down.Other = ptrdiff_t(i);
                down.Function = callee;
                for (const TStackLink& own : items_[j].Older.Links)
                    if (own.Function == callee)
                        down.CallAddress = own.CallAddress;
                items_[j].Older.Links.push_back(down);
            }
            break;
        }
    }
}

// The score of a link from the item at Index: it reaches the end of its segment, or the linked
// item's best score is Next (0: no chain). Strict: every link from the chain's start to this item
// names a function.
uint64_t TWalk::LinkScore(size_t index, const TStackLink& link, bool reachesEnd, uint64_t next, bool strict) const
{
    constexpr uint64_t AllNamed = uint64_t(1) << 61;
    const bool named = link.Function != None;
    uint64_t score = reachesEnd ? uint64_t(named ? 0x70000000u : 0x50000000u) << 32 : next;
    if (!score)
        return 0;
    int w = 0;
    if (!named) {
        score &= ~AllNamed;
    } else {
        w = strict || (score & AllNamed) ? 28 : 14;
        if (Registry().Functions[size_t(link.Function)].Known)
            w += 14;
        const TStackItem& item = items_[index];
        const TStackItem* other = link.Other != None ? &items_[size_t(link.Other)] : nullptr;
        const TStackSymbolSource& symbols = StackSymbols();
        if (ModuleHasSymbols(item.Module) && ModuleHasSymbols(other ? other->Module : item.Module))
            w += 3;
        if (symbols.LineAt(item.Value - 1) > 0)
            w += 3;
        if (other && symbols.LineAt(other->Value - 1) > 0)
            w += 3;
    }
    return score + (uint64_t(1) << w);
}

// The best chain score from Start towards End (an item, or a list boundary that links of
// Other == None reach). Depth first: each list is settled once, its links scored with the strict
// flag of the first path that reaches it; the path is kept on the heap, as chains may be long.
uint64_t TWalk::BestScore(size_t start, bool older, ptrdiff_t end)
{
    const bool boundary = end < 0 || end >= ptrdiff_t(items_.size());
    auto listOf = [&](size_t i) -> TLinkList& { return older ? items_[i].Older : items_[i].Newer; };
    struct TVisit {
        size_t Item;
        size_t Link;   // the next link to score
        bool Strict;
    };
    std::vector<TVisit> path{{start, 0, true}};
    while (!path.empty()) {
        TVisit& visit = path.back();
        TLinkList& list = listOf(visit.Item);
        if (list.Settled) {
            path.pop_back();
            continue;
        }
        ptrdiff_t descend = None;
        for (; visit.Link < list.Links.size(); ++visit.Link) {
            TStackLink& link = list.Links[visit.Link];
            if (link.Score)
                continue;
            const bool reachesEnd = link.Other == end || (boundary && link.Other == None);
            uint64_t next = 0;
            if (!reachesEnd && link.Other != None && !items_[size_t(link.Other)].Removed &&
                (older ? link.Other > end : link.Other < end)) {
                const TLinkList& nextList = listOf(size_t(link.Other));
                if (!nextList.Settled) {
                    descend = link.Other;
                    break;
                }
                if (nextList.Best != None)
                    next = nextList.Links[size_t(nextList.Best)].Score;
            }
            link.Score = LinkScore(visit.Item, link, reachesEnd, next, visit.Strict);
        }
        if (descend != None) {
            const bool strict = visit.Strict && list.Links[visit.Link].Function != None;
            path.push_back({size_t(descend), 0, strict});
            continue;
        }
        // The earlier of two equal links stays the best.
        uint64_t best = 0x1000000000000000ull;
        list.Best = None;
        for (size_t l = 0; l < list.Links.size(); ++l)
            if (list.Links[l].Score > best) {
                best = list.Links[l].Score;
                list.Best = ptrdiff_t(l);
            }
        list.Settled = true;
        path.pop_back();
    }
    const TLinkList& list = listOf(start);
    return list.Best == None ? 0 : list.Links[size_t(list.Best)].Score;
}

// Chooses the best chain between two frame items (or a list boundary); the rest is removed.
void TWalk::ScoreSegment(ptrdiff_t lo, ptrdiff_t hi)
{
    if (hi - lo <= 1)
        return;
    const ptrdiff_t first = std::max<ptrdiff_t>(lo + 1, 0);
    const ptrdiff_t last = std::min<ptrdiff_t>(hi - 1, ptrdiff_t(items_.size()) - 1);
    uint64_t olderScore = 0, newerScore = 0;
    if (hi < ptrdiff_t(items_.size()))
        olderScore = BestScore(size_t(hi), true, lo);
    if (!(olderScore & (uint64_t(1) << 62)) && lo >= 0)
        newerScore = BestScore(size_t(lo), false, hi);
    for (ptrdiff_t i = first; i <= last; ++i)
        items_[size_t(i)].Removed = true;
    const bool older = olderScore >= newerScore;
    if (!(older ? olderScore : newerScore))
        return;
    ptrdiff_t at = older ? hi : lo;
    const ptrdiff_t end = older ? lo : hi;
    for (size_t steps = 0; at != end && at >= 0 && at < ptrdiff_t(items_.size()) && steps <= items_.size(); ++steps) {
        TStackItem& item = items_[size_t(at)];
        item.Removed = false;
        const TLinkList& list = older ? item.Older : item.Newer;
        if (list.Best == None)
            break;
        at = list.Links[size_t(list.Best)].Other;
    }
}

void TWalk::LinkChains()
{
    ptrdiff_t previous = ptrdiff_t(items_.size());
    const size_t count = items_.size();
    for (size_t i = count; i-- > 0 && !Cancelled();) {
        if (items_[i].Removed || !items_[i].Frame)
            continue;
        ScoreSegment(ptrdiff_t(i), previous);
        previous = ptrdiff_t(i);
        Progress(int(650 + (count - i) * 350 / count));
    }
    if (!Cancelled())
        ScoreSegment(-1, previous);
}

void TWalk::FillFinalOutput()
{
    TRegistries& reg = Registry();
    const TStackSymbolSource& symbols = StackSymbols();
    std::vector<std::string> entries;
    for (size_t i = items_.size(); i-- > 0 && !Cancelled();) {
        TStackItem& item = items_[i];
        if (item.Removed)
            continue;
        TStackRow& row = item.Row;
        row.Removed = false;
        row.Sure = item.Sure;
        row.ExtraFirst = i == 0 && p_.ExtraFirstFrame;
        uintptr_t lookup = 0;
        for (const TStackLink& link : item.Older.Links)
            if (link.Function != None && reg.Functions[size_t(link.Function)].Known && link.CallAddress) {
                const TFunctionRecord& f = reg.Functions[size_t(link.Function)];
                row.Address = lookup = link.CallAddress;
                row.FunctionName = f.Name;
                row.EntryPoint = f.Info.EntryPoint;
                break;
            }
        if (!lookup)
            for (const TStackLink& link : item.Older.Links)
                if (link.CallAddress) {
                    row.Address = lookup = link.CallAddress;
                    break;
                }
        if (!lookup && item.Newer.Best != None && item.Newer.Links[size_t(item.Newer.Best)].CallAddress)
            row.Address = lookup = item.Newer.Links[size_t(item.Newer.Best)].CallAddress;
        if (!lookup) {
            row.Address = item.Value;
            lookup = item.Value - 1;   // inside the instruction before a return address
        }

        row.ModuleName = "???";
        if (item.Module != None) {
            const TModuleRecord& m = reg.Modules[size_t(item.Module)];
            row.ModuleName = m.Name;
            row.ModuleBase = m.Handle;
            if (ModuleHasSymbols(item.Module)) {
                std::string name;
                uintptr_t entry = 0;
                if (row.FunctionName.empty() && symbols.PublicAt(lookup, name, entry)) {
                    row.FunctionName = name;
                    row.EntryPoint = entry;
                }
                row.UnitName = symbols.UnitAt(lookup);
                const int line = std::max(0, symbols.LineAt(lookup));
                const int first = p_.ShowRelLines && line > 0 && row.EntryPoint ? symbols.LineAt(row.EntryPoint) : 0;
                // Code inlined from elsewhere may lie before the function's first line.
                if (first > 0 && line >= first) {
                    row.Line = line;
                    row.RelLine = line - first;
                } else {
                    row.Line = 0;
                    row.RelLine = line;
                }
                if (p_.UnitEntries) {
                    const std::string descriptor = symbols.Descriptor(m.Handle);
                    const std::string entry = m.Name + "|" + descriptor;
                    if (!descriptor.empty() &&
                        std::none_of(p_.UnitEntries->begin(), p_.UnitEntries->end(),
                                     [&](const std::string& s) { return SameTextCI(s, entry); }))
                        p_.UnitEntries->push_back(entry);
                }
            }
        }
    }
}

std::string TWalk::ComposeResult()
{
    std::vector<TStackRow> rows;
    rows.reserve(items_.size());
    for (const TStackItem& item : items_) {
        rows.push_back(item.Row);
        rows.back().Removed = item.Removed;
    }
    TStackTableOptions options;
    options.HideUglyItems = p_.HideUglyItems;
    options.ShowRelAddrs = p_.ShowRelAddrs;
    options.ShowRelLines = p_.ShowRelLines;
    options.Cancel = p_.Cancel;
    TStackTableResult table;
    std::string text = ComposeStackTable(rows, options, &table);
    if (p_.FirstAddress)
        *p_.FirstAddress = table.FirstAddress;
    if (p_.FirstEntryPoint)
        *p_.FirstEntryPoint = table.FirstEntryPoint;
    if (p_.FirstEntryAddress)
        *p_.FirstEntryAddress = table.FirstEntryAddress;
    if (p_.Checksum1 && p_.Checksum2 && p_.Checksum3 && table.HasChecksums) {
        *p_.Checksum1 = table.Checksum1;
        *p_.Checksum2 = table.Checksum2;
        *p_.Checksum3 = table.Checksum3;
    }
    return text;
}

void TWalk::Run(std::string& result)
{
    // Known and ruled out are what this walk proves; the analyses themselves are kept.
    for (TFunctionRecord& f : Registry().Functions)
        f.Known = f.Excluded = false;
    ranges_ = BuildReadableRanges();
#ifdef _WIN64
    if (p_.Context && !p_.PreItems)
        frameSlots_ = UnwoundFrameSlots(*p_.Context, bottom_, top_);
#else
    if (p_.FramePointer && !p_.PreItems)
        frameSlots_ = FrameChainSlots(p_.FramePointer, bottom_, top_, ranges_);
#endif
    std::sort(frameSlots_.begin(), frameSlots_.end());

    struct TPhase {
        const char* Name;
        void (TWalk::*Run)();
        int Done;
    };
    const TPhase phases[] = {
        {"CollectPossibleStackItems", &TWalk::Collect, 25},
        {"RemoveRecursiveStackAreas", nullptr, 0},
        {"InDeepChecks", &TWalk::InDeepChecks, 650},
        {"RealizeOptimalLinkChains", &TWalk::LinkChains, 1000},
        {"RemoveRecursiveAreas", nullptr, 0},
        {"FillFinalOutput", &TWalk::FillFinalOutput, 0},
        {"ComposeResult", nullptr, 0},
    };
    for (size_t n = 0; n < std::size(phases) && !Cancelled(); ++n) {
        const TPhase& phase = phases[n];
        try {
            if (n == 1)
                RemoveRecursion(true);
            else if (n == 3 && p_.SkipLinkChains)
                continue;
            else if (n == 4)
                RemoveRecursion(false);
            else if (n == 6)
                result += ComposeResult();
            else
                (this->*phase.Run)();
            if (phase.Done)
                Progress(phase.Done);
        } catch (...) {
            result += InternalErrorText(phase.Name, p_.ShowRelAddrs, p_.ShowRelLines, HandledExceptionAddress());
            if (p_.StartAddressGiven)
                result += "\r\n>> original exception location: \r\n" +
                          StackItemText(start_, p_.ShowRelAddrs, p_.ShowRelLines);
            return;
        }
    }
}


// Call instruction shapes that end right before a return address.
bool EndsInCall(const uint8_t (&b)[8])
{
    // b[8 - n] is the byte at Address - n.
    auto at = [&](int back) { return b[8 - back]; };
    auto indirect = [&](int back) { return at(back) == 0xFF && (at(back - 1) & 0x30) == 0x10; };
    return at(5) == 0xE8 || indirect(2) || indirect(3) || indirect(4) || indirect(6) || indirect(7) ||
           at(7) == 0x9A;
}

}  // namespace

uintptr_t ThreadStackTop()
{
    // StackBase of the thread block (NtCurrentTeb through the header trips a bounds warning).
    uintptr_t base;
#ifdef _WIN64
    __asm__("movq %%gs:0x08, %0" : "=r"(base));
#else
    __asm__("movl %%fs:0x04, %0" : "=r"(base));
#endif
    return base;
}

bool LooksLikeReturnAddress(uintptr_t address, const TDATryRead* ranges)
{
    uint8_t bytes[8];
    if (address < 8 || !TryReadMemory(address - 8, bytes, 8, ranges))
        return false;
    return EndsInCall(bytes);
}

std::vector<uintptr_t> UnwoundFrameSlots(const CONTEXT& context, uintptr_t bottom, uintptr_t top)
{
    std::vector<uintptr_t> slots;
#ifdef _WIN64
    CONTEXT ctx = context;
    // No frame limit: a stack overflow's frames run to the thread start. Every step moves the
    // stack pointer up, so the walk ends at the top.
    for (;;) {
        if (ctx.Rsp < bottom || ctx.Rsp + SlotSize > top)
            break;
        const uintptr_t before = ctx.Rsp;
        DWORD64 imageBase = 0;
        if (PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(ctx.Rip, &imageBase, nullptr)) {
            // The unwinder reads through a frame register unchecked: it must point into the stack.
            uint8_t header[4];
            if (!TryReadMemory(uintptr_t(imageBase + f->UnwindData), header, sizeof(header)))
                break;
            static constexpr DWORD64 CONTEXT::*Registers[16] = {
                &CONTEXT::Rax, &CONTEXT::Rcx, &CONTEXT::Rdx, &CONTEXT::Rbx, &CONTEXT::Rsp, &CONTEXT::Rbp,
                &CONTEXT::Rsi, &CONTEXT::Rdi, &CONTEXT::R8,  &CONTEXT::R9,  &CONTEXT::R10, &CONTEXT::R11,
                &CONTEXT::R12, &CONTEXT::R13, &CONTEXT::R14, &CONTEXT::R15};
            if (const unsigned reg = header[3] & 0x0F) {
                const uintptr_t frame = uintptr_t(ctx.*Registers[reg]);
                if (frame < bottom || frame > top)
                    break;
            }
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, ctx.Rip, f, &ctx, &handlerData, &establisher, nullptr);
        } else {
            // A leaf without unwind data: the return address is on top.
            uintptr_t ret = 0;
            if (!TryReadMemory(ctx.Rsp, &ret, SlotSize))
                break;
            ctx.Rip = ret;
            ctx.Rsp += SlotSize;
        }
        if (!ctx.Rip || ctx.Rsp <= before || ctx.Rsp > top)
            break;
        const uintptr_t slot = ctx.Rsp - SlotSize;
        if (slot >= bottom && slot < top)
            slots.push_back(slot);
    }
    std::sort(slots.begin(), slots.end());
#else
    (void)context;
    (void)bottom;
    (void)top;
#endif
    return slots;
}

size_t PreCollectStackItems(uintptr_t framePointer, uintptr_t stackBottom, uintptr_t stackTop,
                            uintptr_t stopValue, bool enabled, TDAPreStackItems& items, const CONTEXT* context)
{
    items.clear();
    if (!enabled)
        return 0;
    try {
        if (!stackTop)
            stackTop = ThreadStackTop();
        volatile char here = 0;
        if (!stackBottom)
            stackBottom = reinterpret_cast<uintptr_t>(&here);
        if (stackBottom >= stackTop)
            return 0;
        stackBottom &= ~(SlotSize - 1);
        const TDATryRead ranges = BuildReadableRanges();
        const std::vector<uintptr_t> chain = context ? UnwoundFrameSlots(*context, stackBottom, stackTop)
                                                     : FrameChainSlots(framePointer, stackBottom, stackTop, ranges);
        for (uintptr_t slot = stackTop - SlotSize; slot >= stackBottom; slot -= SlotSize) {
            uintptr_t value = 0;
            if (TryReadMemory(slot, &value, SlotSize, &ranges)) {
                if (stopValue && value == stopValue)
                    break;
                const bool frame = std::binary_search(chain.begin(), chain.end(), slot);
                if (value > 7 && LooksLikeReturnAddress(value, &ranges)) {
                    items.push_back({frame, value});
                    if (frame)
                        slot -= SlotSize;
                }
            }
            if (slot < stackBottom + SlotSize)
                break;
        }
        return items.empty() ? 0 : items.size() - 1;
    } catch (...) {
        items.clear();
        return 0;
    }
}

__attribute__((noinline)) void TraceStack(const TTraceStackParams& params, std::string& result)
{
    result.clear();
    if (params.FirstAddress)
        *params.FirstAddress = 0;
    if (params.FirstEntryPoint)
        *params.FirstEntryPoint = 0;
    if (params.FirstEntryAddress)
        *params.FirstEntryAddress = 0;

    TTraceStackParams p = params;
    uintptr_t start = params.StartAddress;
    uintptr_t bottom = params.StackBottom;
    uintptr_t top = params.StackTop ? params.StackTop : ThreadStackTop();
#ifdef _WIN64
    CONTEXT own;
    if (!bottom || (!start && !params.StartAddressGiven)) {
        // The caller's registers: one frame unwound from here.
        RtlCaptureContext(&own);
        DWORD64 imageBase = 0;
        if (PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(own.Rip, &imageBase, nullptr)) {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, own.Rip, f, &own, &handlerData, &establisher, nullptr);
        }
        if (!bottom) {
            bottom = own.Rsp;
            if (!p.Context)
                p.Context = &own;
        }
        if (!start && !params.StartAddressGiven)
            start = own.Rip;
    }
#else
    if (!bottom)
        bottom = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + 2 * SlotSize;
    if (!start && !params.StartAddressGiven)
        start = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    if (!params.StackBottom && !p.FramePointer)
        p.FramePointer = *reinterpret_cast<uintptr_t*>(__builtin_frame_address(0));
#endif
    bottom &= ~(SlotSize - 1);
    top &= ~(SlotSize - 1);
    if (!p.PreItems && (bottom >= top || IsBadReadPtr(reinterpret_cast<const void*>(bottom), top - bottom)))
        return;
    // Walks share the function registry: one at a time.
    static std::mutex walkLock;
    std::lock_guard<std::mutex> walking(walkLock);
    // The symbol source may keep the maps it reads until the walk ends.
    struct TWalkScope {
        const TStackSymbolSource& Symbols;
        explicit TWalkScope(const TStackSymbolSource& symbols) : Symbols(symbols) { Symbols.BeginWalk(); }
        ~TWalkScope() { Symbols.EndWalk(); }
    } scope(StackSymbols());
    try {
        TWalk walk(p, start, bottom, top);
        walk.Run(result);
    } catch (...) {
        // Out of memory before the first phase: the walk gives nothing.
    }
}
