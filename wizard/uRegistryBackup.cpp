#include "uRegistryBackup.h"

#include "SysUtils.h"
#include "Undos.h"
#include "uMain.h"

#include <vector>

namespace {

// The short form of an existing path, or the path itself when the system has none.
std::string ShortPath(const std::string& path) {
    char buffer[MAX_PATH] = "";
    const DWORD length = GetShortPathNameA(path.c_str(), buffer, sizeof(buffer));
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : path;
}

// Size of a file in bytes; 0 when it is missing.
ULONGLONG FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Handles messages until process ends, so that the pages stay painted meanwhile.
DWORD WaitForExit(HANDLE process) {
    while (MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
        Application.ProcessMessages();
    DWORD code = 1;
    if (!GetExitCodeProcess(process, &code))
        code = 1;
    return code;
}

}  // namespace

TfrmRegistryBackup::TfrmRegistryBackup(TComponent* owner) : TForm(owner) {
    SetName("frmRegistryBackup");
    BuildForm([this] { CreateControls(); });
}

void TfrmRegistryBackup::CreateControls() {
    SetCaption("Registry Backup");
    SetBorderStyle(bsSingle);
    SetBorderIcons({biSystemMenu});
    SetPosition(poMainFormCenter);
    SetClientSize(500, 300);

    Images = PageImages(*this);

    const TSidePanels panels = MakeSidePanels(*this, "Registry Backup");
    pnlLeft = panels.Left;
    lblTitle = panels.Title;
    pnlRight = panels.Right;

    const auto glyphButton = [this](TKvBitBtn* button, const char* name, const char* caption, int top,
                                    TWizardGlyph glyph) {
        button->SetName(name);
        button->SetParent(pnlLeft);
        button->SetBounds(12, top, 108, 30);
        button->SetCaption(caption);
        button->SetImages(Images);
        button->SetImageIndex(glyph);
        button->SetMargin(8);
        button->SetSpacing(8);
        button->SetAlignment(taLeftJustify);
    };
    btnRun = new TKvBitBtn(this);
    glyphButton(btnRun, "btnRun", "Run", 222, wgRun);
    btnRun->OnClick = TNotifyEvent(this, &TfrmRegistryBackup::btnRunClick);
    btnBack = new TKvBitBtn(this);
    glyphButton(btnBack, "btnBack", "Back", 260, wgBack);
    btnBack->SetModalResult(mrCancel);
    btnBack->SetCancel(true);
    btnBack->OnClick = TNotifyEvent(this, &TfrmRegistryBackup::btnBackClick);

    // Run in bold orange, the folder in light blue.
    const std::string folder = StringReplace(BackupFolder() + "\\", "&", "&amp;", rfReplaceAll);
    lblInstructions = new THTMLabel(this);
    lblInstructions->SetName("lblInstructions");
    lblInstructions->SetParent(pnlRight);
    lblInstructions->SetBounds(16, 16, 336, 268);
    lblInstructions->SetHTMLText(
        "It is a good habit to back up the registry regularly, and always before a cleanup.<BR><BR>"
        "Press <B><FONT COLOR=\"#F97600\">Run</FONT></B> to start the backup. The backup file is named after the "
        "date and time of the backup and saved to the folder<BR><FONT COLOR=\"#8080FF\">" +
        folder +
        "</FONT><BR><BR>"
        "To bring the registry back to the state of a backup, double-click its backup file.");

    tmrAfterShow = new TTimer(this);
    tmrAfterShow->SetName("tmrAfterShow");
    tmrAfterShow->SetEnabled(false);
}

std::string TfrmRegistryBackup::BackupFolder() { return AppPath + "registrybackups"; }

std::string TfrmRegistryBackup::ExportCommand(const std::string& target) {
    // Quoted: short names may be switched off, and then the path keeps its blanks.
    return "regedit /e \"" + target + "\"";
}

void TfrmRegistryBackup::btnRunClick(TObject*) {
    TFreeWatch watch(*this);
    btnBack->SetEnabled(false);
    btnRun->SetEnabled(false);
    BackUpRegistry();
    if (watch.Freed())
        return;
    btnBack->SetEnabled(true);
    btnRun->SetEnabled(true);
}

void TfrmRegistryBackup::btnBackClick(TObject*) { Close(); }

void TfrmRegistryBackup::BackUpRegistry() {
    const std::string folder = BackupFolder();
    const std::string name = TRegUndoFile::MakeFileName();
    bool saved = false;
    if (ForceDirectories(folder)) {
        const std::string shortFolder = ShortPath(folder);
        const std::string target = shortFolder + "\\" + name;
        // The export ends before the outcome is told: a started editor is no backup yet.
        TUniqueHandle process = RunApp(ExportCommand(target), shortFolder + "\\");
        saved = process && WaitForExit(process.Get()) == 0 && FileSize(folder + "\\" + name) > 0;
    }
    if (saved)
        ShowMessageBox(Handle(), "Registry was successfully backed up to " + name, Application.Title(),
                       MB_OK | MB_ICONINFORMATION);
    else
        ShowMessageBox(Handle(), "Error backing up the registry!", Application.Title(), MB_OK | MB_ICONERROR);
}

TUniqueHandle TfrmRegistryBackup::RunApp(const std::string& commandLine, const std::string& folder) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info = {};
    // CreateProcess may write into the command line.
    std::vector<char> command(commandLine.begin(), commandLine.end());
    command.push_back('\0');
    // A working folder too long for the system is left out: the target path is absolute.
    const char* directory = !folder.empty() && folder.size() < MAX_PATH - 1 ? folder.c_str() : nullptr;
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS,
                        nullptr, directory, &startup, &info))
        return TUniqueHandle();
    CloseHandle(info.hThread);
    return TUniqueHandle(info.hProcess);
}
