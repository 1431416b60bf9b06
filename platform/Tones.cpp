#include "platform/Tones.h"
#include <juce_audio_devices/juce_audio_devices.h>

#if JUCE_WINDOWS
#include <windows.h>
#endif

namespace platform
{
namespace
{
#if !JUCE_WINDOWS
// A sine tone on the default audio output, opened for the tone only.
bool playSine(int frequencyHz, int durationMs)
{
    juce::AudioDeviceManager manager;
    if (manager.initialiseWithDefaultDevices(0, 1).isNotEmpty() || manager.getCurrentAudioDevice() == nullptr)
        return false;
    juce::ToneGeneratorAudioSource tone;
    tone.setFrequency(frequencyHz);
    tone.setAmplitude(0.25f);
    juce::AudioSourcePlayer player;
    player.setSource(&tone);
    manager.addAudioCallback(&player);
    juce::Thread::sleep(durationMs);
    manager.removeAudioCallback(&player);
    player.setSource(nullptr);
    return true;
}
#endif
} // namespace

void beep(int frequencyHz, int durationMs)
{
#if JUCE_WINDOWS
    Beep((DWORD)frequencyHz, (DWORD)durationMs);
#else
    if (!playSine(frequencyHz, durationMs))
        juce::Thread::sleep(durationMs);
#endif
}

void sleepMs(int ms)
{
    juce::Thread::sleep(ms);
}
} // namespace platform
