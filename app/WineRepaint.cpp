#include "app/WineRepaint.h"

#if JUCE_WINDOWS
#include <windows.h>
#endif

WineRepaintPump::WineRepaintPump()
{
    if (runningUnderWine())
        startTimerHz(60);
}

WineRepaintPump::~WineRepaintPump()
{
    stopTimer();
}

bool WineRepaintPump::runningUnderWine()
{
#if JUCE_WINDOWS
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

void WineRepaintPump::timerCallback()
{
    for (int i = juce::ComponentPeer::getNumPeers(); --i >= 0;)
        if (auto* peer = juce::ComponentPeer::getPeer(i))
            peer->performAnyPendingRepaintsNow();
}
