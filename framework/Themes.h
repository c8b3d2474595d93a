#pragma once

// Visual theme services, taken from uxtheme.dll at run time so that the program also
// runs where the library is missing. Drawing code asks ThemeServices().ThemesEnabled()
// and falls back to the classic look when it is false.

#include "Handles.h"

#include <uxtheme.h>

#include <atomic>
#include <string>

class TThemeData;

class TThemeServices {
public:
    TThemeServices();
    TThemeServices(const TThemeServices&) = delete;
    TThemeServices& operator=(const TThemeServices&) = delete;
    ~TThemeServices();

    // The library and all its functions were found.
    bool Available() const { return available_; }
    // Available, themes active for the user and this application, and not switched off.
    bool ThemesEnabled() const;
    // Forces the classic look in this process.
    void SetThemesDisabledForTests(bool disabled) { disabledForTests_ = disabled; }

    // Empty when themes are not enabled or the class list has no theme.
    TThemeData OpenThemeData(HWND window, const wchar_t* classList) const;
    // Each returns E_NOTIMPL when the library is not available.
    HRESULT DrawThemeBackground(HTHEME theme, HDC dc, int part, int state, const RECT& rect,
                                const RECT* clip = nullptr) const;
    HRESULT DrawThemeText(HTHEME theme, HDC dc, int part, int state, const std::string& text, DWORD flags,
                          const RECT& rect) const;
    HRESULT GetThemePartSize(HTHEME theme, HDC dc, int part, int state, const RECT* rect, THEMESIZE kind,
                             SIZE& size) const;
    HRESULT DrawThemeParentBackground(HWND window, HDC dc, const RECT* rect) const;

private:
    friend class TThemeData;

    HMODULE library_ = nullptr;
    bool available_ = false;
    std::atomic<bool> disabledForTests_{false};
    decltype(&::IsThemeActive) isThemeActive_ = nullptr;
    decltype(&::IsAppThemed) isAppThemed_ = nullptr;
    decltype(&::OpenThemeData) openThemeData_ = nullptr;
    decltype(&::CloseThemeData) closeThemeData_ = nullptr;
    decltype(&::DrawThemeBackground) drawThemeBackground_ = nullptr;
    decltype(&::DrawThemeText) drawThemeText_ = nullptr;
    decltype(&::GetThemePartSize) getThemePartSize_ = nullptr;
    decltype(&::DrawThemeParentBackground) drawThemeParentBackground_ = nullptr;
};

// The process's theme services, loaded on first use.
TThemeServices& ThemeServices();

// An open theme handle, closed through the theme services.
class TThemeData {
public:
    TThemeData() = default;
    explicit TThemeData(HTHEME theme) : theme_(theme) {}
    TThemeData(const TThemeData&) = delete;
    TThemeData& operator=(const TThemeData&) = delete;
    TThemeData(TThemeData&& other) noexcept : theme_(std::exchange(other.theme_, nullptr)) {}
    TThemeData& operator=(TThemeData&& other) noexcept;
    ~TThemeData() { Close(); }

    HTHEME Get() const { return theme_; }
    explicit operator bool() const { return theme_ != nullptr; }

private:
    void Close();

    HTHEME theme_ = nullptr;
};
