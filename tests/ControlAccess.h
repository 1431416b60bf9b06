#pragma once
#include "main/MainComponentParts.h"

namespace testing_support
{
// A control of the main component, found by the name of its member.
template <typename T> T* control(juce::Component& main, const char* name)
{
    auto* c = dynamic_cast<T*>(main.findChildWithID(name));
    jassert(c != nullptr);
    return c;
}
template <typename T, typename Owner> T* control(const std::unique_ptr<Owner>& main, const char* name)
{
    return control<T>(*main, name);
}

// After a failure the user has a way on: a control to press, or the program
// looks for the piano again by itself.
inline bool wayOn(MainComponent& main)
{
    using Phase = UpdateController::Phase;
    const auto phase = main.getController().phase();
    const bool looking = phase == Phase::scanning || phase == Phase::identifying ||
                         phase == Phase::readingVersion || phase == Phase::notConnected;
    return !main.isUpdating() &&
           (looking || control<juce::Button>(main, "connectStatusButton")->isEnabled() ||
            control<juce::Button>(main, "updateButton")->isEnabled());
}
template <typename Owner> bool wayOn(const std::unique_ptr<Owner>& main)
{
    return wayOn(*main);
}
} // namespace testing_support
