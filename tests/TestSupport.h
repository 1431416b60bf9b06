#pragma once
#include "core/CustomMessage.h"
#include "platform/Services.h"
#include <functional>
#include <juce_events/juce_events.h>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

// gtest shows a failure reason by name and number.
inline void PrintTo(StepFailure reason, std::ostream* os)
{
    *os << "StepFailure " << (int)reason << " ("
        << (stepFailureText(reason) ? stepFailureText(reason) : "none") << ")";
}

namespace testing_support
{
// The index of event type T among Event's alternatives (what codes() lists).
template <typename T> size_t codeOf()
{
    return Event(std::in_place_type<T>).index();
}

// Events of type T in `events` for which `matches` holds.
template <typename T, typename Predicate> int countOf(const std::vector<Event>& events, Predicate matches)
{
    int n = 0;
    for (auto& e : events)
        if (auto* t = std::get_if<T>(&e))
            n += matches(*t) ? 1 : 0;
    return n;
}

// The last event of type T in `events`; nullptr when none.
template <typename T> const T* lastOf(const std::vector<Event>& events)
{
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        if (auto* t = std::get_if<T>(&*it))
            return t;
    return nullptr;
}

// Log requests, as opposed to device and window events.
bool isLogRequest(const Event& event);

// Records every event posted to it (device events and log requests).
class Recorder : public juce::MessageListener
{
public:
    void handleMessage(const juce::Message& message) override;

    std::vector<Event> events;
    std::function<void(const Event&)> onEvent;

    // All appended log text, concatenated.
    std::wstring logText() const;
    std::string logUtf8() const;
    // The received events' codeOf, without the log requests unless asked.
    std::vector<size_t> codes(bool deviceEventsOnly = true) const;
    template <typename T> int count() const
    {
        return count<T>([](const T&) { return true; });
    }
    // Events of type T for which `matches` holds.
    template <typename T, typename Predicate> int count(Predicate matches) const
    {
        return countOf<T>(events, matches);
    }
    template <typename T> const T* last() const { return lastOf<T>(events); }
    void clear() { events.clear(); }
};

// The machine's services, with every tone (a pause is a tone of 0 Hz) and
// every disk sync recorded.
class RecordingServices : public platform::Services
{
public:
    void beep(int frequencyHz, int durationMs) override;
    void sleepMs(int ms) override;
    bool syncToDisk(const juce::File& file) override;

    std::vector<std::pair<int, int>> tones() const;
    std::vector<juce::String> syncedNames() const; // the names of the files synced well, in order

private:
    mutable std::mutex lock;
    std::vector<std::pair<int, int>> toneList;
    std::vector<juce::String> synced;
};

// Runs the message loop for about `ms` milliseconds.
void pump(int ms = 5);
// Runs the message loop until `done` is true or `timeoutMs` passes; returns `done()`.
bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// A fresh empty folder under the system's temporary folder.
juce::File makeTempFolder(const juce::String& prefix);
} // namespace testing_support
