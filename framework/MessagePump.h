#pragma once

// The main thread's message loop without any window of the program: it dispatches
// messages and runs the calls that worker threads synchronise onto the main thread.

#include <windows.h>

// Dispatches every waiting message and runs waiting synchronised calls.
void ProcessMessages();

// Pumps until handle is signalled (true) or the timeout passes (false).
bool PumpMessagesUntil(HANDLE handle, DWORD timeoutMs = INFINITE);
