#include "FakeMidiSource.h"
#include <algorithm>

namespace testing_support
{
struct FakeSource::Input : midi::InputPort
{
    Input(FakeSource& s, int i, midi::InputCallback* cb) : source(s), index(i), callback(cb) {}
    ~Input() override
    {
        source.calls.push_back("closeIn " + std::to_string(index));
        auto& v = source.openInputs;
        v.erase(std::remove(v.begin(), v.end(), this), v.end());
    }
    juce::String getName() const override { return source.portNames[index]; }
    void start() override { started = true; }
    void stop() override { started = false; }

    FakeSource& source;
    int index;
    midi::InputCallback* callback;
    bool started = false;
};

namespace
{
struct Output : midi::OutputPort
{
    Output(FakeSource& s, int i, std::function<void(const juce::uint8*, int)> f)
        : source(s), index(i), onSend(std::move(f))
    {
    }
    ~Output() override { source.calls.push_back("closeOut " + std::to_string(index)); }
    juce::String getName() const override { return source.inputNames()[index]; }
    bool sendMessageNow(const juce::uint8* data, int size) override
    {
        source.calls.push_back("send " + std::to_string(index));
        onSend(data, size);
        return true;
    }
    FakeSource& source;
    int index;
    std::function<void(const juce::uint8*, int)> onSend;
};
} // namespace

std::unique_ptr<midi::InputPort> FakeSource::openInput(int index, midi::InputCallback* callback)
{
    calls.push_back("openIn " + std::to_string(index));
    auto in = std::make_unique<Input>(*this, index, callback);
    openInputs.push_back(in.get());
    return in;
}

std::unique_ptr<midi::OutputPort> FakeSource::openOutput(int index)
{
    calls.push_back("openOut " + std::to_string(index));
    return std::make_unique<Output>(*this, index, [this](const juce::uint8* d, int n) { onIdentify(d, n); });
}

bool FakeSource::sendDirect(int index, const juce::uint8* data, int size)
{
    calls.push_back("direct " + std::to_string(index));
    onIdentify(data, size);
    return true;
}

void FakeSource::onIdentify(const juce::uint8* data, int size)
{
    if (replyFromInput < 0 || size < 9 || data[5] != 0x08)
        return;
    std::vector<juce::uint8> reply{
        0xF0, 0x00, 0x20, 0x54, 0x7D, 0x09, (juce::uint8)(replyIndex >= 0 ? replyIndex : data[6])};
    if (replyFullSpeed && reply[6] != highSpeedIndex)
        reply.push_back(0x01);
    reply.push_back(0xF7);
    pending.push_back(reply);
}

void FakeSource::flush()
{
    while (!pending.empty())
    {
        auto reply = pending.front();
        pending.pop_front();
        for (auto* in : openInputs)
            if (in->index == replyFromInput && in->started)
                in->callback->handleIncomingMidiMessage(in, reply.data(), (int)reply.size());
    }
}

bool FakeSource::called(const std::string& call) const
{
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

int FakeSource::firstCall(const std::string& prefix) const
{
    for (size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0)
            return (int)i;
    return -1;
}
} // namespace testing_support
