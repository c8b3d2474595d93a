#pragma once

// Move-only owners of system handles, and scope guards. Copying is deleted, so early returns
// never leak.

#include <windows.h>

#include <utility>

template <class Handle, class Traits>
class TUniqueResource {
public:
    TUniqueResource() = default;
    explicit TUniqueResource(Handle handle) : handle_(handle) {}
    TUniqueResource(const TUniqueResource&) = delete;
    TUniqueResource& operator=(const TUniqueResource&) = delete;
    TUniqueResource(TUniqueResource&& other) noexcept : handle_(other.Release()) {}
    TUniqueResource& operator=(TUniqueResource&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    ~TUniqueResource() { Reset(); }

    Handle Get() const { return handle_; }
    bool Valid() const { return Traits::Valid(handle_); }
    explicit operator bool() const { return Valid(); }

    Handle Release() { return std::exchange(handle_, Traits::Invalid()); }
    void Reset(Handle handle = Traits::Invalid()) {
        Handle old = std::exchange(handle_, handle);
        if (Traits::Valid(old))
            Traits::Close(old);
    }

private:
    Handle handle_ = Traits::Invalid();
};

struct TKernelHandleTraits {
    static HANDLE Invalid() { return nullptr; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};

struct TRegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static bool Valid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};

using TUniqueHandle = TUniqueResource<HANDLE, TKernelHandleTraits>;
using TUniqueKey = TUniqueResource<HKEY, TRegKeyTraits>;

// GDI: objects from Create*, memory DCs from CreateCompatibleDC, icons.
template <class H>
struct TGdiObjectTraits {
    static H Invalid() { return nullptr; }
    static bool Valid(H h) { return h != nullptr; }
    static void Close(H h) { DeleteObject(h); }
};

struct TMemoryDcTraits {
    static HDC Invalid() { return nullptr; }
    static bool Valid(HDC h) { return h != nullptr; }
    static void Close(HDC h) { DeleteDC(h); }
};

struct TIconTraits {
    static HICON Invalid() { return nullptr; }
    static bool Valid(HICON h) { return h != nullptr; }
    static void Close(HICON h) { DestroyIcon(h); }
};

template <class H>
using TUniqueGdi = TUniqueResource<H, TGdiObjectTraits<H>>;
using TUniqueMemoryDc = TUniqueResource<HDC, TMemoryDcTraits>;
using TUniqueIcon = TUniqueResource<HICON, TIconTraits>;

// A DC from GetDC, released to its window.
class TWindowDc {
public:
    explicit TWindowDc(HWND window) : window_(window), dc_(GetDC(window)) {}
    TWindowDc(const TWindowDc&) = delete;
    TWindowDc& operator=(const TWindowDc&) = delete;
    ~TWindowDc() {
        if (dc_)
            ReleaseDC(window_, dc_);
    }

    HDC Get() const { return dc_; }
    explicit operator bool() const { return dc_ != nullptr; }

private:
    HWND window_;
    HDC dc_;
};

// An object selected into a DC; the object selected before the first Select returns on destruction.
class TSelection {
public:
    TSelection(HDC dc, HGDIOBJ object) : dc_(dc), original_(SelectObject(dc, object)) {}
    TSelection(const TSelection&) = delete;
    TSelection& operator=(const TSelection&) = delete;
    ~TSelection() {
        if (original_ && original_ != HGDI_ERROR)
            SelectObject(dc_, original_);
    }

    void Select(HGDIOBJ object) { SelectObject(dc_, object); }

private:
    HDC dc_;
    HGDIOBJ original_;
};

// Sets a flag for the lifetime of the guard and gives it back its old value, also when an
// exception passes.
class TFlagGuard {
public:
    explicit TFlagGuard(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
    ~TFlagGuard() { flag_ = old_; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;

private:
    bool& flag_;
    bool old_;
};
