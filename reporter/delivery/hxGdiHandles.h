#pragma once

// Owners of GDI objects and memory DCs for the delivery units (which do not use the window
// framework: the reporter runs before it and without it).

#include <windows.h>

#include <memory>
#include <type_traits>

struct TGdiDeleter {
    void operator()(void* h) const { DeleteObject(static_cast<HGDIOBJ>(h)); }
};
template <class H>
using TGdiPtr = std::unique_ptr<std::remove_pointer_t<H>, TGdiDeleter>;

struct TDcDeleter {
    void operator()(HDC h) const { DeleteDC(h); }
};
using TMemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, TDcDeleter>;
