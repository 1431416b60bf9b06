#pragma once
#include "core/CustomMessage.h"
#include <functional>
#include <juce_events/juce_events.h>
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

// Runs the message loop for about `ms` milliseconds.
void pump(int ms = 5);
// Runs the message loop until `done` is true or `timeoutMs` passes; returns `done()`.
bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// A fresh empty folder under the system's temporary folder.
juce::File makeTempFolder(const juce::String& prefix);
} // namespace testing_support
