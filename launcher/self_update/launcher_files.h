#pragma once
// Facts about single files that the self-update and the support tools decide on. Thin Win32 wrappers;
// none of them raises: a file that cannot be read gives the "unknown" value of each.
#include <cstdint>
#include <string>

#include <optional>

#include "launcher/self_update/version_string.h"
// FileExists comes with the updater's file operations: one definition of "a file is there".
#include "update/disk/file_operations.h"

// The file's fixed file version in full; nothing when the file is missing or carries no version
// information.
std::optional<TFileVersion> FileFullVersionOf(const std::wstring& fileName);

// The short version string of the file's fixed file version (see VersionString); empty when the file
// is missing or carries no version information.
std::wstring FileVersionOf(const std::wstring& fileName);

// The size in bytes, or -1 when the file cannot be opened. Opens for no data access, so a file that
// another process holds open without sharing still has a size.
std::int64_t FileSizeOf(const std::wstring& fileName);

// The last-write time in local time packed as DOS date (high word) and time (low word), two-second
// resolution; -1 when the file does not exist.
std::int32_t FileDosAge(const std::wstring& fileName);

// The process's current directory without a trailing "\" (except at a drive's root).
std::wstring CurrentDirectory();
