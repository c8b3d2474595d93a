#include "jsLinkImage.h"

#include "Forms.h"
#include "SysUtils.h"

namespace {

const char* const kPrefixes[] = {"file://", "ftp://",  "gopher://", "http://", "https://",
                                 "mailto:", "news:",   "telnet:",   "wais:"};
static_assert(std::size(kPrefixes) == std::size(TEnumTraits<tLinkType>::Names));

// Checked before anything is built, so a wrong owner leaves nothing behind.
TComponent* FormOwner(TComponent* owner) {
    if (owner && !dynamic_cast<TCustomForm*>(owner))
        throw EInvalidCast("Invalid class typecast");
    return owner;
}

}  // namespace

const TClassInfo& TjsLinkImage::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TjsLinkImage::HyperLink, &TjsLinkImage::SetHyperLink>("HyperLink"),
        Prop<&TjsLinkImage::LinkType, &TjsLinkImage::SetLinkType>("LinkType").WithDefault(lthttp),
    };
    static const TClassInfo info = MakeClassInfo<TjsLinkImage, TImage>("TjsLinkImage", props);
    return info;
}

TjsLinkImage::TjsLinkImage(TComponent* owner) : TImage(FormOwner(owner)) {
    SetParent(dynamic_cast<TCustomForm*>(owner));
    Font()->SetStyle(TFontStyles{fsUnderline});
    Font()->SetColor(static_cast<TColor>(0xFF0000));
    SetCursor(crHandPoint);
}

const char* TjsLinkImage::LinkPrefix(tLinkType type) {
    const auto index = static_cast<size_t>(type);
    return index < std::size(kPrefixes) ? kPrefixes[index] : "";
}

void TjsLinkImage::SetHyperLink(const std::string& value) {
    hyperLink_ = value;
    if (Hint().empty())
        SetHint(value);
    if (!Hint().empty())
        SetShowHint(true);
}

void TjsLinkImage::WndProc(TMessage& message) {
    if (message.Msg != WM_LBUTTONDOWN) {
        TImage::WndProc(message);
        return;
    }
    ShellOpen(Parent() ? Parent()->Handle() : nullptr, "Open", Url(), "", "", SW_SHOWNORMAL);
    message.Result = 0;
}
