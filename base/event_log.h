#pragma once
// The launcher's log for IT: one UTF-8 text file per workstation user, one line per event (the
// format is base/log_line.h's). Lines are stamped when the event happens and written by a thread of
// the log's own, so that no caller ever waits for the disk; a log that cannot be written loses its
// lines and nothing else. Several processes of one user may write the same file: each batch of lines
// goes out in one append, and batches and rotations are serialised between them by a named lock.
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "base/handles.h"
#include "base/log_line.h"

struct TEventLogSettings {
    // The current file; the older ones take its name with ".1", ".2", … before the extension.
    std::wstring Path;
    // A file that would grow past this is rotated first.
    uint64_t MaxBytes = 2u << 20;
    // The current file and the older ones together.
    int Files = 3;
    // Lines waiting for the writer beyond this are counted and dropped; a later line says how many.
    size_t QueueLines = 4096;
};

class TEventLogWriter {
  public:
    explicit TEventLogWriter(TEventLogSettings ASettings);
    // Writes what is still queued, then stops the writer thread.
    ~TEventLogWriter();
    TEventLogWriter(const TEventLogWriter&) = delete;
    TEventLogWriter& operator=(const TEventLogWriter&) = delete;

    // Queues one finished line; any thread, never waits for the disk.
    void Write(std::string ALine);
    // Waits until every line queued so far has been handed to the file (or failed to be).
    void Flush();

  private:
    void Run();
    void Append(const std::string& AText);
    void Rotate();

    const TEventLogSettings FSettings;
    // The named lock of this log file, shared with every writer of it in any process; made once.
    const unique_handle FFileLock;
    std::mutex FLock;
    std::condition_variable FWake;
    std::condition_variable FIdle;
    std::deque<std::string> FQueue;
    uint64_t FDropped = 0;
    bool FWriting = false;
    bool FStopping = false;
    std::thread FThread;
};

// Local time now, with the offset from UTC in effect.
TLogTime LocalLogTime();

// %LOCALAPPDATA%\Aurevia\Aurevia.log (the folder of the user's local application data, as the
// environment names it).
std::wstring DefaultEventLogPath();

// Stamps the line with the local time and queues it for the process's log at DefaultEventLogPath,
// started by the first call. Any thread; never raises.
void LogEvent(const TLogLine& ALine) noexcept;

// Writes what is queued and stops the process's log; later events are dropped. The end of the program.
void CloseEventLog() noexcept;
