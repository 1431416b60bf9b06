#include "app/WineRepaint.h"
#include "platform/WineHost.h"

WineRepaintPump::WineRepaintPump()
{
    if (platform::runningUnderWine())
        startTimerHz(60);
}

WineRepaintPump::~WineRepaintPump()
{
    stopTimer();
}

void WineRepaintPump::timerCallback()
{
    for (int i = juce::ComponentPeer::getNumPeers(); --i >= 0;)
        if (auto* peer = juce::ComponentPeer::getPeer(i))
            peer->performAnyPendingRepaintsNow();
}
