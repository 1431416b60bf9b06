#include "cli/Commands.h"
#include "cli/ConsoleView.h"
#include "controller/UpdateController.h"
#include "platform/FolderLock.h"
#include "platform/SafeFile.h"
#include "platform/WorkFolder.h"
#include "update/ImageReport.h"
#include "virtual-piano/VirtualMidiSource.h"
#include <iostream>

namespace cli
{
namespace
{
using Phase = UpdateController::Phase;

// Ports, log, view and controller of one command, with the message loop run
// until what the command waits for has happened.
struct Session
{
    Session(const Options& options, const juce::String& imagePath = {})
        : view(options.yes, options.log), waitMs(options.waitSeconds * 1000), port(options.port)
    {
        ports = options.midi.isNotEmpty() ? midi::createPortSetFromList(options.midi)
                                          : midi::createPortSetFromEnvironment();
        log.AttachEditor(&view);
        UpdateController::Settings settings;
        settings.ports = ports.get();
        settings.programFolder = platform::currentProgramFolder();
        settings.imagePath = imagePath;
        settings.workingFolder = options.workFolder;
        settings.port = options.port;
        controller = std::make_unique<UpdateController>(view, log, settings);
        if (options.trace)
        {
            trace = std::make_unique<SysexTrace>(
                juce::File(UpdateController::workingPathIn(options.workFolder, "/Tamarind-trace.log")));
            controller->getQueue().link().setTrace(trace.get());
            if (trace->fileProblem().isEmpty())
                std::cerr << "SysEx trace: " << trace->getFile().getFullPathName() << std::endl;
            else
                std::cerr << "No SysEx trace: " << trace->fileProblem() << "." << std::endl;
        }
        controller->start();
    }
    ~Session()
    {
        controller.reset();
        trace.reset();
        log.AttachEditor(nullptr);
    }

    bool runUntil(const std::function<bool()>& done, int timeoutMs)
    {
        auto* mm = juce::MessageManager::getInstance();
        const auto end = juce::Time::getMillisecondCounter() + (juce::uint32)timeoutMs;
        while (!done())
        {
            if (juce::Time::getMillisecondCounter() > end)
                return done();
            mm->runDispatchLoopUntil(10);
        }
        mm->runDispatchLoopUntil(10); // the last log lines
        return true;
    }

    // Connected and checked, or the connection ended; false after the wait.
    bool connect()
    {
        const bool settled = runUntil(
            [this]
            {
                const auto p = controller->phase();
                return p == Phase::ready || p == Phase::unrecognised || p == Phase::connectionFailed ||
                       p == Phase::notConnected;
            },
            waitMs + 30000);
        if (controller->phase() == Phase::ready)
            return true;
        std::cerr << (settled ? "tamarind-cli: " + view.lastStatus.toStdString()
                              : std::string("tamarind-cli: no instrument answered"))
                  << std::endl;
        return false;
    }

    // Waits for the pairing first: a scan may go on long after the wait.
    bool paired()
    {
        if (runUntil([this] { return controller->phase() != Phase::scanning; }, waitMs))
            return true;
        std::cerr << "tamarind-cli: no instrument answered within " << waitMs / 1000 << " s" << std::endl;
        return false;
    }

    // Paired, connected and checked, with one instrument only; else the exit code.
    int connectOne()
    {
        if (!chosenPortPresent())
            return noInstrument;
        if (!paired() || !connect())
            return noInstrument;
        return oneInstrument() ? ok : twoInstruments;
    }

    bool chosenPortPresent()
    {
        const auto names = ports->outputNames();
        for (int i = 0; i < names.size(); ++i)
            if (PortPairing::isChosen(port, i, names[i]))
                return true;
        std::cerr << "tamarind-cli: no output port \"" << port << "\"; tamarind-cli ports lists them"
                  << std::endl;
        return false;
    }

    // Two instruments answered: which one would be written is not the
    // user's choice, so nothing is done.
    bool oneInstrument()
    {
        if (!view.warned)
            return true;
        std::cerr << "tamarind-cli: more than one instrument answered; choose one with --port NAME|NUMBER "
                  << "(tamarind-cli ports lists the outputs)" << std::endl;
        return false;
    }

    int runJobs(std::vector<OperationRecord> list)
    {
        if (!controller->runJobs(std::move(list)))
            return failed;
        runUntil([this] { return view.ended; }, 24 * 3600 * 1000);
        return view.endedWell ? ok : failed;
    }

    ConsoleView view;
    CLogOutput log;
    std::unique_ptr<midi::PortSet> ports;
    std::unique_ptr<SysexTrace> trace;
    std::unique_ptr<UpdateController> controller;
    const int waitMs;
    const juce::String port;
};
} // namespace

int ports(const Options& options)
{
    Session s(options);
    std::cout << "inputs:\n";
    const auto inputs = s.ports->inputNames();
    for (int i = 0; i < inputs.size(); ++i)
        std::cout << "  " << i << ": " << inputs[i] << "\n";
    std::cout << "outputs:\n";
    const auto outputs = s.ports->outputNames();
    for (int i = 0; i < outputs.size(); ++i)
        std::cout << "  " << i << ": " << outputs[i] << "\n";
    const bool connected = s.chosenPortPresent() && s.paired() && s.connect();
    auto& link = s.controller->getQueue().link();
    if (link.isPaired())
        std::cout << "instrument: " << link.pairedOutputName()
                  << (link.isFullSpeed() ? " (full speed)\n" : " (high speed)\n");
    else
        std::cout << "instrument: none\n";
    if (!connected)
        return noInstrument;
    if (!s.oneInstrument())
        return twoInstruments;
    std::cout << "flash:      " << s.controller->flashModel() << "\n"
              << "version:    " << s.controller->deviceVersion() << "\n"
              << "product:    " << s.controller->deviceProduct() << std::endl;
    return ok;
}

int info(const juce::String& file)
{
    const auto report = describeImage(file);
    std::cout << formatImageReport(report) << std::flush;
    return report.result;
}

// Whether another program holds the working folder's update lock; said on
// standard error. Looked at before anything is sent to the piano.
bool folderBusy(const Options& options)
{
    const auto path = UpdateController::workingPathIn(options.workFolder, platform::kFolderLockName);
    auto result = platform::FolderLock::Result::failed;
    juce::String problem;
    if (platform::FolderLock::take(path, result, problem) != nullptr ||
        result != platform::FolderLock::Result::busy)
        return false; // taken and given back at once; a failure is told by the update itself
    std::cerr << "tamarind-cli: another update is running from the same working folder ("
              << platform::printablePath(path) << " is locked); give each piano its own --work FOLDER"
              << " to update several at once" << std::endl;
    return true;
}

int update(const Options& options, const juce::String& file)
{
    if (folderBusy(options))
        return busy;
    Session s(options, file);
    if (const int why = s.connectOne(); why != ok)
        return why;
    if (!s.controller->updateAllowed())
        return imageRefused; // its status line says why
    s.controller->requestUpdate();
    if (!s.controller->isUpdating())
    {
        const auto& status = s.view.lastStatus;
        if (status == "Another update is running on this computer.")
            return busy;
        if (status == "Found an error can't be fixed in the last update." ||
            status == "Can't lock the working folder." ||
            status == "The working folder is not yours alone. Nothing was changed." ||
            status == stepFailureText(StepFailure::backupOfAnotherPiano))
            return failed;
        return declined;
    }
    s.runUntil([&] { return !s.controller->isUpdating(); }, 24 * 3600 * 1000);
    return s.view.succeeded ? ok : failed;
}

int read(const Options& options, juce::int64 address, juce::int64 length, const juce::String& out)
{
    Session s(options);
    if (const int why = s.connectOne(); why != ok)
        return why;
    return s.runJobs({jobs::readToFile(out, 0, address, length, 0, 100)});
}

int verify(const Options& options, const juce::String& file, juce::int64 address)
{
    juce::int64 size = 0;
    if (platform::inspectFile(file, true, &size) != platform::FileKind::regular || size <= 0)
    {
        std::cerr << "tamarind-cli: " << file << " is not a file to compare with" << std::endl;
        return usage;
    }
    Session s(options);
    if (const int why = s.connectOne(); why != ok)
        return why;
    const auto readBack = s.controller->workingPath("/orv_verify_read.tmp");
    return s.runJobs(
        {jobs::readToFile(readBack, 0, address, size, 0, 100), jobs::compareFiles(file, 0, readBack)});
}
} // namespace cli
