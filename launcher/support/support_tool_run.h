#pragma once
// A click on a remote-support area: the tool brought up to date from the server folder, checked when
// updates are verified, and started from the launcher's own folder. Runs on the UI thread and blocks
// it while the shell copies.
#include <functional>
#include <string>

#include "update/trust/manifest_acceptance.h"

struct TSupportToolPlaces {
    std::wstring ServerFolder;       // ends in "\"
    std::wstring DestinationFolder;  // where the copy goes, resolved against the current directory
    TUpdateVerification Verification;
};

// The copy goes to the destination folder, the start comes from the launcher's own folder: the same
// place when the launcher runs from its folder. ACopyFromServer is the shell's copy of the tool from
// the server folder to the destination folder (the window's, which owns the shell's component).
void RunSupportTool(const wchar_t* AFileName, const TSupportToolPlaces& APlaces,
                    const std::function<void()>& ACopyFromServer);
