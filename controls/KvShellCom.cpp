#include "KvShellCom.h"

#include <objbase.h>

TKvShellCom::TKvShellCom() : result_(CoInitialize(nullptr)) {}

TKvShellCom::~TKvShellCom() {
    // Every successful CoInitialize, S_FALSE included, needs its CoUninitialize.
    if (SUCCEEDED(result_))
        CoUninitialize();
}
