#pragma once

// Sending a bug report as one HTTP/1.0 multipart/form-data request: the form fields, then every
// report file, through the system's proxy when it names one.

#include "hxExceptSmtp.h"

#include <functional>
#include <string>
#include <string_view>

bool HttpUpload(THxSendParams& params);
// One file as a form part ending in CR LF; an empty file sends nothing. size is what was counted
// for the request length: a file that no longer has that size fails the part.
bool SendFormFile(THxNetLink& link, const TProgressAlertPtr& progress, const std::string& path,
                  const std::string& sendAsName, const std::string& fieldName, std::int64_t size);
// Reads the status line (up to CR LF, 7 seconds per wait); true when its second word is code.
bool ReadHttpStatus(THxNetLink& link, std::string_view code);
// The proxy the system is set to use, empty for a direct connection.
std::string GetSystemProxy();
// Replaces GetSystemProxy's answer (tests); an empty hook restores it. Returns the previous one.
std::function<std::string()> SetSystemProxyHook(std::function<std::string()> hook);
// Everything up to and including the first "://" goes.
std::string StripUrlScheme(std::string_view url);
// The form part's head of a file, and the fields block of the request.
std::string FormFileHead(std::string_view sendAsName, std::string_view fieldName);
std::string FormFieldsBlock(IVQFields* fields);
