#pragma once
#include "device/CustomMessage.h"
#include "device/SysexCodec.h"
#include "midi/MidiPorts.h"
#include "ui/LogOutput.h"
#include <mutex>
#include <vector>

// The device link: pairs the instrument's MIDI ports and runs the exchanges
// with it. The message thread starts scans and operations and runs the timer;
// replies are handled on the MIDI input thread. One mutex serialises the two.
class Communication : public midi::InputCallback, public juce::Timer
{
public:
    // Tick periods. The product uses the defaults; tests may shrink them, or
    // set manualTicks and call timerCallback() themselves.
    struct TickPeriods
    {
        int scanMs = 1000;
        int transferMs = 500;
        int readMs = 80;
        bool manualTicks = false;
    };

    static constexpr int kMaxScans = 100;
    static constexpr int kSilentTicksForTimeout = 9;

    Communication(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports,
                  TickPeriods periods);
    Communication(CLogOutput* log, juce::MessageListener* listener, midi::PortSet& ports)
        : Communication(log, listener, ports, TickPeriods())
    {
    }
    ~Communication() override;

    // Scanning and pairing.
    void restartScan();
    void scanPorts();
    void timerCallback() override;

    // MIDI input thread.
    void handleIncomingMidiMessage(midi::InputPort* source, const juce::uint8* data, int size) override;
    void handlePartialSysexMessage(midi::InputPort*, const juce::uint8*, int) override {}

    // A port whose name begins with this text (any letter case) is never used.
    static bool isExcludedPortName(const juce::String& name);

    // Observers.
    bool isFullSpeed() const;
    bool isPaired() const;
    int getScanCount() const { return scanCount; }
    bool isScanArmed() const;
    int currentTickPeriod() const { return tickPeriod.load(); } // 0: timer stopped
    juce::String pairedOutputName() const;

private:
    void armTimer(int periodMs);
    void disarmTimer();
    void closeUnpairedPorts();
    void handleIdentifyReply(midi::InputPort* source, const juce::uint8* data, int length);
    void post(int code, int p1 = 0, int p2 = 0, int p3 = 0) { postEvent(listener, code, p1, p2, p3); }

    CLogOutput* const log;
    juce::MessageListener* const listener;
    midi::PortSet& ports;
    const TickPeriods periods;

    mutable std::mutex lock; // the one lock of the link's shared state
    std::atomic<int> tickPeriod{0};

    // Scan state (shared with the input thread under `lock`).
    int inputCount = 0, outputCount = 0;
    std::vector<std::unique_ptr<midi::InputPort>> inputs;
    std::vector<std::unique_ptr<midi::OutputPort>> outputs;
    std::unique_ptr<midi::InputPort> pairedInputOwner;
    std::unique_ptr<midi::OutputPort> pairedOutputOwner;
    midi::InputPort* pairedInput = nullptr;
    midi::OutputPort* pairedOutput = nullptr;
    bool fullSpeed = false;
    bool deviceFound = false;
    bool identifyReplySeen = false;
    bool scanArmed = false;
    int scanCount = 0; // message thread only

    JUCE_DECLARE_NON_COPYABLE(Communication)
};
