#pragma once

// The built-in assistant form handlers: a contact form with the items "NameEdit", "EmailEdit"
// and "MemCheck" remembers the user's name and e-mail address and makes them the report's sender
// (this program's contact form names its items otherwise and so is left alone); the screenshot
// form shows the screenshot, opens it in the system's image editor and carries the attach choice
// into the exception.

#include "hxNVAssistant.h"

#include <windows.h>

#include <cstdint>
#include <string>

void HandleContactForm(INVForm* form, std::uint8_t action, INVItem* item, IUnknown* exception);
void HandleScreenshotForm(INVForm* form, std::uint8_t action, INVItem* item, IUnknown* exception);

// DOS date (high half) and time (low half) of the file's last write; 0 when it is missing.
std::uint32_t FileDosTime(const std::string& path);
// The reporter's temporary folder + "screenShot.bmp"; false when the folder is unknown.
bool ScreenshotBitmapFileName(std::string& path);

// The remembered name and address go under HKEY_CURRENT_USER at this key; returns the previous.
std::string SetContactFormRegistryKey(const std::string& key);
// Starts the image editor on the file; true with the editor's process (or null) when started.
using TEditImageProc = bool (*)(const std::string& file, HANDLE& process);
TEditImageProc SetEditImageHook(TEditImageProc hook) noexcept;
// The short beep of a failed editor start.
using TFailureBeepProc = void (*)();
TFailureBeepProc SetFailureBeepHook(TFailureBeepProc hook) noexcept;

class IVQException;
struct THxAssistantServices;

// The settings' assistant builder and item visitor, backed by the form resources.
THxAssistantServices AssistantServices();
// Puts the outputs of every form passed with Continue into the exception's report: under its
// output name an edit's text or a check box's "yes" or "no" becomes a header line, a memo marked
// for it a section of its own. An empty text removes the line or section.
void ApplyAssistantOutputs(INVAssistant* assistant, IVQException* exception);
// Shows the assistant, remembers its entries in the exception's settings and, when it ended with
// every form passed, applies its outputs to the report; true then.
bool RunAssistant(IUnknown* assistant, HWND parent, IVQException* exception);
