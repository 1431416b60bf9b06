#include "cli/Commands.h"
#include "cli/ConsoleView.h"
#include "controller/UpdateController.h"
#include "core/JsonText.h"
#include "device/SysexCodec.h"
#include "platform/FolderLock.h"
#include "platform/SafeFile.h"
#include "platform/WorkFolder.h"
#include "platform/WorkingFiles.h"
#include "update/ImageReport.h"
#include "update/UpdateHistory.h"
#include "update/UpdateImage.h"
#include "virtual-piano/VirtualMidiSource.h"
#include <charconv>
#include <iostream>
#include <juce_cryptography/juce_cryptography.h>

#if !(JUCE_MAC || JUCE_IOS)
namespace juce
{
// The framework's wait for the next message, on which its own Linux and
// Windows message loops are built: it sleeps until a message or an event of
// the loop arrives, delivers it and returns true (with `true`: returns false
// at once when nothing is pending). MessageManager offers only a loop that
// runs until quit, once, or one that polls every millisecond.
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
} // namespace juce
#endif

namespace cli
{
const ExitText exitTexts[10] = {
    {ok, "done (info: the image passes its check)"},
    {failed, "failed: the update, read or verify did not succeed"},
    {usage, "wrong command line (nothing was sent to the instrument)"},
    {noInstrument, "no instrument answered, its flash was not recognised, or it stopped answering"},
    {imageRefused, "the update image was refused (info: it does not pass its check)"},
    {declined, "a question was answered NO, or nobody could be asked (see --yes)"},
    {busy, "another update is running from the same working folder"},
    {twoInstruments, "more than one instrument answered and none was chosen with --port"},
    {notNewer, "the image is older than the instrument's firmware, or the same version\n"
               "     (see --allow-older and --allow-reinstall)"},
    {interrupted, "interrupted (Ctrl-C or a request to end); the message says whether\n"
                  "     the firmware was touched (the next update finishes an unfinished one)"},
};

namespace
{
std::atomic<int> interruptCount{0};
} // namespace

int interruptsSoFar()
{
    return interruptCount.load();
}

void interruptRequested()
{
    ++interruptCount;
    // Wakes the wait for the next message.
    juce::MessageManager::callAsync([] {});
}

int reportInterruption(const Interrupted& what, Report& report)
{
    const bool unfinished = what.lockLeft && (what.wrote || what.repairing);
    const auto* state = unfinished ? "unfinished" : what.wrote && !what.lockLeft ? "updated" : "unchanged";
    report.set("interrupted", true);
    report.set("firmware", state);
    if (unfinished)
        return report.fail(
            interrupted,
            "interrupted while the piano's firmware was being rewritten: it is unfinished, and the "
            "piano may not start normally until it is finished. The next 'tamarind-cli update' "
            "finishes it; the lock and the backup of the piano's data region are kept in " +
                what.workFolder);
    if (what.wrote)
        return report.fail(
            interrupted, "interrupted after the update had ended: the new firmware was written and checked");
    if (what.lockLeft)
        return report.fail(interrupted,
                           "interrupted before anything was written to the piano: its firmware is "
                           "as it was. The next 'tamarind-cli update' checks the piano against the "
                           "backup of its data region and updates it");
    return report.fail(interrupted,
                       "interrupted; nothing was written to the piano: its firmware is as it was");
}

int Report::fail(int code, const juce::String& text)
{
    error = text;
    std::cerr << "tamarind-cli: " << text << std::endl;
    return code;
}

void Report::event(const juce::var& object) const
{
    if (json)
        std::cout << toJsonLine(object) << std::endl;
}

juce::String Report::document(const juce::String& command, int exitCode) const
{
    juce::DynamicObject::Ptr object = new juce::DynamicObject();
    if (command.isNotEmpty())
        object->setProperty("command", command);
    for (const auto& p : fields->getProperties())
        object->setProperty(p.name, p.value);
    object->setProperty("exit", exitCode);
    if (error.isNotEmpty())
        object->setProperty("error", error);
    return toJsonLine(juce::var(object.get()));
}

std::optional<juce::int64> parseNumber(const juce::String& text, const char* what, juce::String& problem)
{
    const auto s = text.toStdString();
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const char* first = s.data() + (hex ? 2 : 0);
    const char* last = s.data() + s.size();
    juce::int64 value = 0;
    const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    // from_chars takes a sign; a number of bytes has none.
    if (first == last || *first == '-' || *first == '+' || end != last ||
        error == std::errc::invalid_argument)
        problem = juce::String(what) + ": \"" + text + "\" is not a number (decimal, or hexadecimal with 0x)";
    else if (error == std::errc::result_out_of_range)
        problem = juce::String(what) + ": " + text + " is too large";
    if (problem.isNotEmpty())
        return std::nullopt;
    return value;
}

namespace
{
using Phase = UpdateController::Phase;

juce::String hex(juce::int64 value)
{
    return "0x" + juce::String::toHexString(value).toUpperCase();
}

// A file named on the command line, from the current folder.
juce::String fullPath(const juce::String& word)
{
    return juce::File::getCurrentWorkingDirectory().getChildFile(word).getFullPathName();
}

juce::File workFolderOf(const Options& options)
{
    return juce::File(UpdateController::workingPathIn(options.workFolder, "/Tamarind.log"))
        .getParentDirectory();
}

// The working folder given with --work is created (0700) when missing.
bool workFolderReady(const Options& options, Report& report)
{
    if (options.workFolder.isEmpty())
        return true;
    const juce::File folder(options.workFolder);
    const auto kind = platform::inspectFile(folder.getFullPathName(), true);
    if (kind == platform::FileKind::missing && platform::createPrivateFolder(folder))
        return true;
    if (kind == platform::FileKind::folder)
        return true;
    report.fail(usage, "--work: " + platform::printablePath(folder.getFullPathName()) +
                           (kind == platform::FileKind::missing
                                ? juce::String(" cannot be created")
                                : " is " + juce::String(platform::describeKind(kind))));
    return false;
}

// Ports, log, view and controller of one command, with the message loop run
// until what the command waits for has happened.
struct Session
{
    Session(const Options& options, Report& r, const juce::String& imagePath, bool checkImage, bool events)
        : report(r), view(options, events ? &r : nullptr), waitMs(options.waitSeconds * 1000),
          port(options.port)
    {
        ports = options.midi.isNotEmpty() ? midi::createPortSetFromList(options.midi)
                                          : midi::createPortSetFromEnvironment();
        log.AttachEditor(&view);
        // The log file, as the window writes it.
        const auto logFile = juce::File(UpdateController::workingPathIn(options.workFolder, "/Tamarind.log"));
        const auto logProblem = log.setCopies(false, logFile);
        UpdateController::Settings settings;
        settings.ports = ports.get();
        settings.programFolder = platform::currentProgramFolder();
        settings.imagePath = imagePath;
        settings.workingFolder = options.workFolder;
        settings.port = options.port;
        settings.checkImage = checkImage;
        controller = std::make_unique<UpdateController>(view, log, settings);
        log.PrintA("tamarind-cli\n");
        if (logProblem.isEmpty())
            log.PrintA("Log file: %s\n", logFile.getFullPathName().toRawUTF8());
        else
            log.PrintA("No log file: %s.\n", logProblem.toRawUTF8());
        if (options.trace)
        {
            trace = std::make_unique<SysexTrace>(
                juce::File(UpdateController::workingPathIn(options.workFolder, "/Tamarind-trace.log")));
            controller->getLink().setTrace(trace.get());
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
        log.FlushCopies();
        log.AttachEditor(nullptr);
    }

    // Sleeps until a message arrives and delivers it. macOS's framework has
    // no such call outside its run loop: there the wait is a short one.
    static void waitForMessage()
    {
#if JUCE_MAC || JUCE_IOS
        juce::MessageManager::getInstance()->runDispatchLoopUntil(5);
#else
        if (!juce::dispatchNextMessageOnSystemQueue(false))
            juce::Thread::sleep(1); // the loop's own error path: never spin
#endif
    }

    // Delivers messages until `done`, sleeping while none comes; false when
    // `timeoutMs` passed first. A timer's message ends the wait at the
    // deadline, so an idle wait (a silent instrument, a long job) takes no
    // processor time.
    bool runUntil(const std::function<bool()>& done, int timeoutMs)
    {
        struct Deadline : juce::Timer
        {
            bool passed = false;
            void timerCallback() override
            {
                passed = true;
                stopTimer();
            }
        } deadline;
        deadline.startTimer(juce::jmax(1, timeoutMs));
        while (!done())
        {
            checkInterrupt();
            if (deadline.passed)
                return false;
            waitForMessage();
        }
        juce::MessageManager::getInstance()->runDispatchLoopUntil(10); // the last log lines
        return true;
    }

    // A Ctrl-C since the last look ends the command (by throwing
    // Interrupted), except the first one while the flash is being erased or
    // programmed: stopping there leaves the firmware unfinished, so it is
    // only said, and the update goes on until another one comes.
    void checkInterrupt()
    {
        const int count = interruptCount.load();
        if (count == interruptsSeen)
            return;
        const bool first = !warnedWhileWriting && count - interruptsSeen == 1;
        interruptsSeen = count;
        if (first && controller->writingFlash())
        {
            warnedWhileWriting = true;
            std::cerr
                << "tamarind-cli: the piano's flash is being written; stopped now, its firmware would stay "
                   "unfinished until the next update. The update goes on; press Ctrl-C again to stop anyway."
                << std::endl;
            return;
        }
        Interrupted what;
        what.wrote = controller->flashTouched();
        what.repairing = repairing;
        what.lockLeft = controller->repairPending();
        what.workFolder =
            platform::printablePath(juce::File(controller->workingPath(platform::kUpdateLockFile))
                                        .getParentDirectory()
                                        .getFullPathName());
        throw what;
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
        report.fail(noInstrument, settled ? view.lastStatus : juce::String("no instrument answered"));
        return false;
    }

    // Waits for the pairing first: a scan may go on long after the wait.
    bool paired()
    {
        if (runUntil([this] { return controller->phase() != Phase::scanning; }, waitMs))
            return true;
        report.fail(noInstrument, "no instrument answered within " + juce::String(waitMs / 1000) + " s");
        return false;
    }

    // Paired, connected and checked, with one instrument only; else the exit code.
    int connectOne()
    {
        if (!chosenPortPresent())
            return noInstrument;
        if (!paired() || !connect())
            return noInstrument;
        if (!oneInstrument())
            return twoInstruments;
        auto& link = controller->getLink();
        report.set("input", link.pairedInputName());
        report.set("output", link.pairedOutputName());
        report.set("flash", controller->flashModel());
        report.set("deviceVersion", controller->deviceVersion());
        return ok;
    }

    bool chosenPortPresent()
    {
        const auto names = ports->outputNames();
        for (int i = 0; i < names.size(); ++i)
            if (PortPairing::isChosen(port, i, names[i]))
                return true;
        report.fail(noInstrument, "no output port \"" + port + "\"; tamarind-cli ports lists them");
        return false;
    }

    // Two instruments answered: which one would be written is not the
    // user's choice, so nothing is done.
    bool oneInstrument()
    {
        if (!view.warned)
            return true;
        report.fail(twoInstruments, "more than one instrument answered; choose one with --port NAME|NUMBER "
                                    "(tamarind-cli ports lists the outputs)");
        return false;
    }

    bool runJobs(std::vector<OperationRecord> list)
    {
        if (!controller->runJobs(std::move(list)))
            return false;
        runUntil([this] { return view.ended; }, 24 * 3600 * 1000);
        return view.endedWell;
    }

    // The range fits the identified flash; else says why.
    bool fitsFlash(juce::int64 address, juce::int64 length, const juce::String& what)
    {
        const auto size = controller->flashSize();
        if (size > 0 && address <= size && length <= size - address)
            return true;
        report.fail(usage, what + " goes past the end of the flash (" + controller->flashModel() + ", " +
                               hex(size) + " bytes); nothing was read");
        return false;
    }

    // Reads [address, address + length) into `to`: whole blocks, then the
    // wanted bytes cut out of them (a block read is never sent unaligned).
    // Returns the MD5 of the bytes written; empty after a failure, said.
    juce::String readRange(juce::int64 address, juce::int64 length, const juce::String& to)
    {
        constexpr juce::int64 block = sysex::kBlockSize;
        const auto first = address / block * block;
        const auto end = (address + length + block - 1) / block * block;
        juce::TemporaryFile blocks(juce::File(controller->workingPath(platform::kCliReadFile)));
        if (!runJobs({jobs::ReadToFile{blocks.getFile().getFullPathName(), 0, first, end - first, 0, 100}}))
        {
            report.fail(failed, "the read did not succeed: " + view.lastStatus);
            return {};
        }
        juce::String problem;
        auto in = platform::RegularFileInput::open(blocks.getFile().getFullPathName(), false, problem);
        auto out = platform::WorkingFileOutput::create(to, problem);
        if (in == nullptr || out == nullptr || in->getTotalLength() != end - first ||
            !in->setPosition(address - first))
        {
            report.fail(failed, "the read could not be kept: " +
                                    (problem.isNotEmpty() ? problem : platform::printablePath(to)));
            return {};
        }
        juce::HeapBlock<char> buffer(1 << 16);
        for (juce::int64 left = length; left > 0;)
        {
            const int n = in->read(buffer, (int)juce::jmin<juce::int64>(left, 1 << 16));
            if (n <= 0 || !out->write(buffer, (size_t)n))
            {
                report.fail(failed, "the read could not be kept: " + platform::printablePath(to));
                return {};
            }
            left -= n;
        }
        out.reset();
        return juce::MD5(juce::File(to)).toHexString();
    }

    Report& report;
    ConsoleView view;
    CLogOutput log;
    std::unique_ptr<midi::PortSet> ports;
    std::unique_ptr<SysexTrace> trace;
    std::unique_ptr<UpdateController> controller;
    const int waitMs;
    const juce::String port;
    bool repairing = false; // the update started is the repair of an interrupted one
    int interruptsSeen = interruptCount.load();
    bool warnedWhileWriting = false;
};

// Whether another program holds the working folder's update lock; said on
// standard error. Looked at before anything is sent to the piano.
bool folderBusy(const Options& options, Report& report)
{
    const auto path = UpdateController::workingPathIn(options.workFolder, platform::kFolderLockName);
    auto result = platform::FolderLock::Result::failed;
    juce::String problem;
    if (platform::FolderLock::take(path, result, problem) != nullptr ||
        result != platform::FolderLock::Result::busy)
        return false; // taken and given back at once; a failure is told by the update itself
    report.fail(busy, "another update is running from the same working folder (" +
                          platform::printablePath(path) +
                          " is locked); give each piano its own --work FOLDER to update several at once");
    return true;
}

// "V1.07.00" as numbers; nothing when it is no such version.
std::optional<std::vector<int>> versionNumbers(juce::String text)
{
    text = text.trim();
    if (text.startsWithIgnoreCase("v"))
        text = text.substring(1);
    std::vector<int> numbers;
    for (const auto& part : juce::StringArray::fromTokens(text, ".", {}))
    {
        if (part.isEmpty() || part.length() > 6 || !part.containsOnly("0123456789"))
            return std::nullopt;
        numbers.push_back(part.getIntValue());
    }
    if (numbers.empty())
        return std::nullopt;
    return numbers;
}

// An older image or the same version is written only when asked for.
int versionsAllowed(const Options& options, Session& s, Report& report)
{
    const auto& device = s.view.deviceVersion;
    const auto& file = s.view.fileVersion;
    report.set("imageVersion", file);
    if (s.controller->repairPending())
    {
        if (!options.quiet)
            std::cerr
                << "tamarind-cli: an interrupted update is finished first; the versions are not compared"
                << std::endl;
        return ok;
    }
    const auto a = versionNumbers(device), b = versionNumbers(file);
    if (!a || !b)
    {
        if (!options.quiet)
            std::cerr << "tamarind-cli: the versions cannot be compared (instrument \"" << device
                      << "\", image \"" << file << "\")" << std::endl;
        return ok;
    }
    if (*b < *a && !options.allowOlder)
        return report.fail(notNewer, "the image's version " + file + " is older than the instrument's " +
                                         device + "; give --allow-older to go back to it");
    if (*b == *a && !options.allowReinstall)
        return report.fail(notNewer, "the instrument already has version " + device +
                                         "; give --allow-reinstall to write it again");
    return ok;
}

// A file to compare or update from: followed through links, as the update
// does, and only a regular file.
bool regularFile(const juce::String& path, juce::int64& size, Report& report, const char* what)
{
    const auto kind = platform::inspectFile(path, true, &size);
    if (kind == platform::FileKind::regular)
        return true;
    report.fail(usage, juce::String(what) + " " + platform::printablePath(path) +
                           (kind == platform::FileKind::missing
                                ? juce::String(" does not exist")
                                : " is " + juce::String(platform::describeKind(kind))));
    return false;
}
} // namespace

int ports(const Options& options, const juce::StringArray&, Report& report)
{
    if (!workFolderReady(options, report))
        return usage;
    Session s(options, report, {}, false, false);
    const auto inputs = s.ports->inputNames(), outputs = s.ports->outputNames();
    report.set("inputs", juce::var(inputs));
    report.set("outputs", juce::var(outputs));
    if (!report.json)
    {
        std::cout << "inputs:\n";
        for (int i = 0; i < inputs.size(); ++i)
            std::cout << "  " << i << ": " << inputs[i] << "\n";
        std::cout << "outputs:\n";
        for (int i = 0; i < outputs.size(); ++i)
            std::cout << "  " << i << ": " << outputs[i] << "\n";
    }
    const bool connected = s.chosenPortPresent() && s.paired() && s.connect();
    auto& link = s.controller->getLink();
    report.set("instrument", link.isPaired() ? juce::var(link.pairedOutputName()) : juce::var());
    if (link.isPaired())
        report.set("speed", link.isFullSpeed() ? "full" : "high");
    if (!report.json)
        std::cout << "instrument: "
                  << (link.isPaired()
                          ? link.pairedOutputName() + (link.isFullSpeed() ? " (full speed)" : " (high speed)")
                          : juce::String("none"))
                  << std::endl;
    if (!connected)
        return noInstrument;
    if (!s.oneInstrument())
        return twoInstruments;
    report.set("flash", s.controller->flashModel());
    report.set("version", s.controller->deviceVersion());
    report.set("product", s.controller->deviceProduct());
    if (!report.json)
        std::cout << "flash:      " << s.controller->flashModel() << "\n"
                  << "version:    " << s.controller->deviceVersion() << "\n"
                  << "product:    " << s.controller->deviceProduct() << std::endl;
    return ok;
}

int info(const Options&, const juce::StringArray& words, Report& report)
{
    auto image = describeImage(fullPath(words[1]));
    if (image.result == UpdateFileOk)
        image.status = "the image passes every check";
    report.set("file", image.path);
    if (image.refusal.isNotEmpty())
        report.set("refused", image.refusal);
    report.set("size", image.size);
    report.set("version", image.version);
    report.set("product", image.product);
    report.set("md5", image.md5);
    report.set("result", image.result);
    report.set("resultText", image.status);
    report.set("passes", image.result == UpdateFileOk);
    if (!report.json)
        std::cout << formatImageReport(image) << std::flush;
    return image.result == UpdateFileOk ? ok : imageRefused;
}

int update(const Options& options, const juce::StringArray& words, Report& report)
{
    juce::String file;
    if (words.size() == 2)
    {
        file = fullPath(words[1]);
        juce::int64 size = 0;
        if (!regularFile(file, size, report, "update file"))
            return usage;
    }
    if (!workFolderReady(options, report))
        return usage;
    if (folderBusy(options, report))
        return busy;
    Session s(options, report, file, true, true);
    if (const int why = s.connectOne(); why != ok)
        return why;
    if (!s.controller->updateAllowed())
        return report.fail(imageRefused, s.view.lastStatus);
    if (const int why = versionsAllowed(options, s, report); why != ok)
        return why;
    s.repairing = s.controller->repairPending();
    s.controller->requestUpdate();
    // A Ctrl-C at a question answers it no, and ends the command here.
    s.checkInterrupt();
    if (!s.controller->isUpdating())
    {
        if (!s.view.refusal)
            return report.fail(declined, "the update was not started: the question was answered no");
        const bool folderBusy = *s.view.refusal == UpdateView::UpdateRefusal::folderBusy;
        return report.fail(folderBusy ? busy : failed, s.view.lastStatus);
    }
    s.runUntil([&] { return !s.controller->isUpdating(); }, 24 * 3600 * 1000);
    report.set("result", s.view.lastStatus);
    return s.view.succeeded ? ok : report.fail(failed, s.view.lastStatus);
}

int read(const Options& options, const juce::StringArray& words, Report& report)
{
    juce::String problem;
    const auto address = parseNumber(words[1], "ADDRESS", problem);
    const auto length = address ? parseNumber(words[2], "LENGTH", problem) : std::nullopt;
    if (!address || !length)
        return report.fail(usage, problem);
    const auto what = "ADDRESS " + hex(*address) + " + LENGTH " + hex(*length);
    if (*length == 0)
        return report.fail(usage, "LENGTH: 0 bytes is nothing to read");
    if (*address > image::kMaxImageSize || *length > image::kMaxImageSize - *address)
        return report.fail(usage, what + " goes past the end of the largest flash (" +
                                      hex(image::kMaxImageSize) + " bytes); nothing was read");
    const auto out = fullPath(words[3]);
    const auto kind = platform::inspectFile(out, false);
    if (kind != platform::FileKind::missing && kind != platform::FileKind::regular)
        return report.fail(usage,
                           "OUT " + platform::printablePath(out) + " is " + platform::describeKind(kind));
    if (kind == platform::FileKind::regular && !options.force)
        return report.fail(usage,
                           "OUT " + platform::printablePath(out) + " exists; give --force to replace it");
    if (!juce::File(out).getParentDirectory().isDirectory())
        return report.fail(usage, "OUT " + platform::printablePath(out) + ": its folder does not exist");
    if (!workFolderReady(options, report))
        return usage;
    Session s(options, report, {}, false, false);
    if (const int why = s.connectOne(); why != ok)
        return why;
    if (!s.fitsFlash(*address, *length, what))
        return usage;
    // Written beside OUT and renamed when whole: a failure leaves no OUT and
    // an existing OUT as it was.
    juce::TemporaryFile partial(juce::File(out), juce::TemporaryFile::useHiddenFile);
    const auto md5 = s.readRange(*address, *length, partial.getFile().getFullPathName());
    if (md5.isEmpty())
        return failed;
    if (!options.force && juce::File(out).exists())
        return report.fail(failed,
                           "OUT " + platform::printablePath(out) + " appeared during the read; not replaced");
    if (!partial.overwriteTargetFileWithTemporary())
        return report.fail(failed, "the read could not be renamed to " + platform::printablePath(out));
    report.set("address", *address);
    report.set("length", *length);
    report.set("file", out);
    report.set("md5", md5);
    if (!report.json)
        std::cout << "read " << *length << " bytes, " << hex(*address) << " to "
                  << hex(*address + *length - 1) << ", into " << platform::printablePath(out) << ", md5 "
                  << md5 << std::endl;
    return ok;
}

int verify(const Options& options, const juce::StringArray& words, Report& report)
{
    juce::String problem;
    const auto address = words.size() == 3 ? parseNumber(words[2], "ADDRESS", problem) : juce::int64(0);
    if (!address)
        return report.fail(usage, problem);
    const auto file = fullPath(words[1]);
    juce::int64 size = 0;
    if (!regularFile(file, size, report, "FILE"))
        return usage;
    if (size == 0)
        return report.fail(usage, "FILE " + platform::printablePath(file) + " is empty");
    const auto what = "FILE (" + juce::String(size) + " bytes) from " + hex(*address);
    if (*address > image::kMaxImageSize || size > image::kMaxImageSize - *address)
        return report.fail(usage, what + " goes past the end of the largest flash (" +
                                      hex(image::kMaxImageSize) + " bytes); nothing was read");
    if (!workFolderReady(options, report))
        return usage;
    Session s(options, report, {}, false, false);
    if (const int why = s.connectOne(); why != ok)
        return why;
    if (!s.fitsFlash(*address, size, what))
        return usage;
    // The read is a temporary file of the working folder, removed at the end.
    juce::TemporaryFile readBack(juce::File(s.controller->workingPath(platform::kVerifyReadFile)));
    if (s.readRange(*address, size, readBack.getFile().getFullPathName()).isEmpty())
        return failed;
    auto flash = platform::RegularFileInput::open(readBack.getFile().getFullPathName(), false, problem);
    auto given = platform::RegularFileInput::open(file, true, problem);
    if (flash == nullptr || given == nullptr)
        return report.fail(failed, "cannot compare: " +
                                       (problem.isNotEmpty() ? problem : platform::printablePath(file)));
    std::optional<juce::int64> difference;
    juce::HeapBlock<char> a(1 << 16), b(1 << 16);
    for (juce::int64 done = 0; done < size && !difference;)
    {
        const int want = (int)juce::jmin<juce::int64>(size - done, 1 << 16);
        const int n = flash->read(a, want), m = given->read(b, want);
        if (n != want || m != want)
        {
            difference = *address + done + juce::jmin(n, m); // the file changed under us
            break;
        }
        for (int i = 0; i < n; ++i)
            if (a[i] != b[i])
            {
                difference = *address + done + i;
                break;
            }
        done += n;
    }
    report.set("file", file);
    report.set("address", *address);
    report.set("length", size);
    report.set("match", !difference.has_value());
    report.set("firstDifference", difference ? juce::var(*difference) : juce::var());
    if (difference)
        return report.fail(failed, "differs: the first differing byte is at flash address " +
                                       hex(*difference) + " (" + hex(*difference - *address) +
                                       " in the file)");
    if (!report.json)
        std::cout << "match: " << size << " bytes of " << platform::printablePath(file)
                  << " equal the flash from " << hex(*address) << " to " << hex(*address + size - 1)
                  << std::endl;
    return ok;
}

int history(const Options& options, const juce::StringArray&, Report& report)
{
    const auto reading = history::read(workFolderOf(options));
    juce::Array<juce::var> records;
    for (const auto& r : reading.records)
        records.add(history::toVar(r));
    report.set("records", records);
    report.set("badLines", reading.badLines);
    if (!report.json)
    {
        for (const auto& r : reading.records)
            std::cout << history::describe(r) << "\n";
        if (reading.records.empty())
            std::cout << "no update recorded in "
                      << platform::printablePath(workFolderOf(options).getFullPathName()) << "\n";
        std::cout << std::flush;
    }
    if (reading.badLines > 0)
        std::cerr << "tamarind-cli: " << reading.badLines << " lines of the history are no records; skipped"
                  << std::endl;
    if (reading.problem.isNotEmpty())
        return report.fail(failed, reading.problem.trim());
    return ok;
}
} // namespace cli
