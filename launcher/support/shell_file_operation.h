#pragma once
// The window's shell file copy: one SHFileOperationW call over two lists of names, with the shell's
// own progress window, questions and error messages. Runs on the UI thread and blocks until done.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

class TShellFileOperation {
  public:
    UINT Operation = FO_COPY;
    FILEOP_FLAGS Flags = FOF_FILESONLY | FOF_SIMPLEPROGRESS | FOF_NOCOPYSECURITYATTRIBS;
    std::wstring ProgressTitle = L"Copiando Arquivos";
    std::vector<std::wstring> SourceFiles;
    std::vector<std::wstring> DestinationFolders;
    // The system's text for the last error of a failed or aborted run.
    std::wstring LastErrorMessage;

    // True when the shell reports success and the user did not abort.
    bool Execute(HWND AOwner);
};

// The names as the shell reads them: each one made absolute, a name on a mapped network drive turned
// into its \\server\share form, each closed by a null and the whole closed by one more. An empty
// entry stays empty.
std::wstring ShellNameList(const std::vector<std::wstring>& ANames);
