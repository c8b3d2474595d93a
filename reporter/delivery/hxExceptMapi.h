#pragma once

// Sending through the user's own mail setup: Simple MAPI with the report files attached, or the
// registered mailto handler with the report text as the body.

#include <windows.h>

#include <string>
#include <vector>

// "Name <address>" gives the name before "<" (as it stands) and "SMTP:address"; a plain address
// is its own name.
void SplitMapiRecipient(const std::string& address, std::string& name, std::string& mapiAddress);

enum TMapiResult : int { mrFailed = 0, mrSent = 1, mrCancelled = 2 };

// MAPISendMail of the mail library; with silent and recipients no dialog is shown.
int SendViaMapi(const std::string& recipients, const std::string& subject, const std::string& body, bool silent,
                HWND ownerWindow, const std::vector<std::string>& sendAsNames, const std::vector<std::string>& paths);

// Starts the registered mailto command with "mailto:" + recipients + "?subject=...&body=...", each
// part escaped.
bool SendViaMailto(const std::string& recipients, const std::string& subject, const std::string& body);

// The library that provides MAPISendMail ("mapi32.dll"); tests load a stand-in.
void SetMapiLibraryName(const std::string& name);
