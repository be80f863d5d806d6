#pragma once

// The part of Breakpad's in-process handler the crash reporter uses, declared with the
// signatures of its Windows client so the syntax check sees a misused one. Never linked.
#include <windows.h>
// After windows.h, whose types it uses.
#include <dbghelp.h>
#include <string>

struct MDRawAssertionInfo;

namespace google_breakpad {

struct CustomClientInfo;

class ExceptionHandler
{
public:
    using FilterCallback = bool (*)(void* context, EXCEPTION_POINTERS* exceptionInfo,
                                    MDRawAssertionInfo* assertion);
    using MinidumpCallback = bool (*)(const wchar_t* dumpPath, const wchar_t* minidumpId, void* context,
                                      EXCEPTION_POINTERS* exceptionInfo, MDRawAssertionInfo* assertion,
                                      bool succeeded);

    enum HandlerType {
        HANDLER_NONE = 0,
        HANDLER_EXCEPTION = 1 << 0,
        HANDLER_INVALID_PARAMETER = 1 << 1,
        HANDLER_PURECALL = 1 << 2,
        HANDLER_ALL = HANDLER_EXCEPTION | HANDLER_INVALID_PARAMETER | HANDLER_PURECALL
    };

    ExceptionHandler(const std::wstring& dumpPath, FilterCallback filter, MinidumpCallback callback,
                     void* callbackContext, int handlerTypes, MINIDUMP_TYPE dumpType, const wchar_t* pipeName,
                     const CustomClientInfo* customInfo);
    ~ExceptionHandler();

    ExceptionHandler(const ExceptionHandler&) = delete;
    ExceptionHandler& operator=(const ExceptionHandler&) = delete;
};

} // namespace google_breakpad
