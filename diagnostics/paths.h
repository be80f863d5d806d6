#pragma once

#include <QString>

// Expands "~", "<app_local_data_location>", "<app_config_location>" and "<tmp>" (case-sensitive,
// every occurrence, in that order). Creates nothing and leaves separators as they are.
QString resolvePath(const QString& pattern);

// Where crash dumps are written: "<app_local_data_location>/minidumps".
QString minidumpDirectory();

// Where the list of the user's shares and their thumbnails are kept: "<app_local_data_location>/shares".
QString shareHistoryDirectory();

// Returns when `path` is an existing writable directory or could be created; an empty path is
// accepted as is. Throws BL::Exceptions::CCreateDirectoryException otherwise.
void ensureDirectoryExists(const QString& path);
