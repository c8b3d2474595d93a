#pragma once

// Move-only owners of system handles. Copying is deleted, so early returns never leak.

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
