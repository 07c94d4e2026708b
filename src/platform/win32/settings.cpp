// Process environment, the settings file and the debugger output: the real Win32 calls.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

const char* GetCommandLineA() { return ::GetCommandLineA(); }

DWORD GetCurrentDirectoryA(DWORD bufferSize, char* buffer) {
    return ::GetCurrentDirectoryA(bufferSize, buffer);
}

DWORD GetPrivateProfileIntA(const char* section, const char* key, std::int32_t defaultValue,
                            const char* fileName) {
    return ::GetPrivateProfileIntA(section, key, defaultValue, fileName);
}

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultText,
                               char* buffer, DWORD bufferSize, const char* fileName) {
    return ::GetPrivateProfileStringA(section, key, defaultText, buffer, bufferSize, fileName);
}

void OutputDebugStringA(const char* text) { ::OutputDebugStringA(text); }

}  // namespace platform
