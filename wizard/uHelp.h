#pragma once

// The wizard's the help page.

#include "Forms.h"

class TfrmHelp : public TForm {
public:
    explicit TfrmHelp(TComponent* owner);

private:
    void CreateControls();
};
