#include "platform/WineHost.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace platform
{
bool runningUnderWine()
{
#if defined(_WIN32)
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
} // namespace platform
