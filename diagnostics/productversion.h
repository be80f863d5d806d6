#pragma once

#include <QString>

// The product version (four dotted parts) and its fourth part, the build number, both set
// when the program is built.
QString productVersion();
QString productBuildNumber();
