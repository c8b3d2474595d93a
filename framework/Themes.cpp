#include "Themes.h"

#include <vector>

namespace {

template <class F>
void Bind(HMODULE library, const char* name, F& function) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

}  // namespace

TThemeServices::TThemeServices() : library_(LoadLibraryA("uxtheme.dll")) {
    if (!library_)
        return;
    Bind(library_, "IsThemeActive", isThemeActive_);
    Bind(library_, "IsAppThemed", isAppThemed_);
    Bind(library_, "OpenThemeData", openThemeData_);
    Bind(library_, "CloseThemeData", closeThemeData_);
    Bind(library_, "DrawThemeBackground", drawThemeBackground_);
    Bind(library_, "DrawThemeText", drawThemeText_);
    Bind(library_, "GetThemePartSize", getThemePartSize_);
    Bind(library_, "DrawThemeParentBackground", drawThemeParentBackground_);
    available_ = isThemeActive_ && isAppThemed_ && openThemeData_ && closeThemeData_ && drawThemeBackground_ &&
                 drawThemeText_ && getThemePartSize_ && drawThemeParentBackground_;
}

TThemeServices::~TThemeServices() {
    if (library_)
        FreeLibrary(library_);
}

bool TThemeServices::ThemesEnabled() const {
    return available_ && !disabledForTests_ && isThemeActive_() && isAppThemed_();
}

TThemeData TThemeServices::OpenThemeData(HWND window, const wchar_t* classList) const {
    if (!ThemesEnabled())
        return TThemeData();
    return TThemeData(openThemeData_(window, classList));
}

HRESULT TThemeServices::DrawThemeBackground(HTHEME theme, HDC dc, int part, int state, const RECT& rect,
                                            const RECT* clip) const {
    return available_ ? drawThemeBackground_(theme, dc, part, state, &rect, clip) : E_NOTIMPL;
}

HRESULT TThemeServices::DrawThemeText(HTHEME theme, HDC dc, int part, int state, const std::string& text,
                                      DWORD flags, const RECT& rect) const {
    if (!available_)
        return E_NOTIMPL;
    const std::wstring wide = Widen(text);
    return drawThemeText_(theme, dc, part, state, wide.c_str(), static_cast<int>(wide.size()), flags, 0, &rect);
}

HRESULT TThemeServices::GetThemePartSize(HTHEME theme, HDC dc, int part, int state, const RECT* rect,
                                         THEMESIZE kind, SIZE& size) const {
    return available_ ? getThemePartSize_(theme, dc, part, state, const_cast<RECT*>(rect), kind, &size)
                      : E_NOTIMPL;
}

HRESULT TThemeServices::DrawThemeParentBackground(HWND window, HDC dc, const RECT* rect) const {
    return available_ ? drawThemeParentBackground_(window, dc, const_cast<RECT*>(rect)) : E_NOTIMPL;
}

TThemeServices& ThemeServices() {
    static TThemeServices services;
    return services;
}

TThemeData& TThemeData::operator=(TThemeData&& other) noexcept {
    if (this != &other) {
        Close();
        theme_ = std::exchange(other.theme_, nullptr);
    }
    return *this;
}

void TThemeData::Close() {
    if (theme_)
        ThemeServices().closeThemeData_(std::exchange(theme_, nullptr));
}
