#pragma once

// The message texts of the utility components.

namespace kelconsts {

inline constexpr const char* SWarning = "Warning";
inline constexpr const char* SError = "Error";
inline constexpr const char* SReadOnlyProperty = "Cannot change the property in Read-Only mode.";
inline constexpr const char* SUnableToOpenKey = "Unable to open the %s key";
inline constexpr const char* SCannotWriteRegistry = "Cannot write to registry.";
inline constexpr const char* SThreadException = "Thread %s raised exception class %s with message \"%s\".";
inline constexpr const char* SAlreadyRunning = "Application \"%s\" is already running.";
inline constexpr const char* SInsertToTrayFailed = "%s.InsertToTray failed";
inline constexpr const char* SDeleteFromTrayFailed = "%s.DeleteFromTray failed";
inline constexpr const char* SWrongAutoSaveName =
    "AutoSave can not be set because the SaveName property contains a wrong file name";
inline constexpr const char* SCannotLoadData = "Can not load data from the \"%s\" file";
inline constexpr const char* SCannotSaveData = "Can not save data to the \"%s\" file";

}  // namespace kelconsts
