#pragma once
#include "main/MainComponent.h"

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
} // namespace testing_support
