// Header checks in front of the image decoder. The decoder has memory-
// safety faults, fixed only in its later releases, that certain file
// shapes reach; the library must not change the decoder's code, so it
// recognises those shapes from the file's headers and refuses them before
// the decoder reads a byte.
#pragma once

#include <cstdio>

// Reads the open file from its start and puts it back at its start. Returns
// null when the decoder may read the file, else a short reason for the
// refusal (a constant string), also when the file cannot be read.
const char* decode_guard_check(std::FILE* file);
