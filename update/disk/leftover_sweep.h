#pragma once
// Temporary files of fetches whose launcher crashed (or lost its power) stay beside their targets
// for ever unless someone removes them. Any thread.
#include <string>
#include <vector>

// Removes from AFolder (not below) every "~aur<pid>-<n>.tmp" that its process cannot be writing and
// that no process holds open. Its process cannot be writing it when no process runs under that id, or
// when the one that does started after the file was created (a reused id, this process's included).
// A file of a running process that started before it is kept whatever that process is (a launcher of
// another user): a conservative sweep loses nothing that the next one cannot take. Returns the full
// paths removed; never raises.
std::vector<std::wstring> SweepLeftoverTemporaries(const std::wstring& AFolder) noexcept;

// Whether a process with that id runs now; true also when it runs but may not be opened.
bool ProcessRunning(unsigned long AProcessId);
