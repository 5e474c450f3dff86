#include "platform/thread.h"

#include <windows.h>

#include <string>

namespace platform {

void nameCurrentThread(const char* name)
{
    // SetThreadDescription exists from Windows 10 1607 on; older systems go unnamed.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return;
    const auto set = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
    if (!set)
        return;
    const std::string narrow(name);
    const std::wstring wide(narrow.begin(), narrow.end());
    set(::GetCurrentThread(), wide.c_str());
}

} // namespace platform
