// A small program carrying the single-instance guard, started by the tests as separate
// processes.
//
// OneInstanceProbe <title> <identifier> <report file> <ready event> <mode>
// mode: "message" (Message set), "empty" (no Message), "keep" (OnShowMessage keeps it running).
// The report file receives "box|<caption>|<text>|<flags>" for a message box and, at the end,
// "shown|<0 or 1>" for whether the main form ever showed. The ready event is set once the
// main form is up.

#include "Forms.h"
#include "kelComponents.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string gReportFile;

void Report(const std::string& line) {
    if (FILE* file = std::fopen(gReportFile.c_str(), "ab")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6)
        return 2;
    const std::string title = argv[1];
    const std::string identifier = argv[2];
    gReportFile = argv[3];
    const std::string readyEvent = argv[4];
    const std::string mode = argv[5];

    SetMessageBoxHook([](HWND, const std::string& text, const std::string& caption, UINT flags) {
        Report("box|" + caption + "|" + text + "|" + std::to_string(flags));
        return IDOK;
    });
    Application.Initialize();
    Application.SetTitle(title);

    bool shown = false;
    TForm* form = nullptr;
    Application.CreateForm(form);
    form->OnShow = [&shown](TObject*) { shown = true; };
    form->BuildForm([&] {
        form->SetCaption(title + " " + mode);
        form->SetBounds(100, 100, 300, 200);
        auto guard = new TkelOneInstance(form);
        guard->Identifier = identifier;
        guard->ShowMessage = true;
        if (mode == "message" || mode == "keep")
            guard->Message = "The program is already running.";
        if (mode == "keep")
            guard->OnShowMessage = [](TObject*, bool& terminate) {
                Report("handler");
                terminate = false;
            };
    });
    if (Application.ShowMainForm) {
        form->ShowForm();
        TUniqueHandle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, readyEvent.c_str()));
        if (ready)
            SetEvent(ready.Get());
    }
    Application.Run();
    Report(std::string("shown|") + (shown ? "1" : "0"));
    return 0;
}
