// A seam between the library and the C runtime for fault injection. The
// test executable is linked with --wrap for every call below, so the
// library's objects (the codec unit included) call these wrappers instead
// of the C runtime; the global operator new is replaced as well, since the
// C++ runtime allocates strings for the library inside its own code.
//
// While armed, every call is counted; the call whose number equals
// `fail_at` fails the way the real call fails, with the given errno. Every
// block allocated while armed is recorded until it is freed, so a block
// still recorded after the operation has leaked.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace fault {

enum class Call : uint8_t {
    Malloc,
    Calloc,
    Realloc,
    New,
    Fopen,
    Fdopen,
    Open,
    Fread,
    Fwrite,
    Fclose,
    Rename,
    Fstat,
    Fcntl,
    Write,
    Close,
    Fsync,
    Fallocate,
    Ftruncate,
    Linkat,
    Pread,
    CopyFileRange,
};
constexpr int kCallKinds = 21;

const char* call_name(Call call);

// fail_at 0 only counts. The counters, the call log and the record of
// live blocks start empty.
void arm(uint64_t fail_at, int error);

struct Tally {
    uint64_t total = 0;
    uint64_t by_kind[kCallKinds] = {};
    bool injected = false;       // the call numbered fail_at was reached and failed
    uint64_t live_blocks = 0;    // allocated while armed and not freed
    bool record_overflow = false;
};

Tally disarm();

// While armed, every call of the kind fails with `error` as well, beside
// the one numbered fail_at: a condition of the system rather than a fault
// (a rename that the file system refuses). arm() clears it.
void refuse_every(Call call, int error);

// One refusal of refuse_next: the error, and the bits of open's flags
// that the refused call has (0: any call of the kind).
struct Refusal {
    int error;
    int flags = 0;
};

// While armed, calls of the kind fail in turn with `refusals`, each
// taken by the next call that has its flags, beside the one numbered
// fail_at: a system that refuses one road (unnamed files, linking) and
// leaves the others open. arm() clears it.
void refuse_next(Call call, std::initializer_list<Refusal> refusals);

// How many of the refusals asked with refuse_next no call has met yet.
int refusals_left();

// While armed, the first write() writes half its bytes and then kills the
// process (SIGKILL): a crash in the middle of writing a result.
void kill_at_first_write();

// The kind of call number `index` (1-based) of the last armed run.
Call logged_call(uint64_t index);

// "malloc 3, fopen 2, ..." for a report line.
std::string describe(const Tally& tally);

}  // namespace fault
