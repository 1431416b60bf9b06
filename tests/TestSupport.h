#pragma once
#include "core/CustomMessage.h"
#include "platform/Services.h"
#include <functional>
#include <juce_events/juce_events.h>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support
{
// One received message, as the receiver saw it.
struct Event
{
    int code;
    int p1, p2, p3;
    std::wstring text; // appended text for log requests
};

// Records every CCustomMessage posted to it (device events and log requests).
class Recorder : public juce::MessageListener
{
public:
    void handleMessage(const juce::Message& message) override;

    std::vector<Event> events;
    std::function<void(const Event&)> onEvent;

    // All appended log text, concatenated.
    std::wstring logText() const;
    std::string logUtf8() const;
    std::vector<int> codes(bool deviceEventsOnly = true) const;
    int count(int code) const;
    const Event* last(int code) const;
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
