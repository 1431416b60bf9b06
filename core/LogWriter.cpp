#include "core/LogWriter.h"
#include "platform/SafeFile.h"
#include "platform/TextConversion.h"

LogWriter::LogWriter(bool toStandardOutput, const juce::File& logFile, juce::int64 maxBytes)
    : toStdout(toStandardOutput), file(logFile), maxFileBytes(maxBytes), openProblem(openAtStart()),
      worker([this] { run(); })
{
}

// The file is opened before the worker starts, so whoever asked for it can
// be told at once that it cannot be written (opening never blocks: a FIFO or
// a link in its place is refused, not waited on).
juce::String LogWriter::openAtStart()
{
    if (file == juce::File())
        return {};
    juce::String problem;
    out = platform::WorkingFileOutput::create(file.getFullPathName(), problem, true);
    fileFailed = out == nullptr;
    return fileFailed ? (problem.isNotEmpty() ? problem : juce::String("it cannot be written"))
                      : juce::String();
}

LogWriter::~LogWriter()
{
    flush(1000);
    {
        const std::lock_guard<std::mutex> g(lock);
        stopping = true;
    }
    wake.notify_all();
    worker.join();
}

void LogWriter::text(const juce::String& t)
{
    push({t, false, juce::Time::currentTimeMillis()});
}

void LogWriter::line(const juce::String& l)
{
    push({l, true, juce::Time::currentTimeMillis()});
}

void LogWriter::push(Item item)
{
    {
        const std::lock_guard<std::mutex> g(lock);
        const auto bytes = item.text.getNumBytesAsUTF8();
        if (queuedBytes + bytes > kMaxQueuedBytes)
        {
            ++dropped;
            return;
        }
        queuedBytes += bytes;
        queue.push_back(std::move(item));
    }
    wake.notify_one();
}

bool LogWriter::flush(int timeoutMs)
{
    std::unique_lock<std::mutex> g(lock);
    return written.wait_for(g, std::chrono::milliseconds(timeoutMs),
                            [this] { return queue.empty() && !writing; });
}

void LogWriter::run()
{
    std::unique_lock<std::mutex> g(lock);
    for (;;)
    {
        wake.wait(g, [this] { return stopping || !queue.empty(); });
        if (queue.empty())
            return; // stopping, and everything is written
        auto item = std::move(queue.front());
        queue.pop_front();
        queuedBytes -= item.text.getNumBytesAsUTF8();
        const int lost = queue.empty() ? std::exchange(dropped, 0) : 0;
        writing = true;
        g.unlock();
        if (toStdout)
        {
            if (item.ownLine)
                platform::writeStdoutLine(item.text);
            else
                platform::writeStdout(item.text);
        }
        writeToFile(item);
        if (lost > 0)
        {
            const Item notice{"(" + juce::String(lost) + " log texts were dropped: the output was blocked)",
                              true, item.time};
            if (toStdout)
                platform::writeStdoutLine(notice.text);
            writeToFile(notice);
        }
        g.lock();
        writing = false;
        written.notify_all();
    }
}

// The file is opened at its first text, and again (after moving the full one
// aside) when it has grown beyond its bound. A file that cannot be opened is
// left alone for the rest of the run.
bool LogWriter::openFile()
{
    if (out != nullptr)
        return true;
    if (fileFailed || file == juce::File())
        return false;
    juce::String problem;
    out = platform::WorkingFileOutput::create(file.getFullPathName(), problem, true);
    fileFailed = out == nullptr;
    return !fileFailed;
}

void LogWriter::startFileLine(juce::int64 time)
{
    if (out != nullptr && out->getPosition() >= maxFileBytes)
    {
        out.reset();
        const auto older = file.getSiblingFile(file.getFileName() + ".1");
        // Only a regular file is moved aside; a link in either place is left alone.
        if (platform::inspectFile(older.getFullPathName(), false) == platform::FileKind::symbolicLink ||
            !file.moveFileTo(older))
            fileFailed = true;
    }
    if (!openFile())
        return;
    const juce::Time t(time);
    const auto stamp =
        t.formatted("%Y-%m-%d %H:%M:%S.") + juce::String(t.getMilliseconds()).paddedLeft('0', 3) + " ";
    out->writeText(stamp, false, false, nullptr);
    fileLineOpen = true;
}

void LogWriter::writeToFile(const Item& item)
{
    if (file == juce::File() || fileFailed)
        return;
    if (item.ownLine)
    {
        if (fileLineOpen && out != nullptr)
            out->writeText("\n", false, false, nullptr);
        fileLineOpen = false;
        startFileLine(item.time);
        if (out != nullptr)
            out->writeText(item.text + "\n", false, false, nullptr);
        fileLineOpen = false;
        return;
    }
    // Text in pieces: each line starts with its time.
    auto rest = item.text;
    while (rest.isNotEmpty())
    {
        if (!fileLineOpen)
            startFileLine(item.time);
        if (out == nullptr)
            return;
        const int end = rest.indexOfChar('\n');
        const auto piece = end < 0 ? rest : rest.substring(0, end + 1);
        out->writeText(piece, false, false, nullptr);
        fileLineOpen = end < 0;
        rest = rest.substring(piece.length());
    }
}
