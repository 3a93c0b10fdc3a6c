#pragma once
// Files for the Windows tests: small helpers that write and read real files with real last-write
// times, in the temporary folder of support/temp_folder.h.
#include <windows.h>

#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/handles.h"
#include "support/temp_folder.h"

using test_support::TempFolder;

// Writes content to path, creating its folders.
void WriteWholeFile(const std::wstring& path, const std::string& content);
// The same, then gives the file the last-write time age.
void WriteFileAt(const std::wstring& path, const std::string& content, TDateTime age);
std::string ReadWholeFile(const std::wstring& path);  // "<missing>" when it cannot be opened
bool PathExists(const std::wstring& path);            // a file or a folder
// A file's last-write time as the launcher reads it: local time with the offset in effect now, whole
// milliseconds; -1 when there is no file to read it from.
TDateTime AgeOf(const std::wstring& path);
void SetReadOnly(const std::wstring& path, bool readOnly);
// Names of every file under folder, relative to it, sorted.
std::vector<std::wstring> FilesUnder(const std::wstring& folder);

// A file held open with share mode 0, as a running module holds its executable or DLLs.
class HeldOpen {
  public:
    explicit HeldOpen(const std::wstring& path);

  private:
    unique_file handle_;
};

// A local calendar value: the test data's ages.
TDateTime LocalAge(int year, int month, int day, int hour, int minute, int second, int ms = 0);
