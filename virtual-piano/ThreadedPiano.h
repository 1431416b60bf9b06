#pragma once
#include "virtual-piano/LinkModel.h"
#include "virtual-piano/VirtualPiano.h"
#include <atomic>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>

namespace vp
{
// Runs a VirtualPiano behind a message queue, the way a real instrument sits
// behind a cable: host messages are queued by post(), and replies are delivered
// to the reply callback on the piano's own thread (the host sees them as
// arriving on a MIDI input thread). With the timing model on, replies leave at
// the modelled times of a serial link.
//
// In manual mode there is no thread: pump() processes the queue on the caller's
// thread, which makes tests deterministic.
class ThreadedPiano final
{
public:
    using Delivery = std::function<void(const juce::uint8* data, int size)>;

    ThreadedPiano(PianoConfig config, bool manual = false);
    ~ThreadedPiano();

    void setDelivery(Delivery d);
    void post(const juce::uint8* data, int size);

    // Manual mode: processes queued messages (and those they cause) until the
    // queue is empty or `limit` messages were handled; returns the number processed.
    int pump(int limit = std::numeric_limits<int>::max());

    // An unsolicited status 0 every `ms` milliseconds from now on (0 or less:
    // none), delivered on the piano's thread, also while nothing else happens.
    void setStrayStatusEvery(int ms);
    // Delivers one unsolicited status 0 now, on the caller's thread (manual mode).
    void sendStrayStatus();
    // Switched off and on: messages not yet handled are lost, the instrument
    // starts afresh (see VirtualPiano::powerOn); the flash keeps what it held.
    void powerCycle();

    // Records every exchange from now on (for the protocol's minimum time), or stops.
    void recordExchanges(bool on);
    std::vector<Exchange> takeExchanges();
    // Time spent inside the instrument's own code (not delivering replies), ms.
    double instrumentMs();

    // Runs `fn` with exclusive access to the piano (for inspection in tests).
    template <typename Fn> auto withPiano(Fn&& fn)
    {
        const std::lock_guard<std::mutex> g(pianoLock);
        return fn(piano);
    }

private:
    void run();
    void process(std::vector<juce::uint8>& message);
    void deliver(const juce::uint8* data, int size);

    VirtualPiano piano;
    const bool manualMode;
    std::mutex queueLock, pianoLock, deliveryLock;
    std::condition_variable wake;
    std::deque<std::pair<std::vector<juce::uint8>, double>> queue; // message, send time (ms)
    bool stopping = false;
    std::atomic<int> strayEveryMs{-1};
    Delivery delivery;
    double inLinkFree = 0, pianoFree = 0, outLinkFree = 0;
    bool recording = false; // guarded by pianoLock, as are the two below
    std::vector<Exchange> exchanges;
    double ownMs = 0;
    std::thread worker;
};

double nowMs();
} // namespace vp
