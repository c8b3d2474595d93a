#pragma once

// The exception box's details view: the bug report cut into its parts, one tab per part, each
// part a report-style list built from the plain report text (or a read-only text when it cannot
// be tabulated). A double click on a row sends it to the development environment.

#include "hxExceptObject.h"

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

// ---- The report as tables ----

struct TDetailsColumn {
    std::string Caption;
    bool RightAligned = false;
    bool UpperCase = false;
};

struct TDetailsTable {
    std::string Caption;                          // the tab's caption
    bool AsText = false;                          // shown as read-only text
    std::string Text;                             // the section text, for AsText
    std::vector<TDetailsColumn> Columns;
    std::vector<std::vector<std::string>> Rows;   // a note row has one cell and Note set
    std::vector<bool> Notes;
};

struct TReportSection {
    std::string Name;       // without the colon
    std::string Headline;   // the whole name line
    std::string Text;
    bool Thread = false;
};

// Captions separated by "|": "^" first shows the cells in upper case, a blank first aligns right.
std::vector<TDetailsColumn> ParseColumnCaptions(const std::string& captions);

// The header (everything before the first section) and the sections, split at empty lines.
std::vector<TReportSection> SplitReportSections(const std::string& report, std::string* header = nullptr);

// Each line's start and length; a line beginning with ">>" has length -1.
struct TLineEntry {
    std::size_t Start = 0;
    int Length = 0;
};
std::vector<TLineEntry> BuildLineTable(const std::string& text);

// Column starts found over the longest line; separators at borders become blanks in lines.
std::vector<std::size_t> DetectColumnStarts(std::vector<std::string>& lines, bool strict);
// Cells of a line cut just before each column start, trimmed.
std::vector<std::string> CutLine(std::string line, const std::vector<std::size_t>& starts);

// The tables of a report in tab order; header fields come from the list when given.
std::vector<TDetailsTable> BuildDetailsTables(const std::string& report, IVQFields* headerFields);

// ---- The view ----

class TDetailsView {
public:
    // A tab control in the box's client area; the font belongs to the box.
    TDetailsView(HWND box, IVQException* exception, const RECT& area, HFONT font);
    ~TDetailsView();
    TDetailsView(const TDetailsView&) = delete;
    TDetailsView& operator=(const TDetailsView&) = delete;

    HWND Tabs() const { return tabs_; }
    bool IsControl(HWND window) const;

    // Makes the tab list equal to the report's parts; rebuilds the selected tab when it changed.
    void UpdateDetailsTabs();
    // Builds the view of the selected tab and replaces the previous one.
    void ShowDetailsTab();
    // The box handles WM_NOTIFY through this; true when the message was the view's.
    bool Notify(const NMHDR& header, LRESULT& result);
    void Move(const RECT& area);
    // The box is closing: the lists forget their data.
    void Release();

private:
    static LRESULT CALLBACK TabProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR data);
    void PlaceContent();
    void SizeColumns();
    void PaintTabs(HDC dc);
    void DrawNoteRow(NMLVCUSTOMDRAW& draw, LRESULT& result);
    void RowDoubleClicked(int row);

    HWND tabs_ = nullptr;
    HWND content_ = nullptr;
    HFONT font_ = nullptr;
    HFONT noteFont_ = nullptr;
    HIMAGELIST images_ = nullptr;        // 16 x 16, shared by every list the view shows
    IVQException* exception_ = nullptr;
    std::vector<TDetailsTable> tables_;
    TDetailsTable shown_;
    bool hasShown_ = false;
};
