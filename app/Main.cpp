#include "app/Application.h"
#include "app/CommandLine.h"
#include "midi/SysexStream.h"
#include "platform/SingleInstance.h"
#include "platform/TextConversion.h"
#include <cstdio>
#include <cstdlib>

namespace
{
// The window needs a display: without one the framework would crash on the
// first window. X11 is loaded the way the framework loads it.
bool displayAvailable()
{
#if JUCE_LINUX || JUCE_BSD
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == 0)
        return false;
    juce::DynamicLibrary x11;
    if (!x11.open("libX11.so.6"))
        return false;
    using OpenDisplay = void* (*)(const char*);
    using CloseDisplay = int (*)(void*);
    auto openDisplay = reinterpret_cast<OpenDisplay>(x11.getFunction("XOpenDisplay"));
    auto closeDisplay = reinterpret_cast<CloseDisplay>(x11.getFunction("XCloseDisplay"));
    if (openDisplay == nullptr || closeDisplay == nullptr)
        return false;
    void* display = openDisplay(name);
    if (display == nullptr)
        return false;
    closeDisplay(display);
#endif
    return true;
}
} // namespace

#if JUCE_WINDOWS
#include <cstdio>
#include <windows.h>

namespace
{
// A Windows GUI program has no console of its own, so its log lines would be
// lost. Started from a command prompt, it writes them to that prompt's
// console; output already sent to a file or a pipe stays where it goes.
void attachToParentConsole()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN)
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (std::freopen("CONOUT$", "w", stdout) != nullptr)
        SetConsoleOutputCP(CP_UTF8); // the log is written as UTF-8
}
} // namespace
#endif

juce::JUCEApplicationBase* juce_CreateApplication();
juce::JUCEApplicationBase* juce_CreateApplication()
{
    return new ORVProgrammerV2Application();
}

int main(int argc, char* argv[])
{
#if JUCE_WINDOWS
    attachToParentConsole();
#endif
    platform::initialiseTextEncoding();
    midi::ignoreBrokenPipeSignal();
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add(juce::String::fromUTF8(argv[i]));
    const auto options = LaunchOptions::parse(args);
    // Help, the version and a wrong command line are answered before anything
    // needs a display or the instance name.
    if (const auto answer = options.answerBeforeWindow(TAMARIND_VERSION))
    {
        std::fputs(answer->standardOutput.toRawUTF8(), stdout);
        std::fputs(answer->standardError.toRawUTF8(), stderr);
        return answer->exitStatus;
    }
    if (!displayAvailable())
    {
        std::fputs("Tamarind needs a graphical display (DISPLAY is not set or cannot be opened).\n", stderr);
        return 1;
    }

    // A second launch hands its preset name to the running instance and
    // exits before anything is shown. An update file is handed over too, but
    // the running instance keeps its own and says so: this launch failed.
    platform::SingleInstance instance("Tamarind");
    if (!instance.claimOrHandOver(options.imagePath.isNotEmpty() ? options.imagePath : options.presetName))
    {
        if (options.imagePath.isEmpty())
            return 0;
        std::fprintf(stderr, "Tamarind: already running; it keeps its update file (close it to use %s)\n",
                     options.imagePath.toRawUTF8());
        return 1;
    }
    ORVProgrammerV2Application::singleInstance = &instance;

    juce::JUCEApplicationBase::createInstance = &juce_CreateApplication;
#if JUCE_WINDOWS
    // The framework reads the command line from the system here, and keeps
    // one instance through its own mechanism (the layer above stands aside).
    const int result = juce::JUCEApplicationBase::main();
#else
    const int result = juce::JUCEApplicationBase::main(argc, (const char**)argv);
#endif
    ORVProgrammerV2Application::singleInstance = nullptr;
    return result;
}
