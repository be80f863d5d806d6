// Started by the launcher in the tests: leaves "<its own path>.ran" behind, so the test
// sees that it really ran.
#include <string>
#include <windows.h>

int wmain()
{
    wchar_t path[MAX_PATH + 1] = {};
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0)
        return 1;
    const std::wstring marker = std::wstring(path) + L".ran";
    HANDLE file =
        CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, "ran\n", 4, &written, nullptr);
    CloseHandle(file);
    return 0;
}
