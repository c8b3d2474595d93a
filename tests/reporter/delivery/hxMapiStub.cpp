// A stand-in mail library: MAPISendMail writes down what it was given and answers with the
// result the test chose.

#include <windows.h>

#include <mapi.h>

#include <string>

namespace {

std::string gRecord;
ULONG gNextResult = SUCCESS_SUCCESS;
HANDLE gHold = nullptr;

std::string Text(const char* text)
{
    return text ? text : "(null)";
}

}  // namespace

extern "C" __attribute__((dllexport)) ULONG WINAPI MAPISendMail(LHANDLE, ULONG_PTR, lpMapiMessage message, FLAGS flags,
                                                                ULONG)
{
    gRecord = "flags=" + std::to_string(flags) + "\nsubject=" + Text(message->lpszSubject) +
              "\nbody=" + Text(message->lpszNoteText) + "\n";
    for (ULONG i = 0; i < message->nRecipCount; ++i)
        gRecord += "to=" + std::to_string(message->lpRecips[i].ulRecipClass) + "|" +
                   Text(message->lpRecips[i].lpszName) + "|" + Text(message->lpRecips[i].lpszAddress) + "\n";
    for (ULONG i = 0; i < message->nFileCount; ++i)
        gRecord += "file=" + std::to_string(static_cast<LONG>(message->lpFiles[i].nPosition)) + "|" +
                   Text(message->lpFiles[i].lpszPathName) + "|" + Text(message->lpFiles[i].lpszFileName) + "\n";
    if (gHold)
        WaitForSingleObject(gHold, 30000);
    return gNextResult;
}

// The next sends wait until the event is set (nullptr: no waiting).
extern "C" __attribute__((dllexport)) void MapiStubHold(HANDLE event)
{
    gHold = event;
}

extern "C" __attribute__((dllexport)) const char* MapiStubRecord()
{
    return gRecord.c_str();
}

extern "C" __attribute__((dllexport)) void MapiStubNextResult(ULONG result)
{
    gNextResult = result;
}
