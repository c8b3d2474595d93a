#pragma once

// COM for the program's main thread, held for the whole run: the program's entry makes one
// before anything else and lets it go last.

#include <windows.h>

class TKvShellCom {
public:
    // Enters the single-threaded apartment.
    TKvShellCom();
    // Leaves it again, but only when entering succeeded: a thread that already lived in
    // another apartment keeps it.
    ~TKvShellCom();
    TKvShellCom(const TKvShellCom&) = delete;
    TKvShellCom& operator=(const TKvShellCom&) = delete;

    // What CoInitialize answered: S_OK, S_FALSE when COM was already entered, or the failure.
    HRESULT Result() const { return result_; }
    bool Initialized() const { return SUCCEEDED(result_); }

private:
    HRESULT result_;
};
