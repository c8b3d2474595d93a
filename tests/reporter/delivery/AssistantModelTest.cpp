// The assistant model: forms read from form streams and from the program's form resources.

#include "AssistantTestSupport.h"
#include "FormStream.h"  // beside the assistant reader: their names must not collide
#include "hxExceptSettingsStore.h"
#include "hxNVAssistant.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

using Microsoft::WRL::ComPtr;

// Found by name in the test program's own debug symbols: a handler that notes each action it
// is given, and a function that never returns and so does not have a handler's shape.
unsigned symbolHandlerActions = 0;
void SymbolNamedHandler(INVForm*, std::uint8_t action, INVItem*, IUnknown*)
{
    symbolHandlerActions |= 1u << action;
}
[[noreturn]] __attribute__((noinline, used)) void SymbolNamedNonHandler(INVForm*, std::uint8_t, INVItem*, IUnknown*)
{
    std::abort();
}

namespace {

// A form stream put together by hand.
std::string Short(const std::string& text)
{
    return std::string(1, static_cast<char>(text.size())) + text;
}
std::string TextProp(const std::string& name, const std::string& value)
{
    return Short(name) + '\x06' + Short(value);
}
std::string IntProp(const std::string& name, std::int32_t value)
{
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &value, 4);
    return Short(name) + '\x04' + bytes;
}
std::string BoolProp(const std::string& name, bool value)
{
    return Short(name) + (value ? '\x09' : '\x08');
}
std::string Object(const std::string& cls, const std::string& name, const std::string& props,
                   const std::string& children = {})
{
    return Short(cls) + Short(name) + props + '\0' + children + '\0';
}
std::string Stream(const std::string& props, const std::string& children = {})
{
    return "TPF0" + Object("TVQTestForm", "TestForm", props, children);
}

void CountingHandler(INVForm*, std::uint8_t, INVItem*, IUnknown*) {}
void OtherHandler(INVForm*, std::uint8_t, INVItem*, IUnknown*) {}

int boxes = 0;
std::string boxText;
int WINAPI CountBox(HWND, LPCSTR text, LPCSTR, UINT)
{
    ++boxes;
    boxText = text;
    return IDOK;
}

std::vector<std::string> Names(INVForm* form)
{
    std::vector<std::string> names;
    for (int i = 0; i < form->GetItemCount(); ++i)
        names.push_back(form->GetItem(i)->GetName());
    return names;
}

class AssistantModel : public ::testing::Test {
protected:
    void SetUp() override { SetBuiltInFormHandlers(&CountingHandler, &OtherHandler); }
    void TearDown() override { SetBuiltInFormHandlers(nullptr, nullptr); }

    TNVAssistantPtr Program(const std::vector<std::string>& forms)
    {
        return CreateAssistantFromResources(GetModuleHandleA(nullptr), "Send Assistant", forms, nullptr);
    }
};

}  // namespace

TEST_F(AssistantModel, ContactFormOfTheProgram)
{
    TNVAssistantPtr assistant = Program({"ContactForm", "DetailsForm", "ScrShotForm"});
    ASSERT_EQ(assistant->GetFormCount(), 3);
    EXPECT_EQ(assistant->GetForm(3), nullptr);
    TNVFormPtr form = assistant->GetForm(0);
    EXPECT_EQ(form->GetTitle(), "Send Assistant");
    EXPECT_EQ(form->GetMessageA(), "Contact Information");
    EXPECT_EQ(Names(form.Get()), (std::vector<std::string>{"ContinueBtn", "SkipBtn", "AbortBtn", "lblContactName",
                                                            "edtContactName", "lblEmail", "edtEmail",
                                                            "chkContactMe"}));
    EXPECT_EQ(form->ContinueBtn()->GetCaption(), "Continue");
    EXPECT_EQ(form->AbortBtn()->GetCaption(), "Abort");
    EXPECT_EQ(form->GetOnAction(), &CountingHandler);
    EXPECT_EQ(form->GetOwnerAssistant(), assistant.Get());

    ComPtr<INVEdit> name = form->FindEdit("edtContactName"), email = form->FindEdit("edtEmail");
    ASSERT_TRUE(name && email);
    EXPECT_TRUE(name->GetOptional());
    EXPECT_FALSE(email->GetOptional());
    EXPECT_EQ(name->GetOutputName(), "Contact Name");
    EXPECT_EQ(email->GetOutputName(), "Contact Email");
    EXPECT_FALSE(email->GetOwnSection());
    EXPECT_EQ(form->FindCheckBox("chkContactMe")->GetOutputName(), "Contact Me");
    // Names are exact; a label is no edit.
    EXPECT_EQ(form->FindEdit("EdtEmail"), nullptr);
    EXPECT_EQ(form->FindEdit("lblEmail"), nullptr);
    EXPECT_NE(form->FindLabel("lblEmail"), nullptr);

    TNVFormPtr details = assistant->GetForm(1);
    ComPtr<INVEdit> memo = details->FindEdit("mmoErrorDetails");
    ASSERT_TRUE(memo);
    EXPECT_EQ(memo->GetLines(), 9);
    EXPECT_TRUE(memo->GetOwnSection());
    EXPECT_EQ(memo->GetOutputName(), "Error Details");

    TNVFormPtr shot = assistant->GetForm(2);
    EXPECT_FALSE(shot->SkipBtn()->GetEnabled());
    EXPECT_EQ(shot->GetTimer(), 250);
    EXPECT_EQ(shot->GetOnAction(), &OtherHandler);
    ComPtr<INVImage> image = shot->FindImage("imgScreenShot");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->GetFile(), "");
    EXPECT_EQ(image->GetWidth(), 0);
    EXPECT_TRUE(image->GetClickable());
}

TEST_F(AssistantModel, MissingResourceGivesTheStandardButtonsOnly)
{
    TNVAssistantPtr assistant = Program({"NoSuchForm"});
    ASSERT_EQ(assistant->GetFormCount(), 1);
    EXPECT_EQ(Names(assistant->GetForm(0).Get()), (std::vector<std::string>{"ContinueBtn", "SkipBtn", "AbortBtn"}));
    EXPECT_EQ(CreateFormFromStream("", "t", nullptr)->GetItemCount(), 3);
    EXPECT_EQ(CreateFormFromStream("TPF", "t", nullptr)->GetItemCount(), 3);
}

TEST_F(AssistantModel, PropertiesAndTheirConversions)
{
    const std::string stream = Stream(
        TextProp("Message", "Hello") + IntProp("MinWidth", 400) + TextProp("ActiveControl", "memo") +
            TextProp("OnAction", "HXEXCEPT.handlecontactform") + TextProp("Unknown", "x"),
        Object("INVButton", "SkipBtn", TextProp("Caption", "Later") + TextProp("Enabled", "no")) +
            Object("INVEdit", "memo",
                   TextProp("Text", "a%LF%b%lf%") + IntProp("Lines", 2) + TextProp("OutputType", "nvoOwnSection") +
                       TextProp("Optional", "TRUE") + IntProp("Spacing", -3)) +
            Object("INVEdit", "line", TextProp("OutputType", "nvoOwnSection") + BoolProp("Optional", false)) +
            Object("INVButton", "continuebtn", TextProp("MinWidth", "12abc")) +
            Object("INVCheckBox", "check", TextProp("Text", "Tick") + TextProp("Checked", "Yes")) +
            Object("TUnknownThing", "odd", TextProp("Message", "Replaced")));
    TNVFormPtr form = CreateFormFromStream(stream, "Title", nullptr);
    EXPECT_EQ(form->GetMessageA(), "Replaced");  // unknown classes pass their properties to the form
    EXPECT_EQ(form->GetActiveControl(), "memo");
    EXPECT_EQ(form->GetOnAction(), &CountingHandler);
    EXPECT_EQ(form->SkipBtn()->GetCaption(), "Later");
    EXPECT_FALSE(form->SkipBtn()->GetEnabled());
    // The standard buttons are matched exactly: "continuebtn" is a new button.
    ComPtr<INVButton> extra = form->FindButton("continuebtn");
    ASSERT_TRUE(extra);
    EXPECT_EQ(extra->GetMinWidth(), 12);
    EXPECT_EQ(extra->GetCaption(), "continuebtn");

    ComPtr<INVEdit> memo = form->FindEdit("memo");
    EXPECT_EQ(memo->GetText(), "a\r\nb\r\n");
    EXPECT_TRUE(memo->GetOptional());
    EXPECT_TRUE(memo->GetOwnSection());
    EXPECT_EQ(memo->GetSpacing(), -3);
    memo->SetOwnSection(false);
    EXPECT_FALSE(memo->GetOwnSection());
    // A one-line edit takes no own section through the interface.
    ComPtr<INVEdit> line = form->FindEdit("line");
    line->SetOwnSection(true);
    EXPECT_FALSE(line->GetOwnSection());
    EXPECT_FALSE(line->GetOptional());
    ComPtr<INVCheckBox> check = form->FindCheckBox("check");
    EXPECT_EQ(check->GetCaption(), "Tick");
    EXPECT_TRUE(check->GetChecked());

    // The item ring runs in list order both ways.
    ComPtr<INVItemEx> first;
    form->GetItem(0)->QueryInterface(__uuidof(INVItemEx), reinterpret_cast<void**>(first.GetAddressOf()));
    TNVItem* item = first->GetSelf();
    EXPECT_EQ(item->Prev->Index, form->GetItemCount() - 1);
    for (int i = 0; i < form->GetItemCount(); ++i, item = item->Next)
        EXPECT_EQ(item->Index, i);
    EXPECT_EQ(item, first->GetSelf());
}

TEST_F(AssistantModel, HandlerNamesResolveThroughTheTable)
{
    EXPECT_EQ(ResolveAssistantHandler("hxExcept.HandleScreenshotForm"), &OtherHandler);
    EXPECT_EQ(ResolveAssistantHandler("hxexcept.handlecontactFORM"), &CountingHandler);
    EXPECT_EQ(ResolveAssistantHandler("Forms.Notify"), nullptr);
    RegisterAssistantHandler("Forms.Notify", &OtherHandler);
    EXPECT_EQ(ResolveAssistantHandler("forms.notify"), &OtherHandler);
    EXPECT_EQ(ResolveAssistantHandler("Notify"), &OtherHandler);
    EXPECT_EQ(ResolveAssistantHandler("Other.Notify"), nullptr);
    EXPECT_EQ(ResolveAssistantHandler(""), nullptr);
    RegisterAssistantHandler("Forms.Notify", nullptr);
    EXPECT_EQ(ResolveAssistantHandler("Forms.Notify"), nullptr);
    EXPECT_EQ(CreateFormFromStream(Stream(TextProp("OnAction", "Nowhere.Nothing")), "", nullptr)->GetOnAction(),
              nullptr);
}

TEST_F(AssistantModel, UnknownHandlerNamesAreLookedUpInTheProgramsSymbols)
{
    EXPECT_EQ(ResolveAssistantHandler("AssistantModelTest.SymbolNamedHandler"), &SymbolNamedHandler);
    EXPECT_EQ(ResolveAssistantHandler("assistantmodeltest.symbolnamedhandler"), &SymbolNamedHandler);
    // Another unit, no unit, a missing name, code of another shape.
    EXPECT_EQ(ResolveAssistantHandler("AssistantWindowTest.SymbolNamedHandler"), nullptr);
    EXPECT_EQ(ResolveAssistantHandler("SymbolNamedHandler"), nullptr);
    EXPECT_EQ(ResolveAssistantHandler("AssistantModelTest.NoSuchHandler"), nullptr);
    EXPECT_EQ(ResolveAssistantHandler("AssistantModelTest.SymbolNamedNonHandler"), nullptr);
    // The built-in names never fall through to the symbols.
    SetBuiltInFormHandlers(nullptr, nullptr);
    EXPECT_EQ(ResolveAssistantHandler("hxExcept.HandleContactForm"), nullptr);

    // A form naming it calls it as it is created, shown, clicked and closed.
    symbolHandlerActions = 0;
    TNVFormPtr form =
        CreateFormFromStream(Stream(TextProp("OnAction", "AssistantModelTest.SymbolNamedHandler")), "", nullptr);
    EXPECT_EQ(symbolHandlerActions, 1u << nvaCreated);
    TScript script({[&] { SendMessageA(Control(form.Get(), "ContinueBtn"), BM_CLICK, 0, 0); }});
    EXPECT_EQ(form->ShowModal(nullptr), 1);
    EXPECT_EQ(symbolHandlerActions, (1u << nvaCreated) | (1u << nvaShow) | (1u << nvaItemEvent) | (1u << nvaClose));
}

TEST_F(AssistantModel, BadStreamsStopReadingSafely)
{
    const THxMessageBoxProc previous = SetHxMessageBoxHook(&CountBox);
    boxes = 0;
    // A value type the reader does not know: one box, what was read before stays.
    const std::string bad = Stream(TextProp("Message", "Kept") + Short("Ratio") + '\x05' + std::string(10, '\x01') +
                                   TextProp("MinWidth", "999"));
    TNVFormPtr form = CreateFormFromStream(bad, "", nullptr);
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(boxText, "Internal error: Invalid assistant resource ($5).");
    EXPECT_EQ(form->GetMessageA(), "Kept");
    SetHxMessageBoxHook(previous);

    // Cut anywhere, the stream never reads past its end.
    const std::string good = Stream(TextProp("Message", "Whole"),
                                    Object("INVLabel", "label", TextProp("Caption", "A long caption")) +
                                        Object("INVEdit", "edit", IntProp("Lines", 3)));
    for (std::size_t length = 0; length < good.size(); ++length)
        EXPECT_LE(CreateFormFromStream(good.substr(0, length), "", nullptr)->GetItemCount(), 5);
    EXPECT_EQ(CreateFormFromStream(good, "", nullptr)->GetItemCount(), 5);

    // A long string whose length runs past the end.
    EXPECT_EQ(CreateFormFromStream(Stream(Short("Message") + '\x0c' + std::string("\xff\xff\xff\x7f", 4) + "abc"), "",
                                   nullptr)
                  ->GetMessageA(),
              "");

    // Deep nesting ends at the limit instead of running down the stack.
    std::string nested = Object("INVLabel", "deepest", "");
    for (int i = 0; i < 1000; ++i)
        nested = Object("INVLabel", "level", "", nested);
    TNVFormPtr deep = CreateFormFromStream(Stream("", nested), "", nullptr);
    EXPECT_LE(deep->GetItemCount(), 3 + kAssistantFormMaxNesting + 1);

    // A stream over the size limit is not read at all; one just under it is read whole.
    const std::string filler = TextProp("Message", std::string(250, 'x'));
    std::string fits;
    while (fits.size() + 2 * filler.size() < kMaxFormResource)
        fits += filler;
    EXPECT_EQ(CreateFormFromStream(Stream(fits + TextProp("Message", "Last")), "", nullptr)->GetMessageA(), "Last");
    EXPECT_EQ(CreateFormFromStream(Stream(fits + filler + filler + TextProp("Message", "Last")), "", nullptr)
                  ->GetMessageA(),
              "");
}

TEST_F(AssistantModel, ImagesFitTheirBitmapsOnceTheyHaveASize)
{
    TNVFormPtr form = CreateFormFromStream(
        Stream("", Object("INVImage", "sized",
                          IntProp("Width", 60) + IntProp("Height", 40) + BoolProp("Clickable", true) +
                              BoolProp("Border", true)) +
                       Object("INVImage", "free", "")),
        "", nullptr);
    ComPtr<INVImage> sized = form->FindImage("sized"), free = form->FindImage("free");
    EXPECT_EQ(sized->GetWidth(), 60);
    EXPECT_EQ(sized->GetHeight(), 40);
    // Without a size the bitmap is kept as it is.
    TNVBitmapPtr big = PlainBitmap(200, 100, RGB(10, 20, 30));
    ASSERT_TRUE(big);
    free->SetBitmap(big);
    EXPECT_EQ(free->GetBitmap(), big);
    // A sized image shrinks a larger bitmap into its free area (60 x 40 less 8 for frame and border).
    sized->SetBitmap(big);
    ASSERT_TRUE(sized->GetBitmap());
    EXPECT_LE(sized->GetBitmap()->GetWidth(), 52);
    EXPECT_LE(sized->GetBitmap()->GetHeight(), 32);
    EXPECT_GE(sized->GetBitmap()->GetWidth(), 50);
    TNVBitmapPtr small = PlainBitmap(10, 10, RGB(1, 2, 3));
    sized->SetBitmap(small);
    EXPECT_EQ(sized->GetBitmap(), small);
    sized->SetBitmap(nullptr);
    EXPECT_EQ(sized->GetBitmap(), nullptr);
}

TEST(AssistantTestBitmaps, PlainBitmapsHoldTheirColour)
{
    TNVBitmapPtr bitmap = PlainBitmap(40, 20, RGB(40, 120, 200));
    ASSERT_TRUE(bitmap);
    for (TNVBitmapPtr each : {bitmap, bitmap->Resize(10, 10)}) {
        ASSERT_TRUE(each);
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP target = CreateCompatibleBitmap(screen, 40, 20);
        HGDIOBJ old = SelectObject(dc, target);
        EXPECT_TRUE(each->Draw(dc, 0, 0));
        EXPECT_EQ(GetPixel(dc, 2, 2), RGB(40, 120, 200));
        SelectObject(dc, old);
        DeleteObject(target);
        DeleteDC(dc);
        ReleaseDC(nullptr, screen);
    }
}
