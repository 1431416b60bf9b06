#include "TestSupport.h"

namespace testing_support
{
bool isLogRequest(const Event& event)
{
    return std::holds_alternative<LogAppendText>(event) || std::holds_alternative<LogSetBold>(event) ||
           std::holds_alternative<LogSetColour>(event) || std::holds_alternative<LogSetFontHeight>(event) ||
           std::holds_alternative<LogClear>(event);
}

void Recorder::handleMessage(const juce::Message& message)
{
    auto* event = eventOf(message);
    if (event == nullptr)
        return;
    events.push_back(*event);
    if (onEvent)
        onEvent(events.back());
}

std::wstring Recorder::logText() const
{
    std::wstring all;
    for (auto& e : events)
        if (auto* append = std::get_if<LogAppendText>(&e))
            all += append->text;
    return all;
}

std::string Recorder::logUtf8() const
{
    return juce::String(logText().c_str()).toStdString();
}

std::vector<size_t> Recorder::codes(bool deviceEventsOnly) const
{
    std::vector<size_t> result;
    for (auto& e : events)
        if (!deviceEventsOnly || !isLogRequest(e))
            result.push_back(e.index());
    return result;
}

void RecordingServices::beep(int frequencyHz, int durationMs)
{
    const std::lock_guard<std::mutex> g(lock);
    toneList.emplace_back(frequencyHz, durationMs);
}

void RecordingServices::sleepMs(int ms)
{
    const std::lock_guard<std::mutex> g(lock);
    toneList.emplace_back(0, ms);
}

bool RecordingServices::syncToDisk(const juce::File& file)
{
    const bool ok = Services::syncToDisk(file);
    const std::lock_guard<std::mutex> g(lock);
    if (ok)
        synced.push_back(file.getFileName());
    return ok;
}

std::vector<std::pair<int, int>> RecordingServices::tones() const
{
    const std::lock_guard<std::mutex> g(lock);
    return toneList;
}

std::vector<juce::String> RecordingServices::syncedNames() const
{
    const std::lock_guard<std::mutex> g(lock);
    return synced;
}

void pump(int ms)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil(ms);
}

bool pumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32)timeoutMs;
    while (!done())
    {
        if (juce::Time::getMillisecondCounter() > end)
            return done();
        juce::MessageManager::getInstance()->runDispatchLoopUntil(2);
    }
    return true;
}

juce::File makeTempFolder(const juce::String& prefix)
{
    auto folder = juce::File::getSpecialLocation(juce::File::tempDirectory)
                      .getChildFile(prefix + "-" +
                                    juce::String::toHexString(juce::Random::getSystemRandom().nextInt64()));
    folder.createDirectory();
    return folder;
}
} // namespace testing_support
