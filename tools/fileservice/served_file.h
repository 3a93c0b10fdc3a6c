#pragma once
// Opening a file of the served folder to read it. Anyone who can write into the folder can put a
// FIFO, a device or a link under a served name, or swap one in between a check and an open: the
// open never waits (a FIFO without a writer would hold the thread for good), never follows a link
// (the path given is already resolved inside the root) and hands back regular files only.
#include <sys/stat.h>

#include <string>

namespace fileservice {

struct OpenedFile {
    int fd = -1;    // owned by the caller; -1 when refused
    int error = 0;  // the open's errno when refused; 0 with fd -1: not a regular file
    struct stat info {};

    bool Refused() const { return fd < 0; }
    // Why it was refused, for a log line or a warning ("Permission denied", "not a regular file").
    std::string Why() const;
};

// Opens `path` (absolute, free of links: a canonical path of the served tree) read-only.
OpenedFile OpenServedFile(const char* path);

// Opens `relative` under the folder `root` read-only in one step, links followed only while they
// stay beneath `root` (the kernel refuses the rest: absolute links, ".." out of it). Refused also
// where the kernel cannot resolve that way; the caller then resolves the name itself.
OpenedFile OpenServedFileBeneath(const char* root, const char* relative);

}  // namespace fileservice
