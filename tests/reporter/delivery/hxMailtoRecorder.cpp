// Stands in for the user's mail program: writes its command line beside itself and tells the
// waiting test.

#include <windows.h>

#include <string>

int main()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string file(path);
    file = file.substr(0, file.find_last_of('\\') + 1) + "hxMailtoReceived.txt";
    const char* commandLine = GetCommandLineA();
    HANDLE out = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(out, commandLine, static_cast<DWORD>(strlen(commandLine)), &written, nullptr);
        CloseHandle(out);
    }
    if (HANDLE done = OpenEventA(EVENT_MODIFY_STATE, FALSE, "hxMailtoRecorderDone")) {
        SetEvent(done);
        CloseHandle(done);
    }
    return 0;
}
