#pragma once
// The launcher replacing its own executable with the one on the server folder. Runs on the UI thread.
//
// The local names resolve against the process's current directory, not the executable's folder: a
// launcher started from elsewhere updates (and restarts) the "Aurevia.EXE" of its current directory.
#include <string>

#include "update/trust/manifest_acceptance.h"

inline constexpr wchar_t kLauncherExe[] = L"Aurevia.EXE";
inline constexpr wchar_t kLauncherNew[] = L"Aurevia.NEW";
inline constexpr wchar_t kLauncherOld[] = L"Aurevia.OLD";

enum class TSelfUpdateOutcome {
    UpToDate,    // nothing to do: same short version, or a version that could not be read
    CopyFailed,  // the local executable is the one that was there before
    Replaced,    // "Aurevia.EXE" is the server's build, "Aurevia.OLD" the one that is running
};

// Copies the server folder's launcher beside the local one when their short versions differ, checks
// the copy by its size and swaps the two by renaming. A failed swap puts the previous executable back,
// so the folder never ends up without an "Aurevia.EXE". AServerFolder ends in "\". With verification
// enabled the server folder's manifest must be accepted and the copy must match its entry for
// "Aurevia.EXE" before anything is renamed; otherwise the copy is deleted and the outcome is
// CopyFailed. Under release control (a rollout document on the server) the launcher is the assigned
// release's "Aurevia.EXE", copied from its stored content and checked against the release.
TSelfUpdateOutcome ReplaceLauncherFromServer(const std::wstring& AServerFolder,
                                             const TUpdateVerification& AVerification = {});

// The full name of the local launcher that a successful replacement leaves in place.
std::wstring LocalLauncherPath();

// Starts the local launcher: default verb, no parameters, inheriting the current directory.
void StartLocalLauncher();
