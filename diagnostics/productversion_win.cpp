#include "diagnostics/productversion.h"

#include <QDebug>
#include <cwchar>
#include <memory>
#include <windows.h>

// The version lives in the executable's own version resource, not in the code.
QString productVersion()
{
    wchar_t fileName[MAX_PATH + 1] = {};
    if (GetModuleFileNameW(nullptr, fileName, MAX_PATH) == 0) {
        qDebug().noquote() << QStringLiteral(
                                  "Retrieving a product version error: GetModuleFileName faield (%1)")
                                  .arg(GetLastError());
        return QString();
    }
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(fileName, &handle);
    if (size == 0) {
        qDebug().noquote() << QStringLiteral(
                                  "Retrieving a product version error: GetFileVersionInfoSize faield (%1)")
                                  .arg(GetLastError());
        return QString();
    }
    auto data = std::make_unique<char[]>(size);
    if (!GetFileVersionInfoW(fileName, 0, size, data.get())) {
        qDebug().noquote() << QStringLiteral(
                                  "Retrieving a product version error: GetFileVersionInfo faield (%1)")
                                  .arg(GetLastError());
        return QString();
    }
    wchar_t query[50] = {};
    const int written = std::swprintf(query, 50, L"\\StringFileInfo\\%04x04B0\\ProductVersion", 1033);
    if (written < 0 || written >= 50) {
        qDebug().noquote() << QStringLiteral(
            "Retrieving a product version error: faield to created a resource path");
        return QString();
    }
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.get(), query, reinterpret_cast<LPVOID*>(&value), &length) || !value) {
        qDebug().noquote() << QStringLiteral("Retrieving a product version error: VerQueryValue failed");
        return QString();
    }
    // The stored length counts the terminating NUL; the text ends at the first NUL.
    UINT chars = 0;
    while (chars < length && value[chars] != L'\0')
        ++chars;
    return QString::fromWCharArray(value, int(chars));
}
