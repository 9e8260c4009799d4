// The wrappers behind fault_seam.h. Nothing here may call a wrapped
// function by its plain name: inside this executable that name is the
// wrapper itself.
#include "fault_seam.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fdopen(int descriptor, const char* mode);
int __real_open(const char* path, int flags, ...);
size_t __real_fread(void* buffer, size_t size, size_t count, FILE* stream);
size_t __real_fwrite(const void* buffer, size_t size, size_t count, FILE* stream);
int __real_fclose(FILE* stream);
int __real_rename(const char* from, const char* to);
int __real_fstat(int descriptor, struct stat* status);
int __real_fcntl(int descriptor, int command, ...);
ssize_t __real_write(int descriptor, const void* buffer, size_t count);
int __real_close(int descriptor);
int __real_fsync(int descriptor);
int __real_posix_fallocate(int descriptor, off_t offset, off_t length);
int __real_ftruncate(int descriptor, off_t length);
int __real_linkat(int from_folder, const char* from, int to_folder, const char* to, int flags);
ssize_t __real_pread(int descriptor, void* buffer, size_t count, off_t offset);
ssize_t __real_copy_file_range(int from, off_t* from_offset, int to, off_t* to_offset, size_t count,
                               unsigned flags);
}

namespace fault {
namespace {

struct State {
    bool armed = false;
    uint64_t fail_at = 0;
    int error = 0;
    Tally tally;
    bool kill_at_write = false;
    int refused_kind = -1;
    int refused_error = 0;
    // refuse_next: the errors still to give, in order.
    int scripted_kind = -1;
    Refusal scripted[4] = {};
    int scripted_count = 0;
    int scripted_used = 0;
};
State g_state;

// The kinds of the calls of the last armed run, in order.
constexpr uint64_t kLogSize = 1 << 20;
Call g_log[kLogSize];

// Blocks allocated while armed: an open-addressing set of pointers. A
// fixed table, since the set must not allocate through the seam it watches.
constexpr size_t kSlots = 1 << 16;
void* const kRemoved = reinterpret_cast<void*>(uintptr_t{1});
void* g_slots[kSlots];

size_t slot_of(const void* block) {
    uint64_t bits = reinterpret_cast<uintptr_t>(block);
    bits ^= bits >> 33;
    bits *= 0xff51afd7ed558ccdULL;
    bits ^= bits >> 33;
    return static_cast<size_t>(bits) & (kSlots - 1);
}

void record(void* block) {
    if (!g_state.armed || !block) return;
    if (g_state.tally.live_blocks >= kSlots / 2) {
        g_state.tally.record_overflow = true;
        return;
    }
    for (size_t slot = slot_of(block);; slot = (slot + 1) & (kSlots - 1)) {
        if (g_slots[slot] == nullptr || g_slots[slot] == kRemoved) {
            g_slots[slot] = block;
            ++g_state.tally.live_blocks;
            return;
        }
    }
}

void forget(void* block) {
    if (!g_state.armed || !block) return;
    for (size_t slot = slot_of(block); g_slots[slot] != nullptr; slot = (slot + 1) & (kSlots - 1)) {
        if (g_slots[slot] == block) {
            g_slots[slot] = kRemoved;
            --g_state.tally.live_blocks;
            return;
        }
    }
}

// Counts the call; true when it is the one to fail (errno already set).
// `flags`: open's flags, for the refusals that only some opens meet.
bool should_fail(Call call, int flags = 0) {
    if (!g_state.armed) return false;
    Tally& tally = g_state.tally;
    if (tally.total < kLogSize) g_log[tally.total] = call;
    ++tally.total;
    ++tally.by_kind[static_cast<int>(call)];
    if (tally.total == g_state.fail_at) {
        tally.injected = true;
        errno = g_state.error;
        return true;
    }
    if (static_cast<int>(call) == g_state.scripted_kind && g_state.scripted_used < g_state.scripted_count) {
        const Refusal& next = g_state.scripted[g_state.scripted_used];
        if ((flags & next.flags) == next.flags) {
            ++g_state.scripted_used;
            errno = next.error;
            return true;
        }
    }
    if (static_cast<int>(call) != g_state.refused_kind) return false;
    errno = g_state.refused_error;
    return true;
}

// What a failed read or write leaves on a stream: its error indicator
// set, so that ferror() tells the caller (glibc's FILE is public).
void mark_stream_failed(FILE* stream) { stream->_flags |= _IO_ERR_SEEN; }

}  // namespace

const char* call_name(Call call) {
    static const char* const names[kCallKinds] = {
        "malloc", "calloc", "realloc", "new",   "fopen", "fdopen",          "open",
        "fread",  "fwrite", "fclose",  "rename", "fstat", "fcntl",          "write",
        "close",  "fsync",  "posix_fallocate", "ftruncate", "linkat", "pread", "copy_file_range"};
    return names[static_cast<int>(call)];
}

void arm(uint64_t fail_at, int error) {
    std::memset(g_slots, 0, sizeof g_slots);
    g_state = State{true, fail_at, error, Tally{}};
}

void kill_at_first_write() { g_state.kill_at_write = true; }

void refuse_every(Call call, int error) {
    g_state.refused_kind = static_cast<int>(call);
    g_state.refused_error = error;
}

void refuse_next(Call call, std::initializer_list<Refusal> refusals) {
    g_state.scripted_kind = static_cast<int>(call);
    g_state.scripted_count = 0;
    g_state.scripted_used = 0;
    for (const Refusal& refusal : refusals) {
        if (g_state.scripted_count == 4) break;
        g_state.scripted[g_state.scripted_count++] = refusal;
    }
}

int refusals_left() { return g_state.scripted_count - g_state.scripted_used; }

bool kills_at_write() { return g_state.armed && g_state.kill_at_write; }

Tally disarm() {
    g_state.armed = false;
    return g_state.tally;
}

Call logged_call(uint64_t index) { return g_log[index - 1]; }

std::string describe(const Tally& tally) {
    std::string text;
    for (int kind = 0; kind < kCallKinds; ++kind) {
        if (tally.by_kind[kind] == 0) continue;
        if (!text.empty()) text += ", ";
        text += call_name(static_cast<Call>(kind));
        text += " " + std::to_string(tally.by_kind[kind]);
    }
    return text;
}

}  // namespace fault

using fault::Call;
using fault::should_fail;

extern "C" {

void* __wrap_malloc(size_t size) {
    if (should_fail(Call::Malloc)) return nullptr;
    void* block = __real_malloc(size);
    fault::record(block);
    return block;
}

void* __wrap_calloc(size_t count, size_t size) {
    if (should_fail(Call::Calloc)) return nullptr;
    void* block = __real_calloc(count, size);
    fault::record(block);
    return block;
}

// A failed realloc leaves the old block as it was.
void* __wrap_realloc(void* block, size_t size) {
    if (should_fail(Call::Realloc)) return nullptr;
    void* moved = __real_realloc(block, size);
    if (moved || size == 0) fault::forget(block);
    fault::record(moved);
    return moved;
}

void __wrap_free(void* block) {
    fault::forget(block);
    __real_free(block);
}

FILE* __wrap_fopen(const char* path, const char* mode) {
    if (should_fail(Call::Fopen)) return nullptr;
    return __real_fopen(path, mode);
}

FILE* __wrap_fdopen(int descriptor, const char* mode) {
    if (should_fail(Call::Fdopen)) return nullptr;
    return __real_fdopen(descriptor, mode);
}

int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if (should_fail(Call::Open, flags)) return -1;
    return __real_open(path, flags, mode);
}

size_t __wrap_fread(void* buffer, size_t size, size_t count, FILE* stream) {
    if (should_fail(Call::Fread)) {
        fault::mark_stream_failed(stream);
        return 0;
    }
    return __real_fread(buffer, size, count, stream);
}

size_t __wrap_fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
    if (should_fail(Call::Fwrite)) {
        fault::mark_stream_failed(stream);
        return 0;
    }
    return __real_fwrite(buffer, size, count, stream);
}

// A failing fclose (the last flush failed) still closes the stream.
int __wrap_fclose(FILE* stream) {
    const bool fail = should_fail(Call::Fclose);
    const int error = errno;
    const int closed = __real_fclose(stream);
    if (!fail) return closed;
    errno = error;
    return EOF;
}

int __wrap_rename(const char* from, const char* to) {
    if (should_fail(Call::Rename)) return -1;
    return __real_rename(from, to);
}

int __wrap_fstat(int descriptor, struct stat* status) {
    if (should_fail(Call::Fstat)) return -1;
    return __real_fstat(descriptor, status);
}

// The argument is passed on as the C library itself reads it: as a pointer
// whether or not the command takes one.
int __wrap_fcntl(int descriptor, int command, ...) {
    va_list args;
    va_start(args, command);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (should_fail(Call::Fcntl)) return -1;
    return __real_fcntl(descriptor, command, argument);
}

ssize_t __wrap_write(int descriptor, const void* buffer, size_t count) {
    if (should_fail(Call::Write)) return -1;
    if (fault::kills_at_write()) {
        (void)__real_write(descriptor, buffer, count / 2);
        raise(SIGKILL);
    }
    return __real_write(descriptor, buffer, count);
}

// A failing close (a network file system's late write error) still closes.
int __wrap_close(int descriptor) {
    const bool fail = should_fail(Call::Close);
    const int error = errno;
    const int closed = __real_close(descriptor);
    if (!fail) return closed;
    errno = error;
    return -1;
}

int __wrap_fsync(int descriptor) {
    if (should_fail(Call::Fsync)) return -1;
    return __real_fsync(descriptor);
}

// Reports its failure as its result, not in errno.
int __wrap_posix_fallocate(int descriptor, off_t offset, off_t length) {
    if (should_fail(Call::Fallocate)) return errno;
    return __real_posix_fallocate(descriptor, offset, length);
}

int __wrap_ftruncate(int descriptor, off_t length) {
    if (should_fail(Call::Ftruncate)) return -1;
    return __real_ftruncate(descriptor, length);
}

int __wrap_linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) {
    if (should_fail(Call::Linkat)) return -1;
    return __real_linkat(from_folder, from, to_folder, to, flags);
}

ssize_t __wrap_pread(int descriptor, void* buffer, size_t count, off_t offset) {
    if (should_fail(Call::Pread)) return -1;
    return __real_pread(descriptor, buffer, count, offset);
}

ssize_t __wrap_copy_file_range(int from, off_t* from_offset, int to, off_t* to_offset, size_t count,
                               unsigned flags) {
    if (should_fail(Call::CopyFileRange)) return -1;
    return __real_copy_file_range(from, from_offset, to, to_offset, count, flags);
}

}  // extern "C"

// The C++ runtime allocates the library's strings in its own code, out of
// reach of --wrap; a replaced operator new is reached from everywhere.
void* operator new(std::size_t size) {
    if (should_fail(Call::New)) throw std::bad_alloc();
    void* block = __real_malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    fault::record(block);
    return block;
}

void* operator new[](std::size_t size) { return operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}

void operator delete(void* block) noexcept { __wrap_free(block); }
void operator delete[](void* block) noexcept { __wrap_free(block); }
void operator delete(void* block, std::size_t) noexcept { __wrap_free(block); }
void operator delete[](void* block, std::size_t) noexcept { __wrap_free(block); }
