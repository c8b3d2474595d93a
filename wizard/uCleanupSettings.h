#pragma once

// The first page of the cleanup wizard: which checks the scan runs.

#include "Forms.h"

class TfrmCleanupSettings : public TForm {
public:
    explicit TfrmCleanupSettings(TComponent* owner);

private:
    void CreateControls();
};
