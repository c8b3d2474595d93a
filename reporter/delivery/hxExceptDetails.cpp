#include "hxExceptDetails.h"

#include "hxExceptSupport.h"
#include "hxStackLines.h"
#include "hxStrings.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr UINT_PTR TabSubclassId = 0x709;

bool IsNoteLine(const std::string& line)
{
    return line.size() >= 2 && line[0] == '>' && line[1] == '>';
}

std::string Trimmed(std::string text)
{
    TrimText(text);
    return text;
}

// Lines end at "\r\n" (a '\r' and the character after it); a last empty line is left out.
std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find('\r', start), text.size());
        if (end > start || end < text.size())
            lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

bool IsHex(const std::string& text, std::size_t from = 0)
{
    if (text.size() <= from)
        return false;
    for (std::size_t i = from; i < text.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

bool IsNumber(const std::string& text)
{
    const std::size_t from = !text.empty() && text[0] == '+' ? 1 : 0;
    if (text.size() <= from)
        return false;
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// Thread headlines read "thread $id", "name ($id)" or "thread $id (class)", then a colon and
// perhaps state notes.
bool IsThreadHeadline(const std::string& line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string name = line.substr(0, colon);
    if (name.rfind("thread $", 0) == 0 && name.size() > 8 && std::isxdigit(static_cast<unsigned char>(name[8])))
        return true;
    const std::size_t open = name.rfind(" ($");
    return open != std::string::npos && name.back() == ')' && IsHex(name.substr(open + 3, name.size() - open - 4));
}

void AddRow(TDetailsTable& table, std::vector<std::string> cells, bool note = false)
{
    table.Rows.push_back(std::move(cells));
    table.Notes.push_back(note);
}

void AddNote(TDetailsTable& table, const std::string& line)
{
    AddRow(table, {Trimmed(line)}, true);
}

// Lines cut into columns found in the text; false when no column border exists.
bool Tabulate(TDetailsTable& table, const std::string& text, const std::vector<TDetailsColumn>& captions)
{
    std::vector<std::string> all = SplitLines(text);
    std::vector<std::string> plain;
    for (const std::string& line : all)
        if (!IsNoteLine(line))
            plain.push_back(line);
    std::vector<std::size_t> starts = DetectColumnStarts(plain, true);
    if (starts.empty())
        return false;
    table.Columns = captions;
    table.Columns.resize(starts.size() + 1);
    std::size_t next = 0;
    for (const std::string& line : all) {
        if (IsNoteLine(line))
            AddNote(table, line);
        else if (!Trimmed(line).empty())
            AddRow(table, CutLine(plain[next], starts));
        if (!IsNoteLine(line))
            ++next;
    }
    return true;
}

void AsText(TDetailsTable& table, const std::string& text)
{
    table.AsText = true;
    table.Text = text;
}

void FillStackTable(TDetailsTable& table, const std::vector<const TReportSection*>& threads)
{
    // The parts a stack line may have, in their order.
    enum Part { Address, RelAddress, Module, Unit, Line, RelLine, Function, PartCount };
    static const char* const Captions[PartCount] = {"^address", "^ rel.", "module", "unit", " line", " rel.",
                                                    "function"};
    struct TParsed {
        bool Note = false;
        std::string Text;
        std::string Cells[PartCount];
    };
    std::vector<TParsed> parsed;
    bool used[PartCount] = {};
    for (const TReportSection* thread : threads) {
        if (threads.size() > 1)
            parsed.push_back({true, thread->Headline, {}});
        std::vector<std::string> lines = SplitLines(thread->Text);
        std::vector<std::string> plain;
        for (const std::string& line : lines)
            if (!IsNoteLine(line) && !Trimmed(line).empty())
                plain.push_back(line);
        const std::vector<std::size_t> starts = DetectColumnStarts(plain, false);
        std::size_t next = 0;
        for (const std::string& line : lines) {
            if (Trimmed(line).empty())
                continue;
            if (IsNoteLine(line)) {
                parsed.push_back({true, Trimmed(line), {}});
                continue;
            }
            std::vector<std::string> cells = CutLine(plain[next++], starts);
            TParsed row;
            // Address first, then a relative address, names, numbers and the function last.
            std::size_t at = 0;
            row.Cells[Address] = cells.empty() ? std::string() : cells[at++];
            if (at < cells.size() && cells[at].size() > 1 && cells[at][0] == '+' && IsHex(cells[at], 1))
                row.Cells[RelAddress] = cells[at++];
            std::vector<std::string> names;
            std::vector<std::string> numbers;
            std::string function;
            for (; at < cells.size(); ++at) {
                if (IsNumber(cells[at]) && function.empty())
                    numbers.push_back(cells[at]);
                else if (numbers.empty() && names.size() < 2 && at + 1 < cells.size())
                    names.push_back(cells[at]);
                else
                    function += (function.empty() ? "" : " ") + cells[at];
            }
            if (!names.empty())
                row.Cells[Module] = names[0];
            if (names.size() > 1)
                row.Cells[Unit] = names[1];
            if (numbers.size() == 1 && numbers[0][0] == '+')
                row.Cells[RelLine] = numbers[0];
            else if (!numbers.empty())
                row.Cells[Line] = numbers[0];
            if (numbers.size() > 1)
                row.Cells[RelLine] = numbers[1];
            row.Cells[Function] = function;
            for (int part = 0; part < PartCount; ++part)
                used[part] = used[part] || !row.Cells[part].empty();
            parsed.push_back(std::move(row));
        }
    }
    std::string captions = Captions[Address];
    for (int part = RelAddress; part < PartCount; ++part)
        if (used[part])
            captions += std::string("|") + Captions[part];
    table.Columns = ParseColumnCaptions(captions);
    for (const TParsed& row : parsed) {
        if (row.Note) {
            AddNote(table, row.Text);
            continue;
        }
        std::vector<std::string> cells{row.Cells[Address]};
        for (int part = RelAddress; part < PartCount; ++part)
            if (used[part])
                cells.push_back(row.Cells[part]);
        AddRow(table, std::move(cells));
    }
}

void FillStackDump(TDetailsTable& table, const std::string& text)
{
    table.Columns = ParseColumnCaptions("address|data - hexadecimal|data - chars");
    // The address digits, two blanks, 16 bytes of three characters and the dash, one blank.
    const std::size_t first = static_cast<std::size_t>(StackAddressDigits) + 2;
    const std::vector<std::size_t> starts{first, first + 51};
    for (const std::string& line : SplitLines(text)) {
        if (IsNoteLine(line))
            AddNote(table, line);
        else if (!Trimmed(line).empty())
            AddRow(table, CutLine(line, starts));
    }
}

// Disassembly lines: the address, a blank or the ">" of the failing instruction, the source
// line column when there is one, the code and its ";" comment.
void FillDisassembly(TDetailsTable& table, const std::string& text)
{
    const std::size_t digits = static_cast<std::size_t>(StackAddressDigits);
    const std::vector<std::string> lines = SplitLines(text);
    auto hasAddress = [&](const std::string& line) {
        return line.size() > digits + 1 && IsHex(line.substr(0, digits)) &&
               (line[digits] == ' ' || line[digits] == '>');
    };
    // The line column: as wide as the first run of digits, blank or digits in every line.
    std::size_t width = 0;
    for (const std::string& line : lines)
        if (hasAddress(line) && std::isdigit(static_cast<unsigned char>(line[digits + 1]))) {
            const std::size_t end = line.find(' ', digits + 1);
            width = end == std::string::npos ? 0 : end - digits - 1;
            break;
        }
    for (const std::string& line : lines) {
        if (!width || !hasAddress(line))
            continue;
        const std::string column = line.substr(digits + 1, width + 1);
        const bool blank = column.find_first_not_of(' ') == std::string::npos;
        const bool number = column.size() == width + 1 && column.back() == ' ' &&
                            std::all_of(column.begin(), column.end() - 1,
                                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
        if (!blank && !number)
            width = 0;
    }
    table.Columns = ParseColumnCaptions(std::string(width ? "line|" : "") + "address|asm code|comments");
    for (const std::string& line : lines) {
        if (IsNoteLine(line)) {
            AddNote(table, line);
            continue;
        }
        if (Trimmed(line).empty())
            continue;
        std::vector<std::string> cells;
        std::string rest = line;
        std::string address;
        std::string number;
        if (hasAddress(line)) {
            address = line.substr(0, digits) + (line[digits] == '>' ? " >" : "");
            rest = line.substr(digits + 1);
            if (width) {
                number = Trimmed(rest.substr(0, width));
                rest.erase(0, width + 1);
                // Leading zeros only pad the column.
                number.erase(0, std::min(number.find_first_not_of('0'), number.size() - 1));
            }
        }
        std::string comment;
        if (const std::size_t semicolon = rest.find(';'); semicolon != std::string::npos) {
            comment = Trimmed(rest.substr(semicolon));
            rest.erase(semicolon);
        }
        if (width)
            cells.push_back(number);
        cells.push_back(address);
        cells.push_back(Trimmed(rest));
        cells.push_back(comment);
        AddRow(table, std::move(cells));
    }
}

}  // namespace

// ---- The report as tables ----

std::vector<TDetailsColumn> ParseColumnCaptions(const std::string& captions)
{
    std::vector<TDetailsColumn> columns;
    for (std::string caption : SplitSettingList(captions, '|')) {
        TDetailsColumn column;
        if (!caption.empty() && caption[0] == '^') {
            column.UpperCase = true;
            caption.erase(0, 1);
        }
        if (!caption.empty() && caption[0] == ' ') {
            column.RightAligned = true;
            caption.erase(0, 1);
        }
        column.Caption = caption;
        columns.push_back(std::move(column));
    }
    return columns;
}

std::vector<TReportSection> SplitReportSections(const std::string& report, std::string* header)
{
    std::vector<TReportSection> sections;
    std::size_t at = 0;
    bool first = true;
    while (at <= report.size()) {
        std::size_t end = report.find("\r\n\r\n", at);
        if (end == std::string::npos)
            end = report.size();
        const std::string block = report.substr(at, end - at);
        at = end + 4;
        if (first) {
            first = false;
            if (header)
                *header = block;
            if (end == report.size())
                break;
            continue;
        }
        const std::size_t lineEnd = block.find("\r\n");
        TReportSection section;
        section.Headline = block.substr(0, lineEnd);
        section.Text = lineEnd == std::string::npos ? std::string() : block.substr(lineEnd + 2);
        section.Thread = IsThreadHeadline(section.Headline);
        const std::size_t colon = section.Headline.find(':');
        section.Name = section.Headline.substr(0, colon);
        if (!section.Name.empty() || !section.Text.empty())
            sections.push_back(std::move(section));
        if (end == report.size())
            break;
    }
    return sections;
}

std::vector<TLineEntry> BuildLineTable(const std::string& text)
{
    std::vector<TLineEntry> table;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\r', start);
        if (end == std::string::npos)
            end = text.size();
        TLineEntry entry;
        entry.Start = start;
        entry.Length = static_cast<int>(end - start);
        if (end - start >= 2 && text[start] == '>' && text[start + 1] == '>')
            entry.Length = -1;
        if (end > start || end < text.size())
            table.push_back(entry);
        start = end + 2;
    }
    return table;
}

std::vector<std::size_t> DetectColumnStarts(std::vector<std::string>& lines, bool strict)
{
    std::vector<std::size_t> starts;
    if (lines.empty())
        return starts;
    std::size_t longest = 0;
    int nonEmpty = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() > lines[longest].size())
            longest = i;
        if (!Trimmed(lines[i]).empty())
            ++nonEmpty;
    }
    const std::string& reference = lines[longest];
    for (std::size_t p = 1; p + 2 <= reference.size(); ++p) {
        const char c = reference[p];
        const bool candidate = c == ' ' || c == '=' || c == '|' || (c == ':' && reference[p + 1] == ' ');
        if (!candidate)
            continue;
        bool border = true;
        int continuing = 0;
        for (const std::string& line : lines) {
            if (line.size() <= p)
                continue;
            if (line[p] != c) {
                border = false;
                break;
            }
            if (c != ' ' || (line.size() > p + 1 && line[p + 1] != ' '))
                ++continuing;
        }
        if (!border || (strict && nonEmpty > 1 && continuing < 2) || (!strict && continuing < 1))
            continue;
        for (std::string& line : lines)
            if (line.size() > p)
                line[p] = ' ';
        if (!starts.empty() && starts.back() == p)
            starts.back() = p + 1;
        else
            starts.push_back(p + 1);
    }
    return starts;
}

std::vector<std::string> CutLine(std::string line, const std::vector<std::size_t>& starts)
{
    for (std::size_t start : starts)
        if (start > 0 && line.size() >= start)
            line[start - 1] = '\t';
    std::vector<std::string> cells;
    std::size_t at = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', at);
        cells.push_back(Trimmed(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at)));
        if (tab == std::string::npos)
            break;
        at = tab + 1;
    }
    return cells;
}

std::vector<TDetailsTable> BuildDetailsTables(const std::string& report, IVQFields* headerFields)
{
    std::vector<TDetailsTable> tables;
    std::string header;
    const std::vector<TReportSection> sections = SplitReportSections(report, &header);

    TDetailsTable general;
    general.Caption = "general";
    general.Columns = ParseColumnCaptions("description|value");
    if (headerFields) {
        headerFields->Lock();
        for (int i = 0; i < headerFields->GetCount(); ++i) {
            const std::string name = headerFields->GetName(i);
            AddRow(general, {name, Trimmed(headerFields->GetValue(name))});
        }
        headerFields->Unlock();
    } else {
        for (const std::string& line : SplitLines(header)) {
            const std::size_t colon = line.find(": ");
            if (colon != std::string::npos)
                AddRow(general, {Trimmed(line.substr(0, colon)), Trimmed(line.substr(colon + 2))});
        }
    }
    tables.push_back(std::move(general));

    std::vector<const TReportSection*> threads;
    for (const TReportSection& section : sections)
        if (section.Thread)
            threads.push_back(&section);
    if (!threads.empty()) {
        TDetailsTable stack;
        stack.Caption = threads.size() > 1 ? "call stacks" : "call stack";
        FillStackTable(stack, threads);
        tables.push_back(std::move(stack));
    }

    for (const TReportSection& section : sections) {
        if (section.Thread)
            continue;
        TDetailsTable table;
        const std::string name = section.Name;
        table.Caption = name == "cpu registers" ? "cpu regs" : name == "disassembling" ? "disasm" : name;
        if (section.Text.rfind(">> internal", 0) == 0 || IsNoteLine(section.Text))
            AsText(table, section.Text);
        else if (name == "stack dump")
            FillStackDump(table, section.Text);
        else if (name == "disassembling")
            FillDisassembly(table, section.Text);
        else if (name == "modules") {
            if (!Tabulate(table, section.Text, ParseColumnCaptions("^handle|file name| version|path")))
                AsText(table, section.Text);
        } else if (name == "cpu registers") {
            if (!Tabulate(table, section.Text, ParseColumnCaptions("reg.|content")))
                AsText(table, section.Text);
        } else if (!Tabulate(table, section.Text, {})) {
            AsText(table, section.Text);
        }
        tables.push_back(std::move(table));
    }
    return tables;
}

// ---- The view ----

TDetailsView::TDetailsView(HWND box, IVQException* exception, const RECT& area, HFONT font)
    : font_(font), exception_(exception)
{
    tabs_ = CreateWindowExA(0, WC_TABCONTROLA, "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_TABSTOP, area.left,
                            area.top, area.right - area.left, area.bottom - area.top, box, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
    if (!tabs_)
        return;
    SendMessageA(tabs_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    SetWindowSubclass(tabs_, TabProc, TabSubclassId, reinterpret_cast<DWORD_PTR>(this));
    LOGFONTA logFont{};
    if (font_ && GetObjectA(font_, sizeof logFont, &logFont)) {
        logFont.lfItalic = TRUE;
        logFont.lfWeight = FW_BOLD;
        noteFont_ = CreateFontIndirectA(&logFont);
    }
    images_ = ImageList_Create(16, 16, ILC_COLOR32, 0, 1);
    UpdateDetailsTabs();
}

TDetailsView::~TDetailsView()
{
    if (tabs_ && IsWindow(tabs_))
        RemoveWindowSubclass(tabs_, TabProc, TabSubclassId);
    if (noteFont_)
        DeleteObject(noteFont_);
    if (images_)
        ImageList_Destroy(images_);
}

bool TDetailsView::IsControl(HWND window) const
{
    return window && (window == tabs_ || window == content_ || (content_ && IsChild(content_, window)));
}

void TDetailsView::UpdateDetailsTabs()
{
    if (!tabs_)
        return;
    const std::string report = exception_->WaitForReportText(false);
    TFieldsPtr header = exception_->GetBugReportHeader();
    tables_ = BuildDetailsTables(report, header.Get());

    // Existing captions; tabs no longer wanted go, missing ones come at their position.
    std::vector<std::string> existing;
    const int count = static_cast<int>(SendMessageA(tabs_, TCM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        char caption[256] = "";
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        item.pszText = caption;
        item.cchTextMax = sizeof caption;
        SendMessageA(tabs_, TCM_GETITEMA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        existing.emplace_back(caption);
    }
    auto wanted = [&](const std::string& caption) {
        return std::any_of(tables_.begin(), tables_.end(),
                           [&](const TDetailsTable& t) { return t.Caption == caption; });
    };
    for (int i = static_cast<int>(existing.size()) - 1; i >= 0; --i)
        if (!wanted(existing[static_cast<std::size_t>(i)])) {
            SendMessageA(tabs_, TCM_DELETEITEM, static_cast<WPARAM>(i), 0);
            existing.erase(existing.begin() + i);
        }
    for (std::size_t i = 0; i < tables_.size(); ++i) {
        if (i < existing.size() && existing[i] == tables_[i].Caption)
            continue;
        TCITEMA item{};
        item.mask = TCIF_TEXT;
        std::string caption = tables_[i].Caption;
        item.pszText = caption.data();
        SendMessageA(tabs_, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
        existing.insert(existing.begin() + static_cast<std::ptrdiff_t>(std::min(i, existing.size())), caption);
    }
    if (SendMessageA(tabs_, TCM_GETCURSEL, 0, 0) < 0 && !tables_.empty())
        SendMessageA(tabs_, TCM_SETCURSEL, 0, 0);
    // The selected tab is rebuilt when its table changed.
    const int selected = static_cast<int>(SendMessageA(tabs_, TCM_GETCURSEL, 0, 0));
    if (selected >= 0 && static_cast<std::size_t>(selected) < tables_.size()) {
        const TDetailsTable& table = tables_[static_cast<std::size_t>(selected)];
        if (!hasShown_ || table.Caption != shown_.Caption || table.AsText != shown_.AsText ||
            table.Text != shown_.Text || table.Rows != shown_.Rows)
            ShowDetailsTab();
    }
}

void TDetailsView::ShowDetailsTab()
{
    const int selected = static_cast<int>(SendMessageA(tabs_, TCM_GETCURSEL, 0, 0));
    if (selected < 0 || static_cast<std::size_t>(selected) >= tables_.size())
        return;
    shown_ = tables_[static_cast<std::size_t>(selected)];
    hasShown_ = true;
    HWND old = content_;
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    if (shown_.AsText) {
        std::string text = shown_.Text;
        content_ = CreateWindowExA(WS_EX_CLIENTEDGE, "Edit", "",
                                   WS_CHILD | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL |
                                       ES_AUTOHSCROLL | WS_TABSTOP,
                                   0, 0, 10, 10, tabs_, nullptr, instance, nullptr);
        if (content_) {
            SendMessageA(content_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
            SetWindowTextA(content_, text.c_str());
        }
    } else {
        const bool captions = std::any_of(shown_.Columns.begin(), shown_.Columns.end(),
                                          [](const TDetailsColumn& c) { return !c.Caption.empty(); });
        content_ = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                                   WS_CHILD | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_SHAREIMAGELISTS |
                                       WS_TABSTOP | (captions ? 0 : LVS_NOCOLUMNHEADER),
                                   0, 0, 10, 10, tabs_, nullptr, instance, nullptr);
        if (content_) {
            PlaceContent();
            SendMessageA(content_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
            SendMessageA(content_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
            if (images_)
                SendMessageA(content_, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(images_));
            for (std::size_t c = 0; c < shown_.Columns.size(); ++c) {
                LVCOLUMNA column{};
                column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH;
                column.fmt = shown_.Columns[c].RightAligned && c > 0 ? LVCFMT_RIGHT : LVCFMT_LEFT;
                column.cx = 20;
                std::string caption = shown_.Columns[c].Caption;
                column.pszText = caption.data();
                SendMessageA(content_, LVM_INSERTCOLUMNA, c, reinterpret_cast<LPARAM>(&column));
            }
            for (std::size_t r = 0; r < shown_.Rows.size(); ++r) {
                const std::vector<std::string>& cells = shown_.Rows[r];
                for (std::size_t c = 0; c < cells.size() && c < std::max<std::size_t>(shown_.Columns.size(), 1); ++c) {
                    std::string text = cells[c];
                    if (c < shown_.Columns.size() && shown_.Columns[c].UpperCase && !shown_.Notes[r])
                        text = UpperCaseCopy(text);
                    LVITEMA item{};
                    item.mask = LVIF_TEXT;
                    item.iItem = static_cast<int>(r);
                    item.iSubItem = static_cast<int>(c);
                    item.pszText = text.data();
                    SendMessageA(content_, c == 0 ? LVM_INSERTITEMA : LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
                }
            }
            SizeColumns();
        }
    }
    PlaceContent();
    if (content_)
        ShowWindow(content_, SW_SHOWNA);
    if (old)
        DestroyWindow(old);
}

// Every column as wide as its widest cell or caption (note rows span and do not count); the
// last one takes what is left.
void TDetailsView::SizeColumns()
{
    HDC dc = GetDC(content_);
    HGDIOBJ oldFont = SelectObject(dc, font_);
    auto measure = [&](const std::string& text) {
        SIZE size{};
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
        return static_cast<int>(size.cx);
    };
    RECT client{};
    GetClientRect(content_, &client);
    int used = 0;
    for (std::size_t c = 0; c < shown_.Columns.size(); ++c) {
        int width = shown_.Columns[c].Caption.empty() ? 8 : measure(shown_.Columns[c].Caption) + 16;
        for (std::size_t r = 0; r < shown_.Rows.size(); ++r)
            if (!shown_.Notes[r] && c < shown_.Rows[r].size()) {
                const std::string& cell = shown_.Rows[r][c];
                width = std::max(width, measure(shown_.Columns[c].UpperCase ? UpperCaseCopy(cell) : cell) +
                                            (shown_.Columns[c].RightAligned ? 24 : 14));
            }
        // The first column's cells start after the small image's room.
        if (c == 0 && images_)
            width += 16;
        if (c + 1 == shown_.Columns.size())
            width = std::max(width, static_cast<int>(client.right) - used - GetSystemMetrics(SM_CXVSCROLL) - 2);
        SendMessageA(content_, LVM_SETCOLUMNWIDTH, c, MAKELPARAM(width, 0));
        used += width;
    }
    SelectObject(dc, oldFont);
    ReleaseDC(content_, dc);
}

void TDetailsView::PlaceContent()
{
    if (!content_)
        return;
    RECT area;
    GetClientRect(tabs_, &area);
    SendMessageA(tabs_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    OffsetRect(&area, -1, 2);
    InflateRect(&area, -3, -3);
    MoveWindow(content_, area.left, area.top, std::max<int>(area.right - area.left, 0),
               std::max<int>(area.bottom - area.top, 0), TRUE);
}

void TDetailsView::Move(const RECT& area)
{
    if (!tabs_)
        return;
    MoveWindow(tabs_, area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
    PlaceContent();
}

void TDetailsView::Release()
{
    if (content_ && hasShown_ && !shown_.AsText)
        SendMessageA(content_, LVM_DELETEALLITEMS, 0, 0);
    tables_.clear();
    shown_ = {};
    hasShown_ = false;
}

bool TDetailsView::Notify(const NMHDR& header, LRESULT& result)
{
    if (header.hwndFrom == tabs_ && header.code == TCN_SELCHANGE) {
        ShowDetailsTab();
        result = 0;
        return true;
    }
    if (header.hwndFrom != content_ || shown_.AsText)
        return false;
    if (header.code == NM_CUSTOMDRAW) {
        DrawNoteRow(*reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(&header)), result);
        return true;
    }
    if (header.code == NM_DBLCLK) {
        RowDoubleClicked(reinterpret_cast<const NMITEMACTIVATE&>(header).iItem);
        result = 0;
        return true;
    }
    return false;
}

void TDetailsView::DrawNoteRow(NMLVCUSTOMDRAW& draw, LRESULT& result)
{
    result = CDRF_DODEFAULT;
    if (draw.nmcd.dwDrawStage == CDDS_PREPAINT) {
        result = CDRF_NOTIFYITEMDRAW;
        return;
    }
    if (draw.nmcd.dwDrawStage != CDDS_ITEMPREPAINT)
        return;
    const std::size_t row = draw.nmcd.dwItemSpec;
    if (row >= shown_.Rows.size() || !shown_.Notes[row])
        return;
    // A note spans the whole row in its own font and colour.
    RECT bounds{};
    bounds.left = LVIR_BOUNDS;
    SendMessageA(content_, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&bounds));
    HDC dc = draw.nmcd.hdc;
    const bool selected = SendMessageA(content_, LVM_GETITEMSTATE, row, LVIS_SELECTED) != 0;
    FillRect(dc, &bounds, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    HGDIOBJ oldFont = SelectObject(dc, noteFont_ ? noteFont_ : font_);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, selected ? GetSysColor(COLOR_HIGHLIGHTTEXT) : GetSysColor(COLOR_GRAYTEXT));
    bounds.left += 6;
    const std::string& text = shown_.Rows[row][0];
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &bounds,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    SelectObject(dc, oldFont);
    result = CDRF_SKIPDEFAULT;
}

void TDetailsView::RowDoubleClicked(int row)
{
    if (row < 0 || static_cast<std::size_t>(row) >= shown_.Rows.size())
        return;
    std::string text;
    for (const std::string& cell : shown_.Rows[static_cast<std::size_t>(row)])
        text += (text.empty() ? "" : " ") + cell;
    for (char& c : text)
        if (c == '>' || c == '\t')
            c = ' ';
    SendIdeJumpCommand(text);
}

void TDetailsView::PaintTabs(HDC dc)
{
    if (!content_)
        return;
    // A frame around the list, in the face colour's shadow.
    RECT frame;
    GetWindowRect(content_, &frame);
    MapWindowPoints(nullptr, tabs_, reinterpret_cast<POINT*>(&frame), 2);
    InflateRect(&frame, 1, 1);
    FrameRect(dc, &frame, GetSysColorBrush(COLOR_BTNSHADOW));
}

LRESULT CALLBACK TDetailsView::TabProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR data)
{
    auto* view = reinterpret_cast<TDetailsView*>(data);
    switch (message) {
    case WM_NOTIFY: {
        // The list's notifications reach the tab control, its parent.
        LRESULT result = 0;
        if (view->Notify(*reinterpret_cast<const NMHDR*>(lParam), result))
            return result;
        break;
    }
    case WM_PAINT: {
        const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
        HDC dc = GetDC(window);
        view->PaintTabs(dc);
        ReleaseDC(window, dc);
        return result;
    }
    case WM_SIZE: {
        const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
        view->PlaceContent();
        return result;
    }
    case WM_NCDESTROY:
        RemoveWindowSubclass(window, TabProc, TabSubclassId);
        break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}
