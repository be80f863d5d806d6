#pragma once

// The calls of the Windows update library the updater makes, declared as its SDK does, so the
// syntax check sees a wrong name, argument or return type. Nothing here is ever linked.
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

void __cdecl win_sparkle_init(void);
void __cdecl win_sparkle_cleanup(void);
void __cdecl win_sparkle_set_appcast_url(const char* url);
void __cdecl win_sparkle_set_app_details(const wchar_t* companyName, const wchar_t* appName,
                                         const wchar_t* appVersion);
void __cdecl win_sparkle_set_app_build_version(const wchar_t* build);
void __cdecl win_sparkle_check_update_with_ui(void);
void __cdecl win_sparkle_check_update_without_ui(void);
int __cdecl win_sparkle_get_automatic_check_for_updates(void);
void __cdecl win_sparkle_set_automatic_check_for_updates(int state);

#ifdef __cplusplus
}
#endif
