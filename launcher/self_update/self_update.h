#pragma once
// The launcher replacing its own executable with the one on the server folder. Runs on the UI thread.
//
// The local names resolve against the process's current directory, not the executable's folder: a
// launcher started from elsewhere updates (and restarts) the "Aurevia.EXE" of its current directory.
#include <string>

#include "update/plan/update_verification.h"

inline constexpr wchar_t kLauncherExe[] = L"Aurevia.EXE";
inline constexpr wchar_t kLauncherNew[] = L"Aurevia.NEW";
inline constexpr wchar_t kLauncherOld[] = L"Aurevia.OLD";

enum class TSelfUpdateOutcome {
    UpToDate,    // nothing to do: the same version, or a version that could not be read
    CopyFailed,  // the local executable is the one that was there before
    Replaced,    // "Aurevia.EXE" is the server's build, "Aurevia.OLD" the one that is running
};

// Copies the server folder's launcher beside the local one when the two versions differ in any of
// their four parts, and swaps the two by renaming. The copy is fetched into a temporary, checked by
// its size and renamed "Aurevia.NEW" before the swap; a failed swap puts the previous executable
// back, so the folder never ends up without an "Aurevia.EXE". AServerFolder ends in "\". With
// verification enabled the launcher is the one the plan (update/plan/release_plan.h) resolves: the
// flat folder's accepted manifest must list it, or under release control (a rollout document on the
// server) the assigned release's "Aurevia.EXE", copied from its stored content; the copy must match
// that entry before it is renamed, otherwise nothing is left behind and the outcome is CopyFailed.
TSelfUpdateOutcome ReplaceLauncherFromServer(const std::wstring& AServerFolder,
                                             const TUpdateVerification& AVerification = {});

// The full name of the local launcher that a successful replacement leaves in place.
std::wstring LocalLauncherPath();

// Starts the local launcher: default verb, no parameters, inheriting the current directory.
void StartLocalLauncher();
