#pragma once

// The wizard's the undo page.

#include "Forms.h"

class TfrmRegistryUndo : public TForm {
public:
    explicit TfrmRegistryUndo(TComponent* owner);

private:
    void CreateControls();
};
