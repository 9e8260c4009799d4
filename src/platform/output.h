// The one step that writes output files.
#pragma once

#include <cstdint>

#include "common/memory.h"

// Which file was read: the output that is the same file gets flushed to
// the disk before it replaces it.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool known = false;
};

// The end of an output that is the end of an open input file: its bytes
// from `offset` on. `size` is the file's size when it was read, which it
// must still have: a file that changed meanwhile is not the one whose
// start was read.
struct FileTail {
    int descriptor = -1;
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Writes `length` bytes of `buffer` to `path` and releases the buffer on
// every outcome. A regular file is replaced atomically where its folder
// allows: on failure the path keeps what it held before. Where the folder
// takes no new files or the file cannot be renamed over (a mount point, a
// sticky folder), a writable file is written in place instead. A file the
// caller may not open for writing is refused. `input` names the file the
// operation read, if any. `tail`, where given, follows the buffer's bytes
// in the output; the kernel copies it where it can. Sets "failed to write output" and returns 0 on
// failure, returns 1 on success.
int write_file(const char* path, malloc_ptr<uint8_t> buffer, uint64_t length,
               const FileIdentity* input = nullptr, const FileTail* tail = nullptr);
