#include "base/event_log.h"

#include <shlobj.h>

#include <memory>

#include "base/handles.h"
#include "base/lock_name.h"
#include "base/paths.h"

namespace {

std::wstring RotatedName(const std::wstring& APath, int AIndex) {
    if (AIndex == 0) return APath;
    const size_t slash = APath.find_last_of(L'\\');
    const size_t dot = APath.find_last_of(L'.');
    const bool hasExtension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
    const std::wstring stem = hasExtension ? APath.substr(0, dot) : APath;
    const std::wstring extension = hasExtension ? APath.substr(dot) : L"";
    return stem + L"." + std::to_wstring(AIndex) + extension;
}

std::wstring LogLockName(const std::wstring& APath) { return PathLockName(L"AureviaLog-", APath); }

unique_file OpenForAppend(const std::wstring& APath) {
    // Append-only access makes every write land at the end of the file, also when other processes
    // append meanwhile; sharing delete lets another process rotate the file while it is open here.
    return unique_file(CreateFileW(APath.c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

uint64_t SizeOf(HANDLE AFile) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(AFile, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

}  // namespace

TEventLogWriter::TEventLogWriter(TEventLogSettings ASettings)
    : FSettings(std::move(ASettings)),
      FFileLock(CreateMutexW(nullptr, FALSE, LogLockName(FSettings.Path).c_str())),
      FThread([this] { Run(); }) {}

TEventLogWriter::~TEventLogWriter() {
    {
        std::lock_guard lock(FLock);
        FStopping = true;
    }
    FWake.notify_all();
    FThread.join();
}

void TEventLogWriter::Write(std::string ALine) {
    {
        std::lock_guard lock(FLock);
        if (FQueue.size() >= FSettings.QueueLines) {
            ++FDropped;
            return;
        }
        FQueue.push_back(std::move(ALine));
    }
    FWake.notify_one();
}

void TEventLogWriter::Flush() {
    std::unique_lock lock(FLock);
    FIdle.wait(lock, [this] { return FQueue.empty() && !FWriting; });
}

void TEventLogWriter::Run() {
    std::unique_lock lock(FLock);
    for (;;) {
        FWake.wait(lock, [this] { return FStopping || !FQueue.empty(); });
        // Stopping: the count of lines dropped since the last batch still goes out.
        if (FQueue.empty() && FDropped == 0) break;
        std::deque<std::string> batch;
        batch.swap(FQueue);
        const uint64_t dropped = std::exchange(FDropped, 0);
        FWriting = true;
        lock.unlock();
        std::string text;
        for (const std::string& line : batch) text += line;
        if (dropped > 0)
            text += TLogLine(TLogLevel::Warn, "log-dropped").Add("lines", dropped).Text(LocalLogTime());
        Append(text);
        lock.lock();
        FWriting = false;
        FIdle.notify_all();
    }
    FIdle.notify_all();
}

void TEventLogWriter::Append(const std::string& AText) {
    // One named lock per log file orders the batches of every writer, other launchers of this user
    // included: a batch and a rotation never interleave, whatever the file system makes of two
    // handles appending at once (Wine's appends from two handles can land on each other). A lock
    // not had in time (a stuck writer) costs the rotation, never the line.
    const DWORD wait = FFileLock ? WaitForSingleObject(FFileLock.get(), 5000) : WAIT_FAILED;
    // An abandoned lock (its holder ended) is ours all the same.
    const bool locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    unique_file file = OpenForAppend(FSettings.Path);
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // The folder is missing on first use (or was removed): made here, not before every batch. A
        // folder that cannot be made (a file in its place) shows as a second failed open.
        CreateDirectoryW(FolderOf(FSettings.Path).c_str(), nullptr);
        file = OpenForAppend(FSettings.Path);
    }
    if (file) {
        const uint64_t size = SizeOf(file.get());
        if (locked && size > 0 && size + AText.size() > FSettings.MaxBytes) {
            file.reset();
            Rotate();
            file = OpenForAppend(FSettings.Path);
        }
        // One write per batch: lines never split.
        DWORD written = 0;
        if (file) WriteFile(file.get(), AText.data(), static_cast<DWORD>(AText.size()), &written, nullptr);
    }
    if (locked) ReleaseMutex(FFileLock.get());
}

// With the file lock held: Aurevia.log becomes Aurevia.1.log, and so on down; the oldest goes.
void TEventLogWriter::Rotate() {
    DeleteFileW(RotatedName(FSettings.Path, FSettings.Files - 1).c_str());
    for (int i = FSettings.Files - 1; i > 0; --i)
        MoveFileExW(RotatedName(FSettings.Path, i - 1).c_str(), RotatedName(FSettings.Path, i).c_str(),
                    MOVEFILE_REPLACE_EXISTING);
}

TLogTime LocalLogTime() {
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
    FILETIME utcFile{}, localFile{};
    SystemTimeToFileTime(&utc, &utcFile);
    SystemTimeToFileTime(&local, &localFile);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    const int64_t offsetTicks = ticks(localFile) - ticks(utcFile);
    TLogTime time;
    time.year = local.wYear;
    time.month = local.wMonth;
    time.day = local.wDay;
    time.hour = local.wHour;
    time.minute = local.wMinute;
    time.second = local.wSecond;
    time.millisecond = local.wMilliseconds;
    // Rounded: offsets are whole minutes, the two conversions may differ by a tick.
    constexpr int64_t kTicksPerMinute = 600'000'000;
    time.offsetMinutes = static_cast<int>(
        (offsetTicks + (offsetTicks >= 0 ? kTicksPerMinute / 2 : -kTicksPerMinute / 2)) / kTicksPerMinute);
    return time;
}

std::wstring DefaultEventLogPath() {
    std::wstring folder;
    const DWORD needed = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (needed > 1) {
        folder.resize(needed);
        folder.resize(GetEnvironmentVariableW(L"LOCALAPPDATA", folder.data(), needed));
    }
    if (folder.empty()) {
        PWSTR known = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known))) folder = known;
        CoTaskMemFree(known);
    }
    return PathJoin(FolderWithDelimiter(folder) + L"Aurevia", L"Aurevia.log");
}

namespace {

struct TProcessLog {
    std::mutex Lock;
    std::unique_ptr<TEventLogWriter> Writer;
    bool Closed = false;
};

TProcessLog& ProcessLog() {
    static TProcessLog log;
    return log;
}

}  // namespace

void LogEvent(const TLogLine& ALine) noexcept {
    try {
        std::string text = ALine.Text(LocalLogTime());
        TProcessLog& log = ProcessLog();
        std::lock_guard lock(log.Lock);
        if (log.Closed) return;
        if (!log.Writer)
            log.Writer = std::make_unique<TEventLogWriter>(TEventLogSettings{DefaultEventLogPath()});
        log.Writer->Write(std::move(text));
    } catch (...) {
        // The log never costs the launcher anything: a line that cannot be made is lost.
    }
}

void CloseEventLog() noexcept {
    TProcessLog& log = ProcessLog();
    std::unique_ptr<TEventLogWriter> writer;
    {
        std::lock_guard lock(log.Lock);
        log.Closed = true;
        writer = std::move(log.Writer);
    }
    writer.reset();
}
