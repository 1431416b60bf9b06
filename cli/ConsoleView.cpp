#include "cli/ConsoleView.h"
#include "core/CustomMessage.h"
#include "platform/TextConversion.h"
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#if JUCE_WINDOWS
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

ConsoleView::ConsoleView(bool yes, bool log)
    : assumeYes(yes), showLog(log), terminal(isatty(fileno(stderr)) != 0)
{
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
    endBar();
    std::cerr << "Status: " << text.toStdString() << std::endl;
}

void ConsoleView::showProgressBar(bool visible)
{
    lastStep = -1;
    barShown = visible;
    if (!visible)
        endBar();
}

void ConsoleView::showProgress(double fraction)
{
    if (!barShown)
        return; // the steps of connecting are not shown
    const double f = juce::jlimit(0.0, 1.0, fraction);
    if (!terminal)
    {
        const int tenth = (int)(f * 10);
        if (tenth != lastStep)
            std::cerr << "progress " << tenth * 10 << " %" << std::endl;
        lastStep = tenth;
        return;
    }
    constexpr int width = 40;
    const int filled = (int)(f * width);
    if (filled == lastStep && barDrawn)
        return;
    lastStep = filled;
    std::cerr << "\r[" << std::string((size_t)filled, '#') << std::string((size_t)(width - filled), ' ')
              << "] " << (int)(f * 100) << " %" << std::flush;
    barDrawn = true;
}

bool ConsoleView::confirm(const juce::String& title, const juce::String& message)
{
    endBar();
    const auto question = title + " " + message.replace("\n", " ").trim();
    if (assumeYes)
    {
        std::cerr << question.toStdString() << " yes (--yes)" << std::endl;
        return true;
    }
    if (isatty(fileno(stdin)) == 0)
    {
        std::cerr << question.toStdString() << " no: nobody to ask (give --yes to answer yes)" << std::endl;
        return false;
    }
    std::cerr << question.toStdString() << " [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

void ConsoleView::warn(const juce::String& title, const juce::String& text)
{
    endBar();
    warned = true;
    std::cerr << title.toStdString() << ": " << text.trim().toStdString() << std::endl;
}

void ConsoleView::handleMessage(const juce::Message& message)
{
    auto* m = dynamic_cast<const CCustomMessage*>(&message);
    if (m == nullptr || m->code != LogAppendText || !showLog)
        return;
    auto& request = const_cast<CCustomMessage&>(*m);
    std::unique_ptr<wchar_t[]> text(request.takeData<wchar_t>());
    if (text != nullptr)
    {
        endBar();
        std::cerr << juce::String(text.get()).toStdString() << std::flush;
    }
}
