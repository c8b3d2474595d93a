#include "hxExceptMapi.h"

#include "hxExceptPause.h"
#include "hxExceptSmtp.h"
#include "hxExceptSupport.h"
#include "hxStrings.h"

#include <mapi.h>

#include <memory>
#include <mutex>

namespace {

std::mutex gLibraryLock;
std::string gLibraryName = "mapi32.dll";

std::string MapiLibraryName()
{
    std::lock_guard<std::mutex> lock(gLibraryLock);
    return gLibraryName;
}

// Line ends, blanks and the characters a URL gives a meaning; "&" as well, since the body or
// subject would otherwise end early at one.
const TCharSet& MailtoCharSet()
{
    static const TCharSet set = MakeCharSet(std::string_view("\n\r \"#%+<>?&", 11));
    return set;
}

std::string MailtoCommand()
{
    const std::string command = RegReadText(HKEY_CLASSES_ROOT, "mailto\\shell\\open\\command", "", true);
    if (command.empty())
        return {};
    const DWORD expanded = ExpandEnvironmentStringsA(command.c_str(), nullptr, 0);
    if (expanded == 0)
        return command;
    std::string result(expanded, '\0');
    ExpandEnvironmentStringsA(command.c_str(), result.data(), expanded);
    result.resize(strnlen(result.c_str(), result.size()));
    return result;
}

}  // namespace

void SetMapiLibraryName(const std::string& name)
{
    std::lock_guard<std::mutex> lock(gLibraryLock);
    gLibraryName = name.empty() ? "mapi32.dll" : name;
}

void SplitMapiRecipient(const std::string& address, std::string& name, std::string& mapiAddress)
{
    const std::size_t open = address.find('<');
    if (open == std::string::npos) {
        name = address;
        mapiAddress = "SMTP:" + address;
        return;
    }
    name = address.substr(0, open);
    const std::size_t close = address.find('>', open + 1);
    mapiAddress = "SMTP:" + address.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}

int SendViaMapi(const std::string& recipients, const std::string& subject, const std::string& body, bool silent,
                HWND ownerWindow, const std::vector<std::string>& sendAsNames, const std::vector<std::string>& paths)
{
    if (IsLoaderLockHeld())
        return mrFailed;
    HMODULE library = LoadLibraryA(MapiLibraryName().c_str());
    if (!library)
        return mrFailed;
    std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> owner(library, &FreeLibrary);
    const auto send = reinterpret_cast<LPMAPISENDMAIL>(
        reinterpret_cast<void*>(GetProcAddress(library, "MAPISendMail")));
    if (!send)
        return mrFailed;

    std::string list = recipients;
    const std::size_t count = NormalizeRecipientList(list);
    std::vector<std::string> names(count), addresses(count);
    std::vector<MapiRecipDesc> recipientEntries(count);
    for (std::size_t i = 0; i < count; ++i) {
        SplitMapiRecipient(GetField(list, ',', i + 1), names[i], addresses[i]);
        recipientEntries[i].ulRecipClass = MAPI_TO;
        recipientEntries[i].lpszName = names[i].data();
        recipientEntries[i].lpszAddress = addresses[i].data();
    }
    std::vector<std::string> filePaths = paths, fileNames(paths.size());
    std::vector<MapiFileDesc> fileEntries(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        fileNames[i] = i < sendAsNames.size() ? sendAsNames[i] : std::string();
        fileEntries[i].nPosition = static_cast<ULONG>(-1);
        fileEntries[i].lpszPathName = filePaths[i].data();
        fileEntries[i].lpszFileName = fileNames[i].empty() ? nullptr : fileNames[i].data();
    }
    std::string subjectText = subject, bodyText = body;
    MapiMessage message{};
    message.lpszSubject = subjectText.data();
    message.lpszNoteText = bodyText.data();
    message.nRecipCount = static_cast<ULONG>(count);
    message.lpRecips = recipientEntries.empty() ? nullptr : recipientEntries.data();
    message.nFileCount = static_cast<ULONG>(fileEntries.size());
    message.lpFiles = fileEntries.empty() ? nullptr : fileEntries.data();
    const FLAGS flags = silent && count > 0 ? 0 : MAPI_LOGON_UI | MAPI_DIALOG;

    const bool topmost = ownerWindow && (GetWindowLongA(ownerWindow, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    if (topmost)
        SetWindowPos(ownerWindow, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    // The main thread may paint while the mail program's dialogs are up.
    const bool mainWasPaused = UnpauseMainThread();
    const ULONG result = send(0, reinterpret_cast<ULONG_PTR>(ownerWindow), &message, flags, 0);
    if (mainWasPaused)
        RepauseMainThread();
    if (topmost)
        SetWindowPos(ownerWindow, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    return result == SUCCESS_SUCCESS ? mrSent : result == MAPI_USER_ABORT ? mrCancelled : mrFailed;
}

bool SendViaMailto(const std::string& recipients, const std::string& subject, const std::string& body)
{
    std::string command = MailtoCommand();
    if (command.empty())
        return false;
    std::string list = recipients;
    NormalizeRecipientList(list);
    const std::string url = "mailto:" + EscapeCharSet(list, MailtoCharSet(), '%') + "?subject=" + EscapeCharSet(subject, MailtoCharSet(), '%') +
                            "&body=" + EscapeCharSet(body, MailtoCharSet(), '%');
    const std::size_t placeholder = command.find("%1");
    if (placeholder != std::string::npos)
        command.replace(placeholder, 2, url);
    else
        command += (command.back() == ' ' ? "" : " ") + url;
    // The longest command line the system takes; an escape is never cut apart.
    constexpr std::size_t longest = 32766;
    if (command.size() > longest) {
        std::size_t keep = longest;
        if (command[longest - 1] == '%')
            keep = longest - 1;
        else if (command[longest - 2] == '%')
            keep = longest - 2;
        command.resize(keep);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
