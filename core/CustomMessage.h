#pragma once
#include "core/Vocabulary.h"
#include <atomic>
#include <juce_events/juce_events.h>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// ---- events of the device link, for the update controller ----

struct EvScanStarted
{
};
struct EvDeviceFound
{
    bool fullSpeed = false; // false: high speed
};
struct EvNoDevice
{
};
struct EvTwoDevices
{
};
struct EvProgress
{
    ProgressKind kind = ProgressKind::ended;
    int value = 0, total = 0; // for a share: its start and end in tenths of a percent
};
struct EvConnectButton
{
    bool enabled = false;
};
// A job ended: its serial (see Communication::currentJobSerial) and, when it
// failed, why.
struct EvStepDone
{
    int serial = 0;
    std::optional<StepFailure> failure;
};
// The instrument's version block (see VersionBlock): UTF-16 code units.
struct EvVersionRead
{
    std::vector<char16_t> block;
};
// The transport reports the paired instrument gone.
struct EvLinkLost
{
};

// ---- events of the window's own boxes, for the main component ----

enum class FileBox
{
    write,
    read
};
struct EvFileChosen
{
    FileBox box = FileBox::write;
};
struct EvFlashTicked
{
    juce::String name;
    bool ticked = false;
};

// ---- requests to a log view ----

struct LogAppendText
{
    std::wstring text;
};
struct LogSetBold
{
    bool bold = false;
};
struct LogSetColour
{
    juce::uint32 argb = 0;
};
struct LogSetFontHeight
{
    int height = 0;
};
struct LogClear
{
};

using Event =
    std::variant<EvScanStarted, EvDeviceFound, EvNoDevice, EvTwoDevices, EvProgress, EvConnectButton,
                 EvStepDone, EvVersionRead, EvLinkLost, EvFileChosen, EvFlashTicked, LogAppendText,
                 LogSetBold, LogSetColour, LogSetFontHeight, LogClear>;

// The one message type that crosses threads: a posted Event. Posting it is
// one allocation (the message with its event inside); events with text or a
// block allocate that too.
class CCustomMessage final : public juce::Message
{
public:
    explicit CCustomMessage(Event e) : event(std::move(e)) {}

    ~CCustomMessage() override
    {
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

    const Event event;

private:
    std::shared_ptr<std::atomic<int>> inFlight;

    JUCE_DECLARE_NON_COPYABLE(CCustomMessage)
};

// The event a message carries; nullptr for any other message.
inline const Event* eventOf(const juce::Message& message)
{
    auto* m = dynamic_cast<const CCustomMessage*>(&message);
    return m != nullptr ? &m->event : nullptr;
}

// Handlers written as one lambda per event type they take, for std::visit.
template <typename... Handlers> struct overloaded : Handlers...
{
    using Handlers::operator()...;
};
template <typename... Handlers> overloaded(Handlers...) -> overloaded<Handlers...>;

// Calls `handler` with the event a message carries (nothing for any other message).
template <typename Handler> void visitEvent(const juce::Message& message, Handler&& handler)
{
    if (auto* event = eventOf(message))
        std::visit(std::forward<Handler>(handler), *event);
}

// A listener's weak-reference anchor is created lazily by the first post, and
// that creation is not thread-safe. Owners call this on their own thread before
// any other thread may post to the listener.
inline void prepareForPostsFromAnyThread(juce::MessageListener* receiver)
{
    if (receiver != nullptr)
        juce::WeakReference<juce::MessageListener> anchor(receiver);
}

inline void postEvent(juce::MessageListener* receiver, Event event)
{
    if (receiver != nullptr)
        receiver->postMessage(new CCustomMessage(std::move(event)));
}
