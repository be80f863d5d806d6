#pragma once

#include <QString>

// The four-part product version of the running program (for example 1.1.0.330), or an empty
// text when it cannot be read. Never throws; nothing is cached.
QString productVersion();

// The last dot-separated part of productVersion() as a decimal number, or 0.
int productBuildNumber();

// The last dot-separated part of `version` as a decimal number, or 0 when it is not one.
int buildNumberOf(const QString& version);
