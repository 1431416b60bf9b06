#include "TestSupport.h"

namespace testing_support
{
void Recorder::handleMessage(const juce::Message& message)
{
    auto* m = dynamic_cast<const CCustomMessage*>(&message);
    if (m == nullptr)
        return;
    Event e{m->code, m->param1, m->param2, m->param3, {}};
    if (m->code == LogAppendText && m->data != nullptr)
        e.text = static_cast<const wchar_t*>(m->data);
    events.push_back(e);
    if (onEvent)
        onEvent(events.back());
}

std::wstring Recorder::logText() const
{
    std::wstring all;
    for (auto& e : events)
        if (e.code == LogAppendText)
            all += e.text;
    return all;
}

std::string Recorder::logUtf8() const
{
    return juce::String(logText().c_str()).toStdString();
}

std::vector<int> Recorder::codes(bool deviceEventsOnly) const
{
    std::vector<int> result;
    for (auto& e : events)
        if (!deviceEventsOnly || e.code >= 0x5000)
            result.push_back(e.code);
    return result;
}

int Recorder::count(int code) const
{
    int n = 0;
    for (auto& e : events)
        n += e.code == code ? 1 : 0;
    return n;
}

const Event* Recorder::last(int code) const
{
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        if (it->code == code)
            return &*it;
    return nullptr;
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
