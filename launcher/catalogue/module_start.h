#pragma once
// Starting a module once its update has completed. Runs on the UI thread.
#include <string>

// Starts the module's executable at APath (a link followed; a folder does not count) with the
// start-up record, closes the handles it gets back at once and writes the start, or its failure, to
// the log; the launcher neither waits for the module nor keeps track of it. False, without starting
// anything, when there is no such file.
bool StartModule(const std::wstring& APath);
