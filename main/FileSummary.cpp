// The "Check sum thread": size, byte sum and MD5 of the file chosen in the
// write box. The user interface is touched only under the message-manager
// lock; the progress value crosses over through an atomic copied on the
// message thread.
#include "update/FileSummary.h"
#include "main/MainComponentParts.h"

void MainComponent::startFileSummary(const juce::String& path)
{
    stopThread(5000);
    {
        const juce::ScopedLock sl(summaryPathLock);
        summaryFilePath = path;
    }
    writeFileBox->setEnabled(false);
    updateButton->setEnabled(false);
    checksumLabel->setText("Updating...", juce::dontSendNotification);
    md5Label->setText("Updating...", juce::dontSendNotification);
    summaryProgress = 0.0;
    progressValue = 0.0;
    progressMirror.startTimer(40);
    startThread();
    progressBar->setVisible(true);
}

void MainComponent::run()
{
    juce::String path;
    {
        const juce::ScopedLock sl(summaryPathLock);
        path = summaryFilePath.substring(0, 259);
    }
    auto report = [this](double p) { summaryProgress = p; };
    juce::uint32 sum = 0;
    const juce::int64 size = summary::fileByteSum(path, sum, report, [this] { return threadShouldExit(); });
    {
        const juce::MessageManagerLock mml(this);
        if (!mml.lockWasGained())
            return; // the program is closing
        checksumLabel->setText(summary::checksumLine(size, sum), juce::dontSendNotification);
    }
    const auto digest = summary::md5Line(path, size, report, [this] { return threadShouldExit(); });
    const juce::MessageManagerLock mml(this);
    if (!mml.lockWasGained())
        return;
    md5Label->setText(digest, juce::dontSendNotification);
    writeFileBox->setEnabled(true);
    // Only what the update itself allows: a summary never enables UPDATE.
    updateButton->setEnabled(controller->updateAllowed() && !controller->isUpdating());
    progressMirror.stopTimer();
    progressValue = summaryProgress;
    progressBar->setVisible(false);
}
