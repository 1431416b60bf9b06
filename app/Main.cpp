#include "app/Application.h"
#include "midi/SysexStream.h"
#include "platform/SingleInstance.h"
#include "platform/TextConversion.h"

juce::JUCEApplicationBase* juce_CreateApplication();
juce::JUCEApplicationBase* juce_CreateApplication()
{
    return new ORVProgrammerV2Application();
}

int main(int argc, char* argv[])
{
    platform::initialiseTextEncoding();
    midi::ignoreBrokenPipeSignal();

    // A second launch hands its command line to the running instance and
    // exits before anything is shown.
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add(juce::String::fromUTF8(argv[i]));
    platform::SingleInstance instance("Tamarind");
    if (!instance.claimOrHandOver(args.joinIntoString(" ")))
        return 0;
    ORVProgrammerV2Application::singleInstance = &instance;

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
    const int result = juce::JUCEApplicationBase::main(argc, (const char**)argv);
    ORVProgrammerV2Application::singleInstance = nullptr;
    return result;
}
