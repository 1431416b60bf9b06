#pragma once
#include <atomic>
#include <juce_events/juce_events.h>
#include <memory>

// Message codes. 0x4000..0x4004 go to a log view; 0x5000..0x500E to the update controller.
enum MessageCode : int
{
    LogAppendText = 0x4000,
    LogSetBold = 0x4001,
    LogSetColour = 0x4002,
    LogSetFontHeight = 0x4003,
    LogClear = 0x4004,

    EvScanStarted = 0x5000,
    EvDeviceFound = 0x5001,
    EvNoDevice = 0x5002,
    EvTwoDevices = 0x5003,
    EvControls = 0x5004,
    EvProgress = 0x5005,
    EvConnectButton = 0x5006,
    EvStepDone = 0x5007,
    EvWriteFileChosen = 0x5008,
    EvReadFileChosen = 0x5009,
    EvFlashTicked = 0x500A,
    EvVersionRead = 0x500D,
    EvLinkLost = 0x500E, // the transport reports the paired instrument gone
};

// The one event type that crosses threads. A heap payload in `data` belongs to
// the receiver, which takes it with takeData(); a message that is dropped
// before it is handled (its receiver is gone) frees the payload itself, so
// nothing leaks.
class CCustomMessage : public juce::Message
{
public:
    using Deleter = void (*)(void*);

    explicit CCustomMessage(int codeIn, int p1 = 0, int p2 = 0, int p3 = 0, void* dataIn = nullptr,
                            Deleter deleterIn = nullptr)
        : code(codeIn), param1(p1), param2(p2), param3(p3), data(dataIn), deleter(deleterIn)
    {
    }

    ~CCustomMessage() override
    {
        if (data != nullptr && deleter != nullptr)
            deleter(data);
        if (inFlight != nullptr)
            --*inFlight;
    }

    // Counts this message among its sender's undelivered ones until it is
    // handled or dropped.
    void countIn(std::shared_ptr<std::atomic<int>> counter)
    {
        inFlight = std::move(counter);
        ++*inFlight;
    }

    template <typename T> T* takeData()
    {
        auto* taken = static_cast<T*>(data);
        data = nullptr;
        return taken;
    }

    template <typename T> static void deleteArray(void* p) { delete[] static_cast<T*>(p); }
    template <typename T> static void deleteObject(void* p) { delete static_cast<T*>(p); }

    const int code;
    const int param1, param2, param3;
    void* data;
    const Deleter deleter;

private:
    std::shared_ptr<std::atomic<int>> inFlight;

    JUCE_DECLARE_NON_COPYABLE(CCustomMessage)
};

// A listener's weak-reference anchor is created lazily by the first post, and
// that creation is not thread-safe. Owners call this on their own thread before
// any other thread may post to the listener.
inline void prepareForPostsFromAnyThread(juce::MessageListener* receiver)
{
    if (receiver != nullptr)
        juce::WeakReference<juce::MessageListener> anchor(receiver);
}

inline void postEvent(juce::MessageListener* receiver, int code, int p1 = 0, int p2 = 0, int p3 = 0)
{
    if (receiver != nullptr)
        receiver->postMessage(new CCustomMessage(code, p1, p2, p3));
}
