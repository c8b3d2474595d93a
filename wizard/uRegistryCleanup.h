#pragma once

// The wizard's the scan and cleanup page.

#include "Forms.h"

class TfrmRegistryCleanup : public TForm {
public:
    explicit TfrmRegistryCleanup(TComponent* owner);

private:
    void CreateControls();
};
