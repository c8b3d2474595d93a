#include "FormHelpUtils.h"

#include "ExtCtrls.h"
#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

namespace {

// The default font at a size whose bold and plain widths differ.
void SetTestFont(TFont& font) {
    font.SetSize(10);
    font.SetColor(clBlack);
}

int PlainWidth(const std::string& text, TFontStyles style = {}) {
    TBitmap bitmap(1, 1);
    SetTestFont(bitmap.Canvas().Font());
    bitmap.Canvas().Font().SetStyle(style);
    return bitmap.Canvas().TextWidth(text);
}

// Columns of the bitmap holding a pixel of exactly this colour.
std::pair<int, int> ColumnsOf(TBitmap& bitmap, TColor color) {
    const COLORREF want = ColorToRGB(color);
    int first = -1;
    int last = -1;
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x) {
            const uint8_t* pixel = row + x * 3;
            if (RGB(pixel[2], pixel[1], pixel[0]) == want) {
                first = first < 0 ? x : std::min(first, x);
                last = std::max(last, x);
            }
        }
    }
    return {first, last};
}

TTaggedTextParams Params(TBitmap& bitmap, const TFont& font, const std::string& text, int width) {
    TTaggedTextParams params;
    params.Bitmap = &bitmap;
    params.Font = &font;
    params.Text = text;
    params.Width = width;
    params.MarginX = 11;
    params.MarginY = 7;
    params.Color = clWhite;
    return params;
}

}  // namespace

TEST(BracketMarkup, StrippingRemovesKnownTagsOnly) {
    EXPECT_EQ(StripTags("[BLUE]Scan[DEF] the registry"), "Scan the registry");
    EXPECT_EQ(StripTags("[UISB]x"), "x");
    EXPECT_EQ(StripTags("[bi]x[]y"), "xy");
    EXPECT_EQ(StripTags("[DEFAULT]a[red]b"), "ab");
    EXPECT_EQ(StripTags("[NOTE]keep [BB]too"), "[NOTE]keep [BB]too");
    EXPECT_EQ(StripTags("a]b[c"), "a]b[c");
    // Removing one tag may join the pieces of another, which the next pass removes.
    EXPECT_EQ(StripTags("[[B]B]x"), "x");
    EXPECT_EQ(StripTags("{B}bold{} and [B]", '{', '}'), "bold and [B]");
}

TEST(BracketMarkup, MeasuringAppliesStylesAndDropsTags) {
    TBitmap bitmap(1, 1);
    SetTestFont(bitmap.Canvas().Font());
    TCanvas& canvas = bitmap.Canvas();
    EXPECT_EQ(MeasureTaggedLine(canvas, "[B]Wide", 11, '[', ']'), 11 + PlainWidth("Wide", {fsBold}));
    EXPECT_EQ(MeasureTaggedLine(canvas, "[BI]x[]y", 0, '[', ']'),
              PlainWidth("x", {fsBold, fsItalic}) + PlainWidth("y"));
    // An opening character after a closing one goes; the closing one stays as text.
    EXPECT_EQ(MeasureTaggedLine(canvas, "a]b[c", 0, '[', ']'), PlainWidth("a]bc"));
    // Unknown tags switch to the plain style and are not drawn.
    EXPECT_EQ(MeasureTaggedLine(canvas, "[B]a[NOTE]b", 0, '[', ']'), PlainWidth("a", {fsBold}) + PlainWidth("b"));
    // An opening character without a closing one is text.
    EXPECT_EQ(MeasureTaggedLine(canvas, "[B]a[b", 0, '[', ']'), PlainWidth("a[b", {fsBold}));
    EXPECT_EQ(MeasureTaggedLine(canvas, "[DEFAULT]x", 0, '[', ']'), PlainWidth("x"));
}

// One character may open and close a tag: the tag is the text up to its next occurrence.
TEST(BracketMarkup, OneCharacterOpensAndClosesATag) {
    TBitmap bitmap(1, 1);
    SetTestFont(bitmap.Canvas().Font());
    TCanvas& canvas = bitmap.Canvas();
    EXPECT_EQ(MeasureTaggedLine(canvas, "|B|Wide|I|x", 11, '|', '|'),
              11 + PlainWidth("Wide", {fsBold}) + PlainWidth("x", {fsItalic}));
    EXPECT_EQ(MeasureTaggedLine(canvas, "||a", 0, '|', '|'), PlainWidth("a"));
    // Without a second one the character is text, as an opening one without a closing one.
    EXPECT_EQ(MeasureTaggedLine(canvas, "|B|a|b", 0, '|', '|'), PlainWidth("a|b", {fsBold}));
    EXPECT_EQ(MeasureTaggedLine(canvas, "[[[", 0, '[', '['), PlainWidth("["));
}

TEST(BracketMarkup, RenderedColoursAndLines) {
    TFont font;
    SetTestFont(font);
    TBitmap bitmap;
    TTaggedTextParams params = Params(bitmap, font, "[BLUE]Scan[DEF] the registry", 400);
    params.Flags = TRenderFlags{rfAdjustWidth};
    RenderTaggedText(params);

    const int scan = PlainWidth("Scan");
    EXPECT_EQ(bitmap.Width(), 11 + PlainWidth("Scan the registry") + 11);
    auto [first, last] = ColumnsOf(bitmap, clBlue);
    ASSERT_GE(first, 11);
    EXPECT_LT(last, 11 + scan);
    auto [firstBlack, lastBlack] = ColumnsOf(bitmap, clBlack);
    EXPECT_GE(lastBlack, 11 + scan);

    TBitmap lines;
    TTaggedTextParams two = Params(lines, font, "one\ntwo\r\nthree", 400);
    RenderTaggedText(two);
    EXPECT_EQ(lines.Height(), 3 * lines.Canvas().TextHeight("Wj") + 14);
    EXPECT_EQ(lines.Width(), 400);  // the given width stays without adjusting
}

TEST(BracketMarkup, WordWrapEndsAndBreaksLongWords) {
    TBitmap bitmap(1, 1);
    SetTestFont(bitmap.Canvas().Font());
    TCanvas& canvas = bitmap.Canvas();
    const int limit = 11 + PlainWidth("registry");

    int widest = 0;
    auto lines = WrapTaggedText(canvas, "Scan the registry now", limit + 11, 11, '[', ']', false, &widest);
    ASSERT_GE(lines.size(), 2u);
    std::string joined;
    for (const std::string& line : lines) {
        joined += line;
        EXPECT_LE(MeasureTaggedLine(canvas, line, 11, '[', ']'), limit) << line;
    }
    EXPECT_EQ(joined, "Scan the registry now");

    // A word wider than the limit is cut between characters, and the widest is the full width.
    lines = WrapTaggedText(canvas, "Supercalifragilistic", 11 + PlainWidth("Super") + 11, 11, '[', ']', false, &widest);
    EXPECT_GE(lines.size(), 3u);
    EXPECT_EQ(widest, 11 + PlainWidth("Super") + 11);

    // Narrower than one character: one character a line, and trailing blanks end too.
    lines = WrapTaggedText(canvas, "ab  ", 12, 11, '[', ']', false);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", " ", " "}));
}

namespace {

// Word wrap as the rule states it, one candidate measured at a time: the whole rest; while it is
// too wide, cut after its last blank (not the final character) or else drop its last character.
std::vector<std::string> WrapOneCandidateAtATime(TCanvas& canvas, const std::string& text, int width, int marginX,
                                                 char open, char close, bool plain, int& widest) {
    auto measured = [&](const std::string& line) {
        if (plain)
            return marginX + (line.empty() ? 0 : canvas.TextWidth(line));
        return MeasureTaggedLine(canvas, line, marginX, open, close);
    };
    std::vector<std::string> lines;
    widest = 0;
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find('\n', begin);
        std::string rest = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (!rest.empty() && rest.back() == '\r')
            rest.pop_back();
        do {
            std::string candidate = rest;
            while (measured(candidate) > width - marginX && candidate.size() > 1) {
                const size_t blank = candidate.find_last_of(' ', candidate.size() - 2);
                if (blank != std::string::npos) {
                    candidate.erase(blank + 1);
                } else {
                    candidate.pop_back();
                    widest = std::max(widest, width);
                }
            }
            widest = std::max(widest, measured(candidate));
            lines.push_back(candidate);
            rest.erase(0, candidate.size());
        } while (!rest.empty());
        if (end == std::string::npos)
            return lines;
        begin = end + 1;
    }
}

}  // namespace

TEST(BracketMarkup, LongWordIsCutWhereTheMeasuredWidthEnds) {
    TBitmap bitmap(1, 1);
    SetTestFont(bitmap.Canvas().Font());
    TCanvas& canvas = bitmap.Canvas();
    const std::string word = "Supercalifragilistic";
    const int limit = PlainWidth("Super");

    // Each line is the longest start of the rest no wider than the limit.
    std::vector<std::string> expected;
    for (std::string rest = word; !rest.empty();) {
        size_t length = rest.size();
        while (length > 1 && PlainWidth(rest.substr(0, length)) > limit)
            --length;
        expected.push_back(rest.substr(0, length));
        rest.erase(0, length);
    }
    ASSERT_GE(expected.size(), 3u);
    int widest = 0;
    EXPECT_EQ(WrapTaggedText(canvas, word, 11 + limit + 11, 11, '[', ']', false, &widest), expected);
    EXPECT_EQ(widest, 11 + limit + 11);

    // A blank ends a line before a long word; the word is then cut as above.
    EXPECT_EQ(WrapTaggedText(canvas, "Go " + word, 11 + limit + 11, 11, '[', ']', false),
              [&] {
                  std::vector<std::string> lines{"Go "};
                  lines.insert(lines.end(), expected.begin(), expected.end());
                  return lines;
              }());
}

TEST(BracketMarkup, WrapMatchesMeasuringEachCandidate) {
    TBitmap bitmap(1, 1);
    SetTestFont(bitmap.Canvas().Font());
    TCanvas& canvas = bitmap.Canvas();
    // Pieces that make tags whole, cut, stray, unknown and long, blanks in runs, and line ends.
    const std::vector<std::string> pieces{"a",    "W",     "iii",    " ",    "  ",  "[",  "]",    "[B]",
                                          "[I]",  "[]",    "[BLUE]", "[DEF]", "[NOTE]", "Wide", "\n", "[BI",
                                          "mm",   "\r\n", "|",      "|B|",  "[WIDEWIDEWIDEWIDE]", "Wrapping"};
    std::mt19937 random(20240531);
    for (int round = 0; round < 250; ++round) {
        std::string text;
        const size_t count = 1 + random() % 40;
        for (size_t i = 0; i < count; ++i)
            text += pieces[random() % pieces.size()];
        const int marginX = (round % 3) * 5;
        const int width = static_cast<int>(random() % 120);
        const bool plain = round % 7 == 0;
        // Now and then one character opens and closes a tag.
        const char open = round % 5 == 0 ? '|' : '[';
        const char close = round % 5 == 0 ? '|' : ']';
        int expectedWidest = 0;
        const auto expected = WrapOneCandidateAtATime(canvas, text, width, marginX, open, close, plain, expectedWidest);
        int widest = -1;
        EXPECT_EQ(WrapTaggedText(canvas, text, width, marginX, open, close, plain, &widest), expected)
            << "text \"" << text << "\" width " << width << " round " << round;
        EXPECT_EQ(widest, expectedWidest) << "text \"" << text << "\" width " << width << " round " << round;
    }
}

TEST(BracketMarkup, LongWordWrapsInLinearTime) {
    TBitmap bitmap(1, 1);
    SetTestFont(bitmap.Canvas().Font());
    TCanvas& canvas = bitmap.Canvas();
    std::string word;
    for (int i = 0; i < 10000; ++i)
        word += static_cast<char>('a' + i % 26);

    const auto started = std::chrono::steady_clock::now();
    int widest = 0;
    const auto lines = WrapTaggedText(canvas, word, 100, 0, '[', ']', false, &widest);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 100);

    std::string joined;
    for (const std::string& line : lines) {
        joined += line;
        EXPECT_LE(canvas.TextWidth(line), 100) << line;
    }
    EXPECT_EQ(joined, word);
    EXPECT_EQ(widest, 100);
    // Each line is as long as fits: one more character would not.
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_GT(canvas.TextWidth(lines[i] + lines[i + 1][0]), 100) << i;

    // The pop-up's whole layout and drawing of the same text.
    TFont font;
    SetTestFont(font);
    TBitmap popup;
    TTaggedTextParams params;
    params.Bitmap = &popup;
    params.Font = &font;
    params.Text = word;
    params.Width = 100;
    params.Flags = TRenderFlags{rfWordWrap, rfBox};
    const auto renderStarted = std::chrono::steady_clock::now();
    RenderTaggedText(params);
    const auto renderElapsed = std::chrono::steady_clock::now() - renderStarted;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(renderElapsed).count(), 100);
    EXPECT_EQ(popup.Height(), static_cast<int>(lines.size()) * LineHeight(popup.Canvas()));
}

// A run of tag characters in a pop-up narrower than one character: each cut is a line of its
// own. One character for both ends wraps about as fast as two different ones.
TEST(BracketMarkup, RunOfOneTagCharacterWrapsInLinearTime) {
    TBitmap bitmap(1, 1);
    SetTestFont(bitmap.Canvas().Font());
    TCanvas& canvas = bitmap.Canvas();
    const std::string run = std::string(600, '[') + "x";
    std::vector<std::string> lines;
    auto wrap = [&](char close) {
        const auto started = std::chrono::steady_clock::now();
        lines = WrapTaggedText(canvas, run, 20, 11, '[', close, false);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    };
    const auto different = wrap(']');
    EXPECT_EQ(lines.size(), run.size());
    const auto same = wrap('[');
    EXPECT_LT(same.count(), 250 + 10 * different.count()) << "different characters: " << different.count();
    // The lines are those of the rule applied one candidate at a time (on a shorter run).
    const std::string shorter = std::string(61, '[') + "x";
    int widest = 0;
    EXPECT_EQ(WrapTaggedText(canvas, shorter, 20, 11, '[', '[', false),
              WrapOneCandidateAtATime(canvas, shorter, 20, 11, '[', '[', false, widest));
}

TEST(BracketMarkup, PositionStaysOnTheScreenAndShadowIsCheckered) {
    TFont font;
    SetTestFont(font);
    TBitmap bitmap;
    TTaggedTextParams params = Params(bitmap, font, "Help text", 200);
    params.Flags = TRenderFlags{rfAdjustWidth, rfShadow, rfBox};
    params.ShadowColor = clRed;
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    TPoint position{screenWidth - 2, screenHeight - 2};
    params.Position = &position;
    RenderTaggedText(params);

    EXPECT_EQ(position.x, screenWidth - bitmap.Width());
    EXPECT_EQ(position.y, screenHeight - bitmap.Height() - 20);
    EXPECT_EQ(bitmap.Width(), 11 + PlainWidth("Help text") + 11 + 7);
    // The shadow: every other pixel of the bottom and right strips.
    const int w = bitmap.Width();
    const int h = bitmap.Height();
    auto red = [&](int x, int y) { return bitmap.Canvas().Pixels(x, y) == clRed; };
    EXPECT_NE(red(w - 2, h - 2), red(w - 2, h - 3));
    EXPECT_EQ(red(w - 2, h - 2), red(w - 3, h - 3));
    EXPECT_EQ(red(w - 2, h - 2), ((w + h) % 2) == 0);
    EXPECT_FALSE(red(2, h - 2) || red(3, h - 2));  // not before seven pixels in

    TTaggedTextParams none = Params(bitmap, font, "x", -1);
    RenderTaggedText(none);
    EXPECT_EQ(none.Size.cx, 0);
}

TEST(BracketMarkup, ClipboardAndSystemChecks) {
    ASSERT_TRUE(ClipboardSetText(CF_TEXT, "Run starts the scan"));
    ASSERT_TRUE(OpenClipboard(nullptr));
    HANDLE data = GetClipboardData(CF_TEXT);
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(static_cast<const char*>(GlobalLock(data)), "Run starts the scan");
    GlobalUnlock(data);
    CloseClipboard();
    EXPECT_FALSE(ClipboardSetText(0, "nothing"));

    // Every NT version is NT, also those newer than the numbered codes.
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExA(&info));
#pragma GCC diagnostic pop
    EXPECT_EQ(IsWinNT(), info.dwPlatformId == VER_PLATFORM_WIN32_NT);
    if (info.dwMajorVersion >= 6) {
        EXPECT_EQ(GetOSVersionCode(), 0);
    }
    EXPECT_TRUE(IsWinXPOrLater());

    EXPECT_EQ(LastPos("ab", "xabyab"), 5);
    EXPECT_EQ(LastPos("q", "xab"), 0);
    EXPECT_EQ(LastPos("", "xab"), 0);
}

class ControlLookup : public GuiTest {};

TEST_F(ControlLookup, DeepestVisibleWindowUnderAPoint) {
    TTestForm form;
    auto panel = form.Add<TPanel>(&form, 10, 10, 200, 150);
    auto inner = form.Add<TPanel>(panel, 20, 20, 80, 60);
    auto hidden = form.Add<TPanel>(panel, 120, 20, 60, 60);
    hidden->Hide();
    form.ShowForm();
    Application.ProcessMessages();

    EXPECT_EQ(ControlAtPos(inner->ClientToScreen(TPoint{5, 5}), true, false, false), inner);
    EXPECT_EQ(ControlAtPos(panel->ClientToScreen(TPoint{130, 30}), true, false, false), panel);
    EXPECT_EQ(ControlAtPos(panel->ClientToScreen(TPoint{5, 140}), true, false, false), panel);
    EXPECT_EQ(ControlAtPos(form.ClientToScreen(TPoint{300, 250}), true, false, false), &form);
    form.Hide();
}
