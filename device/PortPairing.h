#pragma once
#include "core/CustomMessage.h"
#include "midi/MidiPorts.h"
#include <mutex>
#include <vector>

// Finds the instrument's two MIDI ports: every candidate output is asked to
// identify itself, and the instrument answers through its own input, echoing
// the index of the output it heard. Scans run once per scan tick until a
// pairing is made (or the scan limit is reached).
//
// Threads and the lock: the scan runs on the message thread; identify replies
// come on the MIDI input thread. The fields both touch are guarded by the
// owner's mutex, which the owner lends at construction (`linkLock`): it is the
// same mutex that guards the owner's use of the paired ports, so that a port
// cannot be dropped while a frame is being sent through it. The message-thread
// functions take that mutex themselves, only around those fields; ports are
// opened, stopped and deleted outside it (stopping an input waits for a
// callback in flight, which may be waiting for the mutex), so they must be
// called without it. The functions marked "with the lock held" expect the
// caller to hold it.
class PortPairing final
{
public:
    // What the pairing tells its owner.
    struct Owner
    {
        virtual ~Owner() = default;
        // An event for the owner's listener: EvConnectButton, EvScanStarted,
        // EvDeviceFound and EvNoDevice on the message thread without the lock;
        // EvTwoDevices on the input thread with the lock held.
        virtual void postEvent(Event event) = 0;
        // Message thread, without the lock.
        virtual void startScanTicks(int periodMs) = 0; // the next tick ends this scan
        virtual void stopTicks() = 0;
        // Input thread, with the lock held: an identify reply outside a scan.
        virtual void unexpectedIdentifyReply() = 0;
        // Message thread, without the lock: an identify request about to leave
        // (for the trace).
        virtual void sending(const juce::uint8* data, int size) = 0;
    };

    static constexpr int kMaxScans = 100;

    // `linkLock` is the owner's mutex (see above); it must outlive the pairing.
    PortPairing(midi::PortSet& ports, midi::InputCallback& inputCallback, std::mutex& linkLock, Owner& owner,
                int quietMs = 2000);
    ~PortPairing();

    // Message thread, without the lock. A quiet scan goes on every `quietMs` without showing a
    // scan in progress, until an instrument answers; then it pairs as usual.
    void restartScan(bool quiet = false);
    void scanPorts();
    // The scan tick: pairs, scans again or gives up.
    void onScanTick();
    void closeUnpairedPorts();
    int getScanCount() const { return scanCount; }
    bool isQuiet() const { return quiet; }

    // Input thread, with the lock held.
    void onIdentifyReply(midi::InputPort* source, const juce::uint8* data, int length);

    // With the lock held.
    bool scanArmed() const { return armed; }
    bool fullSpeed() const { return speedFull; }
    midi::InputPort* input() const { return pairedInput; }
    midi::OutputPort* output() const { return pairedOutput; }
    // The scan's ordinary period (the scan ticks' own).
    void setScanPeriod(int periodMs) { scanMs = periodMs; }
    // Message thread, before a scan: only the output named `nameOrIndex` (its
    // whole name, or its number in the list of outputs) is asked to identify
    // itself, so only the instrument behind it can pair. Empty: every output.
    void choosePort(const juce::String& nameOrIndex) { chosenPort = nameOrIndex; }
    // Whether output `index` named `name` is the chosen one (or none was chosen).
    static bool isChosen(const juce::String& choice, int index, const juce::String& name);

    // A port whose name begins with this text (any letter case) is never used.
    static bool isExcludedPortName(const juce::String& name);

private:
    void dropPorts();
    void openInputs(const juce::StringArray& names);
    void sendIdentifyRequests(const juce::StringArray& names, bool replySeen);

    midi::PortSet& ports;
    midi::InputCallback& callback;
    std::mutex& linkLock; // the owner's, lent; see the class comment
    Owner& owner;

    int inputCount = 0, outputCount = 0;
    std::vector<std::unique_ptr<midi::InputPort>> inputs;
    std::vector<std::unique_ptr<midi::OutputPort>> outputs;
    std::unique_ptr<midi::InputPort> pairedInputOwner;
    std::unique_ptr<midi::OutputPort> pairedOutputOwner;
    midi::InputPort* pairedInput = nullptr;
    midi::OutputPort* pairedOutput = nullptr;
    bool speedFull = false;
    bool deviceFound = false;
    bool identifyReplySeen = false;
    bool armed = false;
    bool twoDevicesPosted = false; // at most one notice per scan
    bool answeredThisScan = false; // an identify reply arrived during this scan
    int pairedIndex = -1;          // the output index the pairing reply echoed
    int scanCount = 0;             // message thread only
    bool quiet = false;            // message thread only
    const int quietMs;
    int scanMs = 1000;
    juce::String chosenPort; // message thread only
};
