// Construction, layout, painting and look of the main component.
#include "main/MainComponentParts.h"
#include "main/ScreenSaver.h"
#include "platform/SafeFile.h"
#include "platform/TextConversion.h"
#include "platform/WorkFolder.h"
#include "ui/Pictures.h"
#include "ui/UpdateDialogs.h"

namespace
{
// "Microsoft YaHei" where the system has it, else the platform's sans-serif face.
juce::String uiTypefaceName()
{
    static const juce::String name = []
    {
        const auto available = juce::Font::findAllTypefaceNames();
        return available.contains("Microsoft YaHei") ? juce::String("Microsoft YaHei")
                                                     : juce::Font::getDefaultSansSerifFontName();
    }();
    return name;
}
} // namespace

juce::Font MainComponent::uiFont()
{
    return juce::Font(uiTypefaceName(), 16.0f, juce::Font::plain);
}

MainComponent::MainComponent() : MainComponent(Options()) {}

MainComponent::MainComponent(const Options& options) : juce::Thread("Check sum thread")
{
    modalDialogs = options.modalDialogs;
    echoToStdout = options.echoToStdout;

    builtInDrivers = deviceimages::builtInDrivers();
    helpViewer = std::make_unique<platform::DocumentViewer>();
    localPreset = std::make_unique<CLocalPreset>();
    tooltipWindow = std::make_unique<juce::TooltipWindow>();
    // The settings stores (members) are empty: nothing is read at start-up.

    if (options.ports == nullptr)
        ownedPorts = std::make_unique<midi::PortSet>(); // no ports: the owner gives them
    portSet = options.ports != nullptr ? options.ports : ownedPorts.get();
    programFolder =
        options.programFolder.isNotEmpty() ? options.programFolder : platform::currentProgramFolder();
    helpFilePath = programFolder + "Help.pdf";

    // The log's copies: standard output, and a file beside the working files.
    logFile = juce::File(UpdateController::workingPathIn(options.workingFolder, "/Tamarind.log"));
    const auto logFileProblem = logOutput.setCopies(echoToStdout, logFile);

    UpdateController::Settings settings;
    settings.ports = portSet;
    settings.periods = options.periods;
    settings.programFolder = programFolder;
    settings.imagePath = options.imagePath;
    settings.workingFolder = options.workingFolder;
    services = options.services != nullptr ? options.services : &platform::Services::system();
    settings.services = services;
    UpdateView& view = *this;
    controller = std::make_unique<UpdateController>(view, logOutput, settings);
    if (options.trace)
    {
        trace = std::make_unique<SysexTrace>(
            juce::File(UpdateController::workingPathIn(options.workingFolder, "/Tamarind-trace.log")));
        controller->getLink().setTrace(trace.get());
    }
    controller->getLink().showMessage = [](const juce::String& text)
    { juce::AlertWindow::showMessageBoxAsync(juce::MessageBoxIconType::NoIcon, {}, text); };

    juce::LookAndFeel::setDefaultLookAndFeel(this);

    createControls();

    // The launcher ends with a failure when the desktop has no viewer for the
    // guide: the user, who sees nothing open, is told on the status line where
    // the guide is. This is called on the message thread.
    helpViewer->onLauncherFailed = [this](int status)
    {
        logOutput.PrintA(
            "The viewer for the help file could not be started (its launcher ended with status %d).\n",
            status);
        tellNoViewer();
    };

    logOutput.PrintA("Test!\n");
    if (logFileProblem.isEmpty())
        logOutput.PrintA("Log file: %s\n", logFile.getFullPathName().toRawUTF8());
    else
        logOutput.PrintA("No log file: %s.\n", logFileProblem.toRawUTF8());
    if (trace != nullptr && trace->fileProblem().isEmpty())
        logOutput.PrintA("SysEx trace: %s\n", trace->getFile().getFullPathName().toRawUTF8());
    else if (trace != nullptr)
        logOutput.PrintA("No SysEx trace: %s.\n", trace->fileProblem().toRawUTF8());
    // The link starts with byte addressing although the Word toggle is on;
    // the two agree again at the first click of either toggle or a preset load.
    controller->start();
}

MainComponent::~MainComponent()
{
    stopThread(5000);
    progressMirror.stopTimer();
    controller.reset();
    trace.reset();
    screenSaverBlock.reset();
    logOutput.AttachEditor(nullptr);
    juce::LookAndFeel::setDefaultLookAndFeel(nullptr);
}

juce::String MainComponent::getLogText() const
{
    return logEditor->getText();
}

bool MainComponent::isUpdating() const
{
    return controller->isUpdating();
}

void MainComponent::paint(juce::Graphics& g)
{
    g.fillAll(juce::Colours::white);
    paintPanelHeader(g, backgroundImage, logoDrawable.get(), 572, 284);
}

void MainComponent::resized()
{
    if (checksumLabel != nullptr)
        checksumLabel->setBounds(24, 524, getWidth() - 32, 24);
}

// ---- look and feel ---------------------------------------------------------------

juce::Font MainComponent::getPopupMenuFont()
{
    return uiFont();
}

juce::Font MainComponent::getComboBoxFont(juce::ComboBox&)
{
    return uiFont();
}

void MainComponent::drawCallOutBoxBackground(juce::CallOutBox& box, juce::Graphics& g, const juce::Path& path,
                                             juce::Image& cachedImage)
{
    if (cachedImage.isNull())
    {
        cachedImage = juce::Image(juce::Image::ARGB, box.getWidth(), box.getHeight(), true);
        juce::Graphics g2(cachedImage);
        juce::DropShadow(juce::Colours::black.withAlpha(0.3f), 30, {0, 8}).drawForPath(g2, path);
    }
    g.setColour(juce::Colours::black);
    g.drawImageAt(cachedImage, 0, 0);
    g.setColour(juce::Colour(0xb3c1d9fd));
    g.fillPath(path);
    g.setColour(juce::Colour(0xccffffff));
    g.strokePath(path, juce::PathStrokeType(2.0f));
}

void MainComponent::drawProgressBar(juce::Graphics& g, juce::ProgressBar& bar, int width, int height,
                                    double progress, const juce::String& textToShow)
{
    g.setColour(bar.findColour(juce::ProgressBar::backgroundColourId));
    g.fillRect(0, 0, width, height);
    if (progress >= 0.0 && progress <= 1.0)
    {
        g.setColour(bar.findColour(juce::ProgressBar::foregroundColourId));
        g.fillRect(0.0f, 0.0f, (float)(width * progress), (float)height);
    }
    if (textToShow.isNotEmpty())
    {
        g.setColour(juce::Colours::white);
        g.setFont((float)height * 0.8f);
        g.drawText(textToShow + juce::String::formatted("%0.2f%%", progress * 100.0), 0, 0, width, height,
                   juce::Justification::centred, false);
    }
}
