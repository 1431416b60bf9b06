#pragma once
#include <juce_core/juce_core.h>

// A value as JSON on one line that any JSON reader takes. The framework's
// writer escapes the BEL character as "\a", which is no JSON escape; here it
// becomes "\u0007". Texts from outside (a port's name) may hold it.
juce::String toJsonLine(const juce::var& value);
