// The whole update as one job list, with the lock and backup that make an
// interrupted update repairable.
#include "main/MainComponent.h"
#include "main/ScreenSaver.h"

namespace
{
constexpr juce::int64 kDataRegion = 0x40000;
constexpr juce::int64 kDataRegionSize = 0x20000;
} // namespace

void MainComponent::startUpdate()
{
    logOutput.Clear();
    queue->clearQueue();
    setStatus("Updating....");

    const auto lock = workingPath("/orv_update.lock");
    const auto readBack = workingPath("/orv_tmp_read.tmp");
    const auto backup = workingPath("/orv_backup.tmp");
    const auto image = programFolder + "update.rom";
    const auto* work = detectedDriver;
    const int workLength = detectedDriverLength;
    const auto* service = deviceimages::serviceDriver();

    // The jobs' offsets are byte offsets, whatever a preset chose.
    queue->link().setWordAddressing(false);
    queue->addSendDriver(work, workLength, "Work", 0, 100);

    if (updateFileLength <= 0x40000)
    {
        const juce::File lockFile(lock), backupFile(backup);
        if (lockFile.existsAsFile())
        {
            // Repair: write back the data saved before the interrupted update.
            // A backup of any other size than the data region is not trusted.
            if (!backupFile.existsAsFile() || backupFile.getSize() != kDataRegionSize)
            {
                queue->clearQueue();
                setStatus("Found an error can't be fixed in the last update.");
                return;
            }
        }
        else
        {
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
        queue->addEraseFromFile(image, 0, 0x20000, 0x20000, 0x20000, 30, 37);
        queue->addProgramFromFile(image, 0, 0x20000, 0x20000, 0x20000, 37, 46);
        queue->addEraseFromFile(image, 0, 0, 0, 0x20000, 46, 55);
        queue->addProgramFromFile(image, 0, 0, 0, 0x20000, 55, 64);
        queue->addEraseFromFile(backup, 0, 0, 0x40000, 0x20000, 64, 73);
        queue->addProgramFromFile(backup, 0, 0, 0x40000, 0x20000, 73, 82);
        queue->addReadToFile(readBack, 0, 0, updateFileLength, 82, 91);
        queue->addCompareFiles(image, 0, readBack);
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
        const juce::File lockFile(lock);
        if (lockFile.exists() && !lockFile.deleteFile())
            logOutput.PrintA("Can't delete the lock file!\n");
        queue->addEraseBuffer(0, 2);
        queue->addProgramFromBuffer(deviceimages::interimImage(), 0x40000, 0x10000, 2, 4);
        queue->addSendDriver(service, deviceimages::kDriverSize, "Sepcial", 4, 4);
        queue->addSaveIoStatus();
        queue->addSendDriver(work, workLength, "Work", 4, 4);
        queue->addProgramFromBuffer(deviceimages::zeroPage(), 0xF000, 0x1000, 4, 4.5f);
        queue->addEraseFromFile(image, 0, 0x60000, 0x60000, 0, 4.5f, 26);
        queue->addProgramFromFile(image, 0, 0x60000, 0x60000, 0, 26, 50);
        queue->addEraseFromFile(image, 0, 0x20000, 0x20000, 0x20000, 50, 52);
        queue->addProgramFromFile(image, 0, 0x20000, 0x20000, 0x20000, 52, 54);
        queue->addEraseFromFile(image, 0, 0, 0, 0x20000, 54, 56);
        queue->addProgramFromFile(image, 0, 0, 0, 0x20000, 56, 58);
        queue->addEraseFromFile(image, 0, 0x40000, 0x40000, 0x20000, 58, 60);
        queue->addProgramFromFile(image, 0, 0x40000, 0x40000, 0x20000, 60, 62);
        queue->addReadToFile(readBack, 0, 0, updateFileLength, 62, 99);
        queue->addCompareFiles(image, 0, readBack);
    }

    queue->runNext();
    updateInProgress = true;
    progressValue = 0.0;
    progressBar->setVisible(true);
    setControlsEnabled(false, 1);
    if (screenSaverBlock == nullptr)
        screenSaverBlock = std::make_unique<ScreenSaverBlock>();
}
