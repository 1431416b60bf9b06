// The whole update as one job list, with the lock and backup that make an
// interrupted update repairable.
#include "main/MainComponent.h"
#include "main/ScreenSaver.h"
#include "platform/SafeFile.h"

namespace
{
constexpr juce::int64 kDataRegion = 0x40000;
constexpr juce::int64 kDataRegionSize = 0x20000;
} // namespace

void MainComponent::startUpdate(juce::MemoryBlock checkedImage)
{
    logOutput.Clear();
    queue->clearQueue();
    setStatus("Updating....");

    const auto lock = workingPath("/orv_update.lock");
    const auto readBack = workingPath("/orv_tmp_read.tmp");
    const auto backup = workingPath("/orv_backup.tmp");
    const auto* work = detectedDriver;
    const int workLength = detectedDriverLength;
    const auto* service = deviceimages::serviceDriver();

    // Every region of the image is programmed from the bytes that were
    // checked, and the read-back is compared with them: a file changed on
    // disk meanwhile is never written. They stay here until the next update.
    updateImage = std::move(checkedImage);
    const auto* image = static_cast<const juce::uint8*>(updateImage.getData());
    const auto imageSize = (juce::int64)updateImage.getSize();
    auto writeRegion = [&](juce::int64 offset, juce::int64 length, float start, float middle, float end)
    {
        queue->addEraseForBuffer(offset, length, start, middle);
        queue->addProgramFromBuffer(image + offset, offset, length, middle, end);
    };
    // The jobs' offsets are byte offsets, whatever a preset chose.
    queue->link().setWordAddressing(false);
    queue->addSendDriver(work, workLength, "Work", 0, 100);

    if (imageSize <= 0x40000)
    {
        // The lock and the backup are looked at, never through a link.
        if (platform::inspectFile(lock, false) == platform::FileKind::regular)
        {
            // Repair: write back the data saved before the interrupted update.
            // A backup of any other size than the data region is not trusted.
            juce::int64 backupSize = 0;
            const auto backupKind = platform::inspectFile(backup, false, &backupSize);
            if (backupKind != platform::FileKind::regular || backupSize != kDataRegionSize)
            {
                if (backupKind != platform::FileKind::regular && backupKind != platform::FileKind::missing)
                    logOutput.PrintA(
                        "%s\n", platform::refusal(backup, platform::describeKind(backupKind)).toRawUTF8());
                queue->clearQueue();
                setStatus("Found an error can't be fixed in the last update.");
                return;
            }
        }
        else
        {
            // Anything else in the lock's place is no lock; creating the lock
            // then refuses it.
            queue->addReadToFile(backup, 0, kDataRegion, kDataRegionSize, 0, 7);
            queue->addLockFile(lock, 0);
        }
        queue->addSendDriver(work, workLength, "Work", 7, 9);
        queue->addEraseBuffer(9, 18);
        queue->addProgramFromBuffer(deviceimages::interimImage(), 0x40000, 0x10000, 18, 25);
        queue->addSendDriver(service, deviceimages::kDriverSize, "Sepcial", 25, 27);
        queue->addSaveIoStatus();
        queue->addSendDriver(work, workLength, "Work", 27, 29);
        queue->addProgramFromBuffer(deviceimages::zeroPage(), 0xF000, 0x1000, 29, 30);
        writeRegion(0x20000, 0x20000, 30, 37, 46);
        writeRegion(0, 0x20000, 46, 55, 64);
        queue->addEraseFromFile(backup, 0, 0, 0x40000, 0x20000, 64, 73);
        queue->addProgramFromFile(backup, 0, 0, 0x40000, 0x20000, 73, 82);
        queue->addReadToFile(readBack, 0, 0, imageSize, 82, 91);
        queue->addCompareWithBuffer(image, imageSize, readBack);
        queue->addSendDriver(work, workLength, "Work", 91, 93);
        queue->addReadToFile(readBack, 0, 0x40000, 0x20000, 93, 100);
        queue->addCompareFiles(backup, 0, readBack);
        // The lock goes only when the data region is verified: until then a
        // failed or cut-off update is repaired from the backup, never backed
        // up again from a data region that may be wrong.
        queue->addLockFile(lock, 1);
    }
    else
    {
        // A folder or a link in the lock's place is left alone.
        juce::String problem;
        if (!platform::removeWorkingFile(lock, problem))
        {
            if (problem.isNotEmpty())
                logOutput.PrintA("%s\n", problem.toRawUTF8());
            logOutput.PrintA("Can't delete the lock file!\n");
        }
        queue->addEraseBuffer(0, 2);
        queue->addProgramFromBuffer(deviceimages::interimImage(), 0x40000, 0x10000, 2, 4);
        queue->addSendDriver(service, deviceimages::kDriverSize, "Sepcial", 4, 4);
        queue->addSaveIoStatus();
        queue->addSendDriver(work, workLength, "Work", 4, 4);
        queue->addProgramFromBuffer(deviceimages::zeroPage(), 0xF000, 0x1000, 4, 4.5f);
        writeRegion(0x60000, imageSize - 0x60000, 4.5f, 26, 50);
        writeRegion(0x20000, 0x20000, 50, 52, 54);
        writeRegion(0, 0x20000, 54, 56, 58);
        writeRegion(0x40000, 0x20000, 58, 60, 62);
        queue->addReadToFile(readBack, 0, 0, imageSize, 62, 99);
        queue->addCompareWithBuffer(image, imageSize, readBack);
    }

    queue->runNext();
    updateInProgress = true;
    progressValue = 0.0;
    progressBar->setVisible(true);
    setControlsEnabled(false, 1);
    if (screenSaverBlock == nullptr)
        screenSaverBlock = std::make_unique<ScreenSaverBlock>();
}
