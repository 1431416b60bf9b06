#include "app/Application.h"
#include "app/CommandLine.h"
#include "main/MainOptions.h"
#include "platform/SafeFile.h"
#include "platform/SingleInstance.h"
#include "ui/Pictures.h"
#include "virtual-piano/VirtualMidiSource.h"

platform::SingleInstance* ORVProgrammerV2Application::singleInstance = nullptr;

ORVProgrammerV2Application::~ORVProgrammerV2Application()
{
    mainWindow.reset();
}

// On Linux the project's own per-user layer alone keeps one instance: the
// framework's lock there is machine-wide, so any user's instance (or any
// test's) would silently stop every other launch. Elsewhere the framework
// keeps one instance per user.
bool ORVProgrammerV2Application::moreThanOneInstanceAllowed()
{
#if JUCE_LINUX || JUCE_BSD
    return true;
#else
    return false;
#endif
}

void ORVProgrammerV2Application::initialise(const juce::String&)
{
    // The arguments that are no options name one preset, spaces included, or
    // the update file (main() has refused a bad one).
    const auto launch = LaunchOptions::parse(getCommandLineParameterArray());
    const auto commandLine = launch.presetName;
    const bool trace = launch.trace || juce::SystemStats::getEnvironmentVariable("TAMARIND_TRACE", {}) == "1";
    const auto title = getApplicationName() + "(V" + getApplicationVersion() + ")";
#if JUCE_WINDOWS
    wineRepaint = std::make_unique<WineRepaintPump>();
#endif
    mainWindow = std::make_unique<MainWindow>(title, launch.imagePath, trace);
    // Why this launch runs beside a program that holds the instance name.
    if (singleInstance != nullptr && singleInstance->getNote().isNotEmpty())
        if (auto* main = mainWindow->getMainComponent())
            main->logOutput.PrintA("%s\n", singleInstance->getNote().toRawUTF8());
    if (commandLine.isNotEmpty())
        mainWindow->handleCommandLine(commandLine);

    if (singleInstance != nullptr)
        singleInstance->startListening(
            [](const juce::String& text)
            {
                juce::MessageManager::callAsync(
                    [text]
                    {
                        if (auto* app = juce::JUCEApplicationBase::getInstance())
                            app->anotherInstanceStarted(text);
                    });
            });
}

void ORVProgrammerV2Application::shutdown()
{
    // Also reached by a second instance that never initialised.
    if (singleInstance != nullptr)
        singleInstance->stopListening();
    mainWindow.reset();
#if JUCE_WINDOWS
    wineRepaint.reset();
#endif
}

void ORVProgrammerV2Application::anotherInstanceStarted(const juce::String& commandLine)
{
    if (commandLine.isNotEmpty() && mainWindow != nullptr)
        mainWindow->handleCommandLine(commandLine);
}

ORVProgrammerV2Application::MainWindow::MainWindow(const juce::String& title, const juce::String& imagePath,
                                                   bool trace)
    : juce::DocumentWindow(title, juce::Colour(0xffd3d3d3),
                           juce::DocumentWindow::minimiseButton | juce::DocumentWindow::closeButton, true)
{
    setUsingNativeTitleBar(false);
    // The ports named by TAMARIND_MIDI, the in-process virtual piano among them.
    ports = midi::createPortSetFromEnvironment();
    MainComponent::Options options;
    options.ports = ports.get();
    options.imagePath = imagePath;
    options.trace = trace;
    mainComponent = new MainComponent(options);
    setContentOwned(mainComponent, true);
    centreWithSize(getWidth(), getHeight());
    setVisible(true);
    setResizable(false, false);
    // The window's icon for the desktop (the task bar, the window list); the
    // drawn title bar stays as it is.
    if (auto* peer = getPeer())
        peer->setIcon(pictures::icon());
}

ORVProgrammerV2Application::MainWindow::~MainWindow()
{
    // The content component is owned by the window and deleted with it.
    clearContentComponent();
    mainComponent = nullptr;
}

void ORVProgrammerV2Application::MainWindow::closeButtonPressed()
{
    if (mainComponent != nullptr && mainComponent->isUpdating())
        return; // an update must not be interrupted from here
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}

void ORVProgrammerV2Application::MainWindow::handleCommandLine(const juce::String& text)
{
    if (mainComponent == nullptr)
        return;
    if (!LaunchOptions::namesUpdateFile(text))
    {
        mainComponent->loadPreset(text);
        return;
    }
    // A later launch named an update file. This window keeps the one it was
    // started with: the versions it shows and any update that runs belong to
    // that file, and switching mid-session could flash another one than the
    // user checked. It says so instead.
    const auto note =
        "The update file " + platform::printablePath(text.trim().unquoted()) +
        " was not taken: this window keeps its own. Close Tamarind and start it with that file.";
    mainComponent->logOutput.PrintA("%s\n", note.toRawUTF8());
    toFront(true);
    juce::AlertWindow::showMessageBoxAsync(juce::MessageBoxIconType::InfoIcon, "Tamarind", note);
}
