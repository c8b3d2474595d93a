// The assistant window driven by keyboard and mouse messages, its pictures, and the built-in
// contact and screenshot form handlers.

#include "AssistantTestSupport.h"
#include "GuiTestSupport.h"
#include "ScreenshotSupport.h"
#include "hxExceptAssistantForms.h"
#include "hxExceptBox.h"
#include "hxExceptHandling.h"
#include "hxExceptObject.h"
#include "hxExceptSave.h"
#include "hxExceptSupport.h"
#include "hxNVAssistant.h"
#include "hxNVAssistantWindow.h"

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

HWND FormWindow()
{
    return FindWindowA(kAssistantWindowClass, nullptr);
}

void Key(HWND window, WPARAM key)
{
    PostMessageA(window, WM_KEYDOWN, key, 1);
}

// Keys pressed together on the keyboard and let go in reverse: the system sends them to the
// focused window and keeps the thread's key state, as for a user.
void Press(std::initializer_list<WORD> keys)
{
    std::vector<INPUT> input;
    for (WORD key : keys) {
        INPUT down{};
        down.type = INPUT_KEYBOARD;
        down.ki.wVk = key;
        input.push_back(down);
    }
    for (auto key = std::rbegin(keys); key != std::rend(keys); ++key) {
        INPUT up{};
        up.type = INPUT_KEYBOARD;
        up.ki.wVk = *key;
        up.ki.dwFlags = KEYEVENTF_KEYUP;
        input.push_back(up);
    }
    SendInput(static_cast<UINT>(input.size()), input.data(), sizeof(INPUT));
}

// The mouse moved to a point of the window's client area.
void MoveMouseTo(HWND window, int x, int y)
{
    POINT p{x, y};
    ClientToScreen(window, &p);
    INPUT move{};
    move.type = INPUT_MOUSE;
    move.mi.dx = static_cast<LONG>((p.x * 65536 + 32768) / GetSystemMetrics(SM_CXSCREEN));
    move.mi.dy = static_cast<LONG>((p.y * 65536 + 32768) / GetSystemMetrics(SM_CYSCREEN));
    move.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &move, sizeof move);
}

void ClickAt(HWND window, int x, int y, int upX, int upY)
{
    PostMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    PostMessageA(window, WM_LBUTTONUP, 0, MAKELPARAM(upX, upY));
}

// Where the form placed one of its images.
RECT ImageBounds(const TNVFormPtr& form, const char* name)
{
    ComPtr<INVItemEx> item;
    form->FindImage(name)->QueryInterface(__uuidof(INVItemEx), reinterpret_cast<void**>(item.GetAddressOf()));
    return item->GetSelf()->Bounds;
}

// Presses and releases the mouse on the image's top left corner.
void ClickImage(const TNVFormPtr& form, const char* name)
{
    const RECT r = ImageBounds(form, name);
    ClickAt(FormWindow(), r.left + 4, r.top + 4, r.left + 4, r.top + 4);
}

COLORREF PixelAt(HWND window, int x, int y)
{
    HDC dc = GetDC(window);
    const COLORREF color = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return color;
}

// Every action the forms fire, as "action:item".
std::vector<std::string> actions;
void RecordAction(INVForm*, std::uint8_t action, INVItem* item, IUnknown*)
{
    actions.push_back(std::to_string(action) + ":" + (item ? item->GetName() : std::string()));
}

int editorStarts = 0, beeps = 0;
HANDLE editorProcess = nullptr;  // an event standing for the running editor
std::string editedFile;
bool StartFakeEditor(const std::string& file, HANDLE& process)
{
    ++editorStarts;
    editedFile = file;
    DuplicateHandle(GetCurrentProcess(), editorProcess, GetCurrentProcess(), &process, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return true;
}
bool FailToStartEditor(const std::string&, HANDLE&)
{
    ++editorStarts;
    return false;
}
void CountBeep()
{
    ++beeps;
}

int printedPages = 0;
BOOL WINAPI PrintIntoMemory(PRINTDLGA* params)
{
    params->hDC = CreateCompatibleDC(nullptr);
    return TRUE;
}
int WINAPI StartJob(HDC, const DOCINFOA*) { return 1; }
int WINAPI CountPage(HDC) { return ++printedPages; }
int WINAPI EndPart(HDC) { return 1; }
// The lines printed, one per line of the report.
std::string printedText;
int WINAPI PrintLine(HDC dc, LPCSTR text, int length, LPRECT rect, UINT format)
{
    if (!(format & DT_CALCRECT))
        printedText.append(text, static_cast<std::size_t>(length)).append("\n");
    return DrawTextA(dc, text, length, rect, format);
}

HWND ChildWithText(HWND parent, const std::string& text)
{
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char caption[256] = "";
        GetWindowTextA(child, caption, sizeof caption);
        if (text == caption)
            return child;
    }
    return nullptr;
}

bool Topmost(HWND window)
{
    return (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

const char* const kTestKey = "Software\\hivesweep-tests\\ContactForm";

class AssistantWindow : public guitest::GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        SetBuiltInFormHandlers(&HandleContactForm, &HandleScreenshotForm);
        previousKey_ = SetContactFormRegistryKey(kTestKey);
        previousEditor_ = SetEditImageHook(&StartFakeEditor);
        previousBeep_ = SetFailureBeepHook(&CountBeep);
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\hivesweep-tests");
        actions.clear();
        editorStarts = beeps = 0;
        editorProcess = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\hivesweep-tests");
        SetContactFormRegistryKey(previousKey_);
        SetEditImageHook(previousEditor_);
        SetFailureBeepHook(previousBeep_);
        SetBuiltInFormHandlers(nullptr, nullptr);
        CloseHandle(editorProcess);
        GuiTest::TearDown();
    }

    TNVAssistantPtr Program(const std::vector<std::string>& forms, IUnknown* context = nullptr)
    {
        return CreateAssistantFromResources(GetModuleHandleA(nullptr), "Send Assistant", forms, context);
    }

    TExceptionPtr NewException()
    {
        TExceptionParams params;
        params.Settings = NewSettings(GetModuleHandleA(nullptr));
        TExceptionPtr exception = NewExceptionObject(params);
        exception->SetPlWaitBox(false);
        return exception;
    }

private:
    std::string previousKey_;
    TEditImageProc previousEditor_ = nullptr;
    TFailureBeepProc previousBeep_ = nullptr;
};

}  // namespace

TEST(AssistantColors, FaceShiftsTurnAroundAtTheEnds)
{
    EXPECT_EQ(ShiftFaceColor(0x808080, 0x101010, true), 0x909090u);
    EXPECT_EQ(ShiftFaceColor(0x808080, 0x101010, false), 0x707070u);
    // Two channels at the cap: subtracted instead.
    EXPECT_EQ(ShiftFaceColor(0xF8F8F0, 0x101010, true), 0xE8E8E0u);
    EXPECT_EQ(ShiftFaceColor(0x000000, 0x080808, false), 0x080808u);
    EXPECT_EQ(LightFace(0x808080), 0xC0C0C0u);
    EXPECT_EQ(LightFace(0xFFFFFF), 0xFFFFFFu);
}

TEST_F(AssistantWindow, ContinueFollowsTheRequiredEditAndKeysMoveTheFocus)
{
    TNVAssistantPtr assistant = Program({"ContactForm", "DetailsForm", "ScrShotForm"});
    TNVFormPtr form = assistant->GetForm(0);
    form->SetOnAction(&RecordAction);
    HWND email = nullptr, name = nullptr, next = nullptr;
    TScript script({
        [&] {
            HWND window = FormWindow();
            ASSERT_TRUE(window);
            EXPECT_EQ(window, form->GetHandle());
            RECT client;
            GetClientRect(window, &client);
            EXPECT_GE(client.right, 315);
            email = Control(form.Get(), "edtEmail");
            name = Control(form.Get(), "edtContactName");
            next = Control(form.Get(), "ContinueBtn");
            EXPECT_FALSE(IsWindowEnabled(next));  // the required address is empty
            EXPECT_EQ(GetFocus(), name);          // the first focusable item after Abort
            char text[64] = "";
            GetWindowTextA(Control(form.Get(), "lblEmail"), text, sizeof text);
            EXPECT_STREQ(text, "Your e-mail address:");
            // The standard buttons stay clear of IDOK and IDCANCEL.
            EXPECT_GE(GetDlgCtrlID(next), 100);
            Key(name, VK_TAB);
        },
        [&] {
            EXPECT_EQ(GetFocus(), email);
            Key(email, VK_RETURN);  // moves on, does not end the form
        },
        [&] {
            EXPECT_EQ(GetFocus(), Control(form.Get(), "chkContactMe"));
            PostMessageA(GetFocus(), WM_KEYDOWN, VK_TAB, 1);
        },
        [&] {
            // Continue is locked, so the tab skips it to Skip.
            EXPECT_EQ(GetFocus(), Control(form.Get(), "SkipBtn"));
            guitest::SaveWindowScreenshot(FormWindow(), "AssistantContactEmpty");
            email = Control(form.Get(), "edtEmail");
            SetFocus(email);
            Type(email, "me@example.test");
        },
        [&] {
            EXPECT_TRUE(IsWindowEnabled(next));
            EXPECT_TRUE(form->FindEdit("edtEmail")->GetText() == "me@example.test");
            Type(name, "Ann");
            SendMessageA(Control(form.Get(), "chkContactMe"), BM_CLICK, 0, 0);
        },
        [&] {
            EXPECT_TRUE(form->FindCheckBox("chkContactMe")->GetChecked());
            guitest::SaveWindowScreenshot(FormWindow(), "AssistantContact");
            SendMessageA(next, BM_CLICK, 0, 0);
        },
        // The details form: Skip with a typed text keeps the text the form was built with.
        [&] {
            TNVFormPtr details = assistant->GetForm(1);
            HWND memo = Control(details.Get(), "mmoErrorDetails");
            ASSERT_TRUE(memo);
            EXPECT_EQ(GetFocus(), memo);  // its ActiveControl
            Type(memo, "It broke");
            Key(memo, VK_RETURN);  // a memo takes Enter itself
        },
        [&] {
            TNVFormPtr details = assistant->GetForm(1);
            EXPECT_EQ(GetFocus(), Control(details.Get(), "mmoErrorDetails"));
            guitest::SaveWindowScreenshot(FormWindow(), "AssistantDetails");
            SendMessageA(Control(details.Get(), "SkipBtn"), BM_CLICK, 0, 0);
        },
        // The screenshot form: Skip is off, Escape aborts.
        [&] {
            TNVFormPtr shot = assistant->GetForm(2);
            EXPECT_FALSE(IsWindowEnabled(Control(shot.Get(), "SkipBtn")));
            Key(GetFocus(), VK_ESCAPE);
        },
    });
    EXPECT_EQ(assistant->ShowModal(nullptr), 3);
    EXPECT_EQ(assistant->GetModalResult(), 3);
    EXPECT_EQ(form->GetModalResult(), 1);
    EXPECT_EQ(form->FindEdit("edtEmail")->GetText(), "me@example.test");
    EXPECT_EQ(form->FindEdit("edtContactName")->GetText(), "Ann");
    EXPECT_EQ(form->GetHandle(), nullptr);
    EXPECT_EQ(form->FindEdit("edtEmail")->GetHandle(), nullptr);
    EXPECT_EQ(assistant->GetForm(1)->GetModalResult(), 2);
    EXPECT_EQ(assistant->GetForm(1)->FindEdit("mmoErrorDetails")->GetText(), "");
    EXPECT_EQ(assistant->GetForm(2)->GetModalResult(), 3);
    // Shown, typed into, ticked, continued, closed.
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions.front(), "1:");
    EXPECT_NE(std::find(actions.begin(), actions.end(), "3:edtEmail"), actions.end());
    EXPECT_NE(std::find(actions.begin(), actions.end(), "3:chkContactMe"), actions.end());
    EXPECT_EQ(actions[actions.size() - 2], "3:ContinueBtn");
    EXPECT_EQ(actions.back(), "2:");
}

TEST_F(AssistantWindow, CloseBoxEndsTheFormAndTheAssistantGoesOn)
{
    TNVAssistantPtr assistant = Program({"DetailsForm", "DetailsForm", "DetailsForm"});
    TScript script({
        [&] {
            HWND window = FormWindow();
            // The marker sits under the current step's number: step 1 of 3.
            const int width = static_cast<TNVForm*>(assistant->GetForm(0).Get())->Width;
            const int marker = width - 29 - 2 * 19;
            EXPECT_EQ(PixelAt(window, marker, 12), GetSysColor(COLOR_BTNSHADOW));
            EXPECT_NE(PixelAt(window, marker + 2 * 19, 12), GetSysColor(COLOR_BTNSHADOW));
            guitest::SaveWindowScreenshot(window, "AssistantSteps");
            PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        },
        [&] {
            // Alt+F4 on the second form.
            PostMessageA(FormWindow(), WM_CLOSE, 0, 0);
        },
        [&] {
            TNVFormPtr last = assistant->GetForm(2);
            EXPECT_FALSE(IsWindowEnabled(Control(last.Get(), "ContinueBtn")));
            Type(Control(last.Get(), "mmoErrorDetails"), "text");
        },
        [&] {
            // The required memo filled in unlocks Continue; Enter on it ends the form.
            HWND next = Control(assistant->GetForm(2).Get(), "ContinueBtn");
            EXPECT_TRUE(IsWindowEnabled(next));
            SetFocus(next);
            Key(next, VK_RETURN);
        },
    });
    HWND parent = CreateWindowExA(0, "Static", "parent", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                                  nullptr);
    EXPECT_EQ(assistant->ShowModal(parent), 1);
    EXPECT_TRUE(IsWindowEnabled(parent));
    DestroyWindow(parent);
    EXPECT_EQ(assistant->GetForm(0)->GetModalResult(), 0);
    EXPECT_EQ(assistant->GetForm(1)->GetModalResult(), 0);
    EXPECT_EQ(assistant->GetForm(2)->GetModalResult(), 1);
}

// The contact handler knows its items by the names "NameEdit", "EmailEdit" and "MemCheck" only.
TEST_F(AssistantWindow, ContactValuesRoundTripThroughTheRegistryOnAFormWithTheHandlersNames)
{
    TExceptionPtr exception = NewException();
    {
        TNVAssistantPtr assistant = Program({"MemContactForm"}, exception.Get());
        TNVFormPtr form = assistant->GetForm(0);
        EXPECT_EQ(form->FindEdit("NameEdit")->GetText(), "");  // nothing remembered yet
        ASSERT_TRUE(form->FindCheckBox("MemCheck"));
        EXPECT_FALSE(form->FindCheckBox("MemCheck")->GetChecked());
        form->FindEdit("NameEdit")->SetText("Ann <Admin>");
        form->FindEdit("EmailEdit")->SetText("ann@example.test");
        form->FindCheckBox("MemCheck")->SetChecked(true);
        TScript script({[&] { SendMessageA(Control(form.Get(), "ContinueBtn"), BM_CLICK, 0, 0); }});
        EXPECT_EQ(assistant->ShowModal(nullptr), 1);
    }
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kTestKey, "RememberName"), "Ann Admin");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kTestKey, "RememberEmail"), "ann@example.test");
    EXPECT_EQ(exception->GetMailFrom(), "Ann Admin <ann@example.test>");
    // What is read back is cleaned as well.
    RegWriteString(HKEY_CURRENT_USER, kTestKey, "RememberName", "Bob\r\nBcc: <eve>");

    // The next run starts with them, the check ticked and Continue focused.
    TNVAssistantPtr assistant = Program({"MemContactForm"}, exception.Get());
    TNVFormPtr form = assistant->GetForm(0);
    EXPECT_EQ(form->FindEdit("NameEdit")->GetText(), "BobBcc: eve");
    EXPECT_EQ(form->FindEdit("EmailEdit")->GetText(), "ann@example.test");
    EXPECT_TRUE(form->FindCheckBox("MemCheck")->GetChecked());
    EXPECT_EQ(form->GetActiveControl(), "ContinueBtn");
    TScript script({
        [&] {
            EXPECT_EQ(GetFocus(), Control(form.Get(), "ContinueBtn"));
            SendMessageA(Control(form.Get(), "MemCheck"), BM_CLICK, 0, 0);
        },
        [&] {
            // Skip stores nothing and removes nothing.
            SendMessageA(Control(form.Get(), "SkipBtn"), BM_CLICK, 0, 0);
        },
    });
    EXPECT_EQ(assistant->ShowModal(nullptr), 1);
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kTestKey, "RememberName"), "Bob\r\nBcc: <eve>");
    // Shown again and continued unticked: the values go.
    TScript again({[&] { SendMessageA(Control(form.Get(), "ContinueBtn"), BM_CLICK, 0, 0); }});
    EXPECT_EQ(form->ShowModal(nullptr), 1);
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kTestKey, "RememberName"), "");
    EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kTestKey, "RememberEmail"), "");
}

// This program's contact form names its items otherwise: the contact handler pre-fills nothing,
// stores and removes nothing, and leaves the sender as it was, whether "Contact Me" is ticked or not.
TEST_F(AssistantWindow, TheProgramsContactFormLeavesTheRegistryAndTheSenderAlone)
{
    TExceptionPtr exception = NewException();
    exception->SetMailFrom("sender@example.test");
    auto run = [&](bool contactMe) {
        TNVAssistantPtr assistant = Program({"ContactForm"}, exception.Get());
        TNVFormPtr form = assistant->GetForm(0);
        EXPECT_EQ(form->FindEdit("edtContactName")->GetText(), "");
        EXPECT_EQ(form->FindEdit("edtEmail")->GetText(), "");
        EXPECT_FALSE(form->FindCheckBox("chkContactMe")->GetChecked());
        EXPECT_EQ(form->GetActiveControl(), "");
        TScript script({
            [&] {
                // Not on the locked Continue button: the keys go to the first edit.
                EXPECT_EQ(GetFocus(), Control(form.Get(), "edtContactName"));
                Type(Control(form.Get(), "edtContactName"), "Ann Smith");
                Type(Control(form.Get(), "edtEmail"), "ann@example.test");
                if (contactMe)
                    SendMessageA(Control(form.Get(), "chkContactMe"), BM_CLICK, 0, 0);
            },
            [&] { SendMessageA(Control(form.Get(), "ContinueBtn"), BM_CLICK, 0, 0); },
        });
        EXPECT_EQ(assistant->ShowModal(nullptr), 1);
        EXPECT_EQ(form->FindEdit("edtEmail")->GetText(), "ann@example.test");
        EXPECT_EQ(form->FindCheckBox("chkContactMe")->GetChecked(), contactMe);
        EXPECT_EQ(exception->GetMailFrom(), "sender@example.test");
    };
    auto keyExists = [] {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    };
    for (bool contactMe : {true, false}) {
        run(contactMe);
        EXPECT_FALSE(keyExists()) << contactMe;
    }
    // Values remembered through another form stay unread and in place.
    RegWriteString(HKEY_CURRENT_USER, kTestKey, "RememberName", "Bob");
    RegWriteString(HKEY_CURRENT_USER, kTestKey, "RememberEmail", "bob@example.test");
    for (bool contactMe : {true, false}) {
        run(contactMe);
        EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kTestKey, "RememberName"), "Bob") << contactMe;
        EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, kTestKey, "RememberEmail"), "bob@example.test") << contactMe;
    }
}

TEST_F(AssistantWindow, TheScreenshotIsShownEditedAndReloaded)
{
    TExceptionPtr exception = NewException();
    exception->SetScreenShot(PlainBitmap(640, 400, RGB(40, 120, 200)));
    exception->SetAttachScreenShot(false);
    TNVAssistantPtr assistant = Program({"ScrShotForm"}, exception.Get());
    TNVFormPtr form = assistant->GetForm(0);
    ComPtr<INVImage> image = form->FindImage("imgScreenShot");
    EXPECT_FALSE(form->FindCheckBox("chkImageAttached")->GetChecked());
    std::string path;
    ASSERT_TRUE(ScreenshotBitmapFileName(path));
    auto imageCentre = [&] {
        const RECT r = ImageBounds(form, "imgScreenShot");
        return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    };
    TScript script({
        [&] {
            ASSERT_TRUE(image->GetBitmap());
            EXPECT_LE(image->GetWidth(), static_cast<TNVForm*>(form.Get())->Width - 42);
            const POINT c = imageCentre();
            EXPECT_EQ(PixelAt(FormWindow(), c.x, c.y), RGB(40, 120, 200));
            guitest::SaveWindowScreenshot(FormWindow(), "AssistantScreenshot");
            ClickAt(FormWindow(), c.x, c.y, 2, 2);  // released elsewhere: nothing
        },
        [&] {
            EXPECT_EQ(editorStarts, 0);
            const POINT c = imageCentre();
            ClickAt(FormWindow(), c.x, c.y, c.x, c.y);
            ClickAt(FormWindow(), c.x, c.y, c.x, c.y);  // the editor still runs: no second one
        },
        [&] {
            EXPECT_EQ(editorStarts, 1);
            EXPECT_EQ(editedFile, path);
            EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
            // The "editor" saves a new picture two seconds later (DOS times are two-second steps).
            WritePlainBmp(path, 50, 30, RGB(200, 30, 30));
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
            ticks.QuadPart += 40000000;
            const FILETIME later{ticks.LowPart, ticks.HighPart};
            HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            SetFileTime(file, nullptr, nullptr, &later);
            CloseHandle(file);
            PostMessageA(FormWindow(), WM_TIMER, kAssistantTimerId, 0);
        },
        [&] {
            EXPECT_EQ(exception->GetScreenShot()->GetWidth(), 50);
            EXPECT_EQ(image->GetBitmap()->GetWidth(), 50);
            // The editor ended: a click opens it again.
            SetEvent(editorProcess);
            const POINT c = imageCentre();
            ClickAt(FormWindow(), c.x, c.y, c.x, c.y);
        },
        [&] {
            EXPECT_EQ(editorStarts, 2);
            SendMessageA(Control(form.Get(), "chkImageAttached"), BM_CLICK, 0, 0);
            SendMessageA(Control(form.Get(), "ContinueBtn"), BM_CLICK, 0, 0);
        },
    });
    EXPECT_EQ(assistant->ShowModal(nullptr), 1);
    EXPECT_TRUE(exception->GetAttachScreenShot());
    // Leaving removes the bitmap even while the editor runs.
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(AssistantWindow, AFormClosedWhileEditingLeavesNothingBehind)
{
    TExceptionPtr exception = NewException();
    exception->SetScreenShot(PlainBitmap(100, 80, RGB(0, 0, 0)));
    std::string path;
    ASSERT_TRUE(ScreenshotBitmapFileName(path));
    {
        TNVAssistantPtr assistant = Program({"ScrShotForm"}, exception.Get());
        TNVFormPtr form = assistant->GetForm(0);
        TScript script({
            [&] { ClickImage(form, "imgScreenShot"); },
            [&] { PostMessageA(FormWindow(), WM_CLOSE, 0, 0); },
        });
        EXPECT_EQ(assistant->ShowModal(nullptr), 1);
        EXPECT_EQ(editorStarts, 1);
        EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    // The next screenshot form clears what the closed one left.
    TNVAssistantPtr next = Program({"ScrShotForm"}, exception.Get());
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(AssistantWindow, AFailedEditorStartBeeps)
{
    SetEditImageHook(&FailToStartEditor);
    TExceptionPtr exception = NewException();
    exception->SetScreenShot(PlainBitmap(100, 80, RGB(0, 0, 0)));
    TNVAssistantPtr assistant = Program({"ScrShotForm"}, exception.Get());
    TNVFormPtr form = assistant->GetForm(0);
    TScript script({
        [&] { ClickImage(form, "imgScreenShot"); },
        [&] { Key(GetFocus(), VK_ESCAPE); },
    });
    EXPECT_EQ(assistant->ShowModal(nullptr), 3);
    EXPECT_EQ(editorStarts, 1);
    EXPECT_EQ(beeps, 1);
    // Without an exception the handlers do nothing: no editor, no beep.
    HandleScreenshotForm(form.Get(), nvaItemEvent, nullptr, nullptr);
    HandleContactForm(nullptr, nvaCreated, nullptr, nullptr);
    EXPECT_EQ(editorStarts, 1);
    EXPECT_EQ(beeps, 1);
}

TEST_F(AssistantWindow, SettingsBuildAssistantsAndKeepTheirEntries)
{
    const THxAssistantServices services = AssistantServices();
    ASSERT_TRUE(services.build && services.forEachItem);
    ComPtr<IUnknown> object = services.build(GetModuleHandleA(nullptr), "Save Assistant", {"ContactForm", "DetailsForm"},
                                             nullptr);
    ComPtr<INVAssistant> assistant;
    ASSERT_TRUE(SUCCEEDED(object.As(&assistant)));
    std::vector<std::string> seen;
    services.forEachItem(object.Get(), false, [&](THxAssistantItem& item) {
        seen.push_back(item.name);
        if (item.isCheckBox)
            item.checked = true;
        else
            item.text = "set " + item.name;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"edtContactName", "edtEmail", "chkContactMe", "mmoErrorDetails"}));
    EXPECT_EQ(assistant->GetForm(1)->FindEdit("mmoErrorDetails")->GetText(), "set mmoErrorDetails");
    EXPECT_TRUE(assistant->GetForm(0)->FindCheckBox("chkContactMe")->GetChecked());
    seen.clear();
    services.forEachItem(object.Get(), true, [&](THxAssistantItem& item) { seen.push_back(item.name); });
    EXPECT_TRUE(seen.empty());  // no form was passed yet

    TScript script({
        [&] { SendMessageA(Control(assistant->GetForm(0).Get(), "ContinueBtn"), BM_CLICK, 0, 0); },
        [&] { SendMessageA(Control(assistant->GetForm(1).Get(), "AbortBtn"), BM_CLICK, 0, 0); },
    });
    TExceptionPtr exception = NewException();
    EXPECT_FALSE(RunAssistant(object.Get(), nullptr, exception.Get()));
    services.forEachItem(object.Get(), true, [&](THxAssistantItem& item) { seen.push_back(item.name); });
    EXPECT_EQ(seen, (std::vector<std::string>{"edtContactName", "edtEmail", "chkContactMe"}));
}

TEST_F(AssistantWindow, WhatIsTypedGoesIntoTheReport)
{
    TExceptionPtr exception = NewException();
    exception->SetMailFrom("sender@example.test");
    TNVAssistantPtr assistant = Program({"ContactForm", "DetailsForm"}, exception.Get());
    // Forms that were never passed give the report nothing.
    ApplyAssistantOutputs(assistant.Get(), exception.Get());
    EXPECT_LT(exception->GetBugReportHeader()->IndexOf("Contact Me"), 0);

    TScript script({
        [&] {
            TNVFormPtr contact = assistant->GetForm(0);
            Type(Control(contact.Get(), "edtContactName"), "Ann  Smith");
            Type(Control(contact.Get(), "edtEmail"), "ann@example.test");
            SendMessageA(Control(contact.Get(), "chkContactMe"), BM_CLICK, 0, 0);
        },
        [&] { SendMessageA(Control(assistant->GetForm(0).Get(), "ContinueBtn"), BM_CLICK, 0, 0); },
        [&] { Type(Control(assistant->GetForm(1).Get(), "mmoErrorDetails"), "It broke\rwhen I pressed  Delete."); },
        [&] { SendMessageA(Control(assistant->GetForm(1).Get(), "ContinueBtn"), BM_CLICK, 0, 0); },
    });
    EXPECT_TRUE(RunAssistant(assistant.Get(), nullptr, exception.Get()));
    const std::string report = exception->GetBugReport();
    // Header lines after the computed ones, and the details as the last section.
    EXPECT_LT(report.find("hxExcept version"), report.find("Contact Name"));
    EXPECT_TRUE(std::regex_search(report, std::regex("\r\nContact Name +: Ann Smith\r\n"
                                                     "Contact Email +: ann@example.test\r\n"
                                                     "Contact Me +: yes(\r\n|$)")))
        << report;
    const std::string details = "\r\n\r\nError Details:\r\nIt broke\r\nwhen I pressed  Delete.";
    ASSERT_GE(report.size(), details.size());
    EXPECT_EQ(report.substr(report.size() - details.size()), details) << report;
    // The typed address goes into the report, not into the sender.
    EXPECT_EQ(exception->GetMailFrom(), "sender@example.test");

    // Shown again: an emptied memo takes its section away, a skipped form leaves its lines.
    TScript again({
        [&] { SendMessageA(Control(assistant->GetForm(0).Get(), "SkipBtn"), BM_CLICK, 0, 0); },
        // Blanks only: the memo lets Continue go, the report takes no empty section.
        [&] { SetWindowTextA(Control(assistant->GetForm(1).Get(), "mmoErrorDetails"), " "); },
        [&] { SendMessageA(Control(assistant->GetForm(1).Get(), "ContinueBtn"), BM_CLICK, 0, 0); },
    });
    EXPECT_TRUE(RunAssistant(assistant.Get(), nullptr, exception.Get()));
    const std::string second = exception->GetBugReport();
    EXPECT_EQ(second.find("Error Details"), std::string::npos) << second;
    EXPECT_NE(second.find("Contact Me"), std::string::npos);
}

TEST_F(AssistantWindow, ShiftTabWalksBackAndEscapeNeedsAnEnabledAbort)
{
    TNVAssistantPtr assistant = Program({"ContactForm", "DetailsForm"});
    TNVFormPtr contact = assistant->GetForm(0);
    TNVFormPtr details = assistant->GetForm(1);
    details->AbortBtn()->SetEnabled(false);
    TScript script({
        [&] {
            EXPECT_EQ(GetFocus(), Control(contact.Get(), "edtContactName"));
            Press({VK_SHIFT, VK_TAB});
        },
        [&] {
            EXPECT_EQ(GetFocus(), Control(contact.Get(), "AbortBtn"));
            Press({VK_SHIFT, VK_TAB});
        },
        [&] {
            EXPECT_EQ(GetFocus(), Control(contact.Get(), "SkipBtn"));
            Press({VK_SHIFT, VK_TAB});
        },
        [&] {
            // Continue is locked: the walk back passes it.
            EXPECT_EQ(GetFocus(), Control(contact.Get(), "chkContactMe"));
            Press({VK_TAB});
        },
        [&] {
            EXPECT_EQ(GetFocus(), Control(contact.Get(), "SkipBtn"));
            SendMessageA(GetFocus(), BM_CLICK, 0, 0);
        },
        // Abort is off: Escape in the memo and on a button leaves the form up.
        [&] {
            EXPECT_EQ(GetFocus(), Control(details.Get(), "mmoErrorDetails"));
            Press({VK_ESCAPE});
        },
        [&] {
            EXPECT_EQ(FormWindow(), details->GetHandle());
            SetFocus(Control(details.Get(), "SkipBtn"));
            Press({VK_ESCAPE});
        },
        [&] {
            EXPECT_EQ(FormWindow(), details->GetHandle());
            SendMessageA(Control(details.Get(), "SkipBtn"), BM_CLICK, 0, 0);
        },
    });
    EXPECT_EQ(assistant->ShowModal(nullptr), 1);
    EXPECT_EQ(contact->GetModalResult(), 2);
    EXPECT_EQ(details->GetModalResult(), 2);
}

TEST_F(AssistantWindow, TheHandShowsOverAClickableImageOfAnEnabledForm)
{
    TExceptionPtr exception = NewException();
    exception->SetScreenShot(PlainBitmap(200, 120, RGB(0, 90, 0)));
    TNVAssistantPtr assistant = Program({"ScrShotForm"}, exception.Get());
    TNVFormPtr form = assistant->GetForm(0);
    HCURSOR hand = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_HAND));
    HCURSOR arrow = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    auto overImage = [&] {
        const RECT r = ImageBounds(form, "imgScreenShot");
        MoveMouseTo(FormWindow(), (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    };
    TScript script({
        [&] { overImage(); },
        [&] {
            EXPECT_EQ(GetCursor(), hand);
            MoveMouseTo(FormWindow(), 4, 4);
        },
        [&] {
            EXPECT_EQ(GetCursor(), arrow);
            EnableWindow(FormWindow(), FALSE);
            overImage();
        },
        [&] {
            EXPECT_NE(GetCursor(), hand);
            EnableWindow(FormWindow(), TRUE);
            SendMessageA(Control(form.Get(), "ContinueBtn"), BM_CLICK, 0, 0);
        },
    });
    EXPECT_EQ(assistant->ShowModal(nullptr), 1);
}

TEST_F(AssistantWindow, ThePrintAssistantComesBeforePrintingAndItsEntriesArePrinted)
{
    const THandlingServices savedServices = HandlingServices();
    THandlingServices services;
    services.CreateExceptionBox = &CreateExceptionBox;
    services.RunAssistant = &RunAssistant;
    SetHandlingServices(services);
    SetHxAssistantServices(AssistantServices());
    const TPrintDialogProc savedDialog = SetPrintDialogHook(&PrintIntoMemory);
    const THxPrintJobProcs savedJob = SetPrintJobHook({&StartJob, &CountPage, &EndPart, &EndPart, &PrintLine});
    printedPages = 0;
    printedText.clear();

    TExceptionPtr exception = NewException();
    exception->SetPrintBtnVis(true);
    HWND box = nullptr;
    // The control of an item of the form showing, by the item's place in the program's form.
    auto item = [&](const char* formName, const char* name) -> HWND {
        TNVFormPtr model = Program({formName})->GetForm(0);
        for (int i = 0; i < model->GetItemCount(); ++i)
            if (model->GetItem(i)->GetName() == name)
                return GetDlgItem(FormWindow(), kFirstItemId + i);
        return nullptr;
    };
    TScript script({
        [&] {
            box = FindWindowA(ExceptionBoxClassName, nullptr);
            ASSERT_TRUE(box);
            EXPECT_TRUE(Topmost(box));
            // Posted: the click runs the assistant's own loop.
            PostMessageA(ChildWithText(box, exception->GetPrintBtnTxt()), BM_CLICK, 0, 0);
        },
        [&] {
            ASSERT_TRUE(FormWindow());
            char title[64] = "";
            GetWindowTextA(FormWindow(), title, sizeof title);
            EXPECT_STREQ(title, "Print Assistant");
            EXPECT_EQ(GetWindow(FormWindow(), GW_OWNER), box);
            EXPECT_FALSE(IsWindowEnabled(box));
            EXPECT_FALSE(Topmost(box));  // the box steps back while the assistant is up
            EXPECT_EQ(printedPages, 0);
            Type(item("ContactForm", "edtContactName"), "Ann");
            Type(item("ContactForm", "edtEmail"), "ann@example.test");
        },
        [&] {
            guitest::SaveWindowScreenshot(FormWindow(), "AssistantPrint");
            SendMessageA(item("ContactForm", "ContinueBtn"), BM_CLICK, 0, 0);
        },
        [&] {
            Type(item("DetailsForm", "mmoErrorDetails"), "Printing failed");
        },
        [&] { SendMessageA(item("DetailsForm", "ContinueBtn"), BM_CLICK, 0, 0); },
        [&] {
        },
        [&] {
            // Passed: the report with the entries was printed, the box is back on top.
            EXPECT_FALSE(FormWindow());
            EXPECT_GE(printedPages, 1);
            EXPECT_TRUE(std::regex_search(printedText, std::regex("\nContact Name +: Ann\n"))) << printedText;
            EXPECT_NE(printedText.find("\nError Details:\nPrinting failed\n"), std::string::npos) << printedText;
            EXPECT_NE(printedText.find(exception->GetBugReport().substr(0, 20)), std::string::npos);
            EXPECT_TRUE(IsWindowEnabled(box));
            EXPECT_TRUE(Topmost(box));
            printedPages = 0;
            PostMessageA(ChildWithText(box, exception->GetPrintBtnTxt()), BM_CLICK, 0, 0);
        },
        [&] {
            // Remembered from the first run; aborted, nothing is printed.
            ASSERT_TRUE(FormWindow());
            char name[64] = "";
            GetWindowTextA(item("ContactForm", "edtContactName"), name, sizeof name);
            EXPECT_STREQ(name, "Ann");
            SendMessageA(item("ContactForm", "AbortBtn"), BM_CLICK, 0, 0);
        },
        [&] {
            EXPECT_FALSE(FormWindow());
            EXPECT_EQ(printedPages, 0);
            PostMessageA(ChildWithText(box, exception->GetContinueBtnTxt()), BM_CLICK, 0, 0);
        },
    });
    EXPECT_EQ(RunExceptionBox(0, false, exception.Get()), 1);
    SetPrintJobHook(savedJob);
    SetPrintDialogHook(savedDialog);
    SetHxAssistantServices({});
    SetHandlingServices(savedServices);
    const std::string report = exception->GetBugReport();
    EXPECT_TRUE(std::regex_search(report, std::regex("\r\nContact Name +: Ann\r\n"))) << report;
    EXPECT_NE(report.find("\r\nError Details:\r\nPrinting failed"), std::string::npos) << report;
}
