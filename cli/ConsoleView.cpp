#include "cli/ConsoleView.h"
#include "core/CustomMessage.h"
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#if JUCE_WINDOWS
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace
{
// A line from the terminal; nothing when a Ctrl-C came first (then the
// question is answered no). A terminal shows a line as readable only once
// Enter was pressed, so the wait can look at the interruptions in between.
// On Windows a Ctrl-C ends the console's read by itself.
std::optional<std::string> readAnswer()
{
    const int before = cli::interruptsSoFar();
    std::string answer;
#if !JUCE_WINDOWS
    pollfd input{fileno(stdin), POLLIN, 0};
    while (poll(&input, 1, 100) == 0 || (input.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0)
        if (cli::interruptsSoFar() != before)
            return std::nullopt;
#endif
    std::getline(std::cin, answer);
    if (cli::interruptsSoFar() != before)
        return std::nullopt;
    return answer;
}
} // namespace

ConsoleView::ConsoleView(const cli::Options& options, const cli::Report* eventReport)
    : assumeYes(options.yes), showLog(options.log), quiet(options.quiet),
      terminal(isatty(fileno(stderr)) != 0),
      events(eventReport != nullptr && eventReport->json ? eventReport : nullptr)
{
}

void ConsoleView::event(const char* name,
                        std::initializer_list<std::pair<const char*, juce::var>> fields) const
{
    if (events == nullptr)
        return;
    juce::DynamicObject::Ptr object = new juce::DynamicObject();
    object->setProperty("event", name);
    for (const auto& f : fields)
        object->setProperty(f.first, f.second);
    events->event(juce::var(object.get()));
}

void ConsoleView::endBar()
{
    if (barDrawn)
        std::cerr << "\n";
    barDrawn = false;
}

void ConsoleView::showStatus(const juce::String& text)
{
    lastStatus = text;
    event("status", {{"text", text}});
    if (quiet)
        return;
    endBar();
    std::cerr << "Status: " << text.toStdString() << std::endl;
}

void ConsoleView::showProgressBar(bool visible)
{
    lastStep = lastEventStep = -1;
    lastPhase = {};
    barShown = visible;
    if (!visible)
        endBar();
}

void ConsoleView::showSteadyProgress(const juce::String& phase, double fraction)
{
    const int percent = (int)(juce::jlimit(0.0, 1.0, fraction) * 100);
    const auto shownPhase = phase.isEmpty() ? juce::String("done") : phase;
    if (percent != lastEventStep || shownPhase != lastPhase)
        event("progress", {{"phase", shownPhase}, {"percent", percent}});
    lastEventStep = percent;
    const bool newPhase = shownPhase != lastPhase;
    lastPhase = shownPhase;
    if (quiet || !barShown)
        return;
    if (!terminal)
    {
        // A line per phase and per tenth: a log of a pipe stays short.
        if (newPhase || percent / 10 != lastStep / 10 || (percent == 100 && lastStep != 100))
            std::cerr << "progress " << percent << " % " << shownPhase << std::endl;
        lastStep = percent;
        return;
    }
    if (percent == lastStep && !newPhase && barDrawn)
        return;
    lastStep = percent;
    constexpr int width = 40;
    const int filled = percent * width / 100;
    std::cerr << "\r[" << std::string((size_t)filled, '#') << std::string((size_t)(width - filled), ' ')
              << "] " << juce::String(percent).paddedLeft(' ', 3) << " % " << shownPhase.paddedRight(' ', 10)
              << std::flush;
    barDrawn = true;
}

bool ConsoleView::confirm(const juce::String& title, const juce::String& message)
{
    endBar();
    auto question = title + " " + message.replace("\n", " ").trim();
    // Both versions in the question, so that nobody goes back by mistake.
    if (deviceVersion.isNotEmpty() && fileVersion.isNotEmpty())
        question << " (" << deviceVersion << " " << juce::String(juce::CharPointer_UTF8("\xe2\x86\x92"))
                 << " " << fileVersion << ")";
    bool yes = false;
    if (assumeYes)
    {
        if (!quiet)
            std::cerr << question.toStdString() << " yes (--yes)" << std::endl;
        yes = true;
    }
    else if (isatty(fileno(stdin)) == 0)
        std::cerr << question.toStdString() << " no: nobody to ask (give --yes to answer yes)" << std::endl;
    else
    {
        std::cerr << question.toStdString() << " [y/N] " << std::flush;
        const auto answer = readAnswer();
        if (!answer)
            std::cerr << std::endl;
        yes = answer && !answer->empty() && ((*answer)[0] == 'y' || (*answer)[0] == 'Y');
    }
    event("question", {{"text", question}, {"answer", yes ? "yes" : "no"}});
    return yes;
}

void ConsoleView::warn(const juce::String& title, const juce::String& text)
{
    endBar();
    warned = true;
    event("warning", {{"text", title + ": " + text.trim()}});
    std::cerr << title.toStdString() << ": " << text.trim().toStdString() << std::endl;
}

void ConsoleView::handleMessage(const juce::Message& message)
{
    auto* event = eventOf(message);
    auto* request = event != nullptr ? std::get_if<LogAppendText>(event) : nullptr;
    if (request == nullptr || !showLog)
        return;
    endBar();
    // Each line starts with the time it was shown.
    const auto now = juce::Time::getCurrentTime();
    const auto stamp =
        now.formatted("%H:%M:%S.") + juce::String(now.getMilliseconds()).paddedLeft('0', 3) + " ";
    juce::String out;
    const juce::String all(request->text.c_str());
    for (int start = 0; start < all.length();)
    {
        const int end = all.indexOfChar(start, '\n');
        const int stop = end < 0 ? all.length() : end + 1;
        if (!logLineOpen)
            out << stamp;
        out << all.substring(start, stop);
        logLineOpen = end < 0;
        start = stop;
    }
    std::cerr << out.toStdString() << std::flush;
}
