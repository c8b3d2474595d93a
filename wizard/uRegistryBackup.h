#pragma once

// The wizard's the backup page.

#include "Forms.h"

class TfrmRegistryBackup : public TForm {
public:
    explicit TfrmRegistryBackup(TComponent* owner);

private:
    void CreateControls();
};
