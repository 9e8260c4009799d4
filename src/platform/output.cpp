// Writing output files. A regular file is not overwritten in place where
// its folder allows otherwise: the bytes go to a fresh temporary file beside
// it, which replaces the output only once every byte is written and the
// file is closed. A failed write (full disk, failing device) therefore
// leaves the old file, which may be the input itself, intact. On Linux the
// temporary has no name while it is written, so a process killed meanwhile
// leaves nothing behind.
//
// Where the folder takes no new files, or the file cannot be renamed over
// (a file mounted on its own, a sticky folder, another file system under
// the name), a file that the caller may write is written in place: the
// space is reserved first, so that a full disk fails before the first
// byte changes.
#include "platform/output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "common/error.h"

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string folder_of(const std::string& path) {
#if defined(_WIN32)
    size_t slash = path.find_last_of("/\\");
#else
    size_t slash = path.rfind('/');
#endif
    if (slash == std::string::npos) return std::string();
    return path.substr(0, slash + 1);
}

// Unguessable, so that nobody can plant a file or link under the name
// first; creation is exclusive as well.
std::string random_suffix() {
    uint64_t bits = 0;
    try {
        std::random_device device;
        bits = (static_cast<uint64_t>(device()) << 32) ^ device();
    } catch (...) {
        bits = static_cast<uint64_t>(
            std::chrono::high_resolution_clock::now().time_since_epoch().count());
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

std::string temporary_stem(const std::string& target) { return folder_of(target) + ".veerpix-"; }

bool same_file(const FileIdentity* input, const FileIdentity& output) {
    return input && input->known && output.known && input->device == output.device &&
           input->inode == output.inode;
}

enum class TempResult { Written, Failed, CannotCreate, RenameRefused };

// What an output holds: bytes in memory, followed, where given, by the
// tail of an open file.
struct Content {
    const uint8_t* head;
    uint64_t head_length;
    const FileTail* tail;
};

uint64_t content_length(const Content& content) {
    return content.head_length + (content.tail ? content.tail->size - content.tail->offset : 0);
}

#if defined(_WIN32)
int64_t read_at(int descriptor, uint8_t* buffer, size_t count, uint64_t offset) {
    if (_lseeki64(descriptor, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
    return _read(descriptor, buffer, static_cast<unsigned>(count));
}

bool tail_unchanged(const FileTail& tail) {
    struct _stat64 status {};
    return _fstat64(tail.descriptor, &status) == 0 &&
           static_cast<uint64_t>(status.st_size) == tail.size;
}
#else
int64_t read_at(int descriptor, uint8_t* buffer, size_t count, uint64_t offset) {
    return pread(descriptor, buffer, count, static_cast<off_t>(offset));
}

bool tail_unchanged(const FileTail& tail) {
    struct stat status {};
    return fstat(tail.descriptor, &status) == 0 &&
           static_cast<uint64_t>(status.st_size) == tail.size;
}
#endif

// Runs `copy` between two checks that the file still has its former size:
// a file that changed is not the one whose start was read.
template <typename Copy>
bool copy_unchanged(const FileTail& tail, Copy copy) {
    return tail_unchanged(tail) && copy() && tail_unchanged(tail);
}

constexpr size_t kCopyChunk = size_t{1} << 20;

// Copies the tail from `from` on through `write_chunk`: where the kernel
// cannot copy (other systems, some pairs of files).
template <typename WriteChunk>
bool copy_by_reading(const FileTail& tail, uint64_t from, WriteChunk write_chunk) {
    if (from >= tail.size) return true;
    const malloc_ptr<uint8_t> chunk(static_cast<uint8_t*>(std::malloc(kCopyChunk)));
    if (!chunk) return false;
    while (from < tail.size) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, tail.size - from));
        const int64_t got = read_at(tail.descriptor, chunk.get(), wanted, from);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        if (!write_chunk(chunk.get(), static_cast<uint64_t>(got))) return false;
        from += static_cast<uint64_t>(got);
    }
    return true;
}

// The whole content in memory, for the writes that cannot take the tail
// from its file: those that would overwrite that file before it is read.
bool gather(const Content& content, malloc_ptr<uint8_t>* whole) {
    const uint64_t length = content_length(content);
    if (length > SIZE_MAX) return false;
    whole->reset(static_cast<uint8_t*>(std::malloc(length ? static_cast<size_t>(length) : 1)));
    if (!*whole) return false;
    if (content.head_length) {
        std::memcpy(whole->get(), content.head, static_cast<size_t>(content.head_length));
    }
    if (!content.tail) return true;
    uint8_t* end = whole->get() + content.head_length;
    const auto append = [&](const uint8_t* bytes, uint64_t count) {
        std::memcpy(end, bytes, static_cast<size_t>(count));
        end += count;
        return true;
    };
    const FileTail& tail = *content.tail;
    return copy_unchanged(tail, [&] { return copy_by_reading(tail, tail.offset, append); });
}

#if defined(_WIN32)

// Writes through the C runtime, for devices and the in-place case.
bool write_direct(const char* path, const Content& content) {
    // Opening truncates, and the tail's file may be this one.
    malloc_ptr<uint8_t> whole;
    if (content.tail && !gather(content, &whole)) return false;
    const uint8_t* bytes = content.tail ? whole.get() : content.head;
    const uint64_t length = content_length(content);
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    size_t written = std::fwrite(bytes, 1, static_cast<size_t>(length), file);
    int closed = std::fclose(file);
    return written == length && closed == 0;
}

std::string full_path(const char* path) {
    // The absolute form keeps the temporary file beside the output for a
    // drive-relative name (D:out.png) too, and shows devices: NUL, COM1
    // (and on older Windows nul.png, sub\con) become \\.\NAME.
    DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);
    if (size == 0) return path;
    std::string full(size, '\0');
    DWORD length = GetFullPathNameA(path, size, &full[0], nullptr);
    if (length == 0 || length >= size) return path;
    full.resize(length);
    return full;
}

bool set_delete_on_close(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool write_handle(HANDLE file, const uint8_t* bytes, uint64_t length) {
    while (length > 0) {
        DWORD chunk = length > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) return false;
        bytes += written;
        length -= written;
    }
    return true;
}

bool write_content(HANDLE file, const Content& content) {
    if (!write_handle(file, content.head, content.head_length)) return false;
    if (!content.tail) return true;
    const FileTail& tail = *content.tail;
    const auto write_chunk = [&](const uint8_t* bytes, uint64_t count) {
        return write_handle(file, bytes, count);
    };
    return copy_unchanged(tail, [&] { return copy_by_reading(tail, tail.offset, write_chunk); });
}

// The temporary is marked for deletion while it is written, so that a
// process killed meanwhile leaves nothing; the mark is lifted only when it
// is complete, just before it is closed and moved over the output.
TempResult write_through_temporary(const std::string& target, const Content& content, bool flush) {
    const std::string stem = temporary_stem(target);
    std::string temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = stem + random_suffix() + ".tmp";
        file = CreateFileA(temporary.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_ACCESS_DENIED ? TempResult::CannotCreate : TempResult::Failed;
    }
    const bool marked = set_delete_on_close(file, true);
    bool complete = write_content(file, content) && (!flush || FlushFileBuffers(file));
    if (complete && marked) complete = set_delete_on_close(file, false);
    if (!CloseHandle(file)) complete = false;
    if (!complete) {
        if (!marked) DeleteFileA(temporary.c_str());
        return TempResult::Failed;
    }
    const DWORD move_flags = MOVEFILE_REPLACE_EXISTING | (flush ? MOVEFILE_WRITE_THROUGH : 0);
    if (!MoveFileExA(temporary.c_str(), target.c_str(), move_flags)) {
        DeleteFileA(temporary.c_str());
        return TempResult::Failed;
    }
    return TempResult::Written;
}

bool write_bytes(const char* path, const Content& content, const FileIdentity* input) {
    const std::string target = full_path(path);
    // The device namespace (devices, pipes) is written directly, and not
    // opened to look: opening a pipe would take one of its connections.
    if (target.compare(0, 4, "\\\\.\\") == 0) return write_direct(path, content);
    const DWORD attributes = GetFileAttributesA(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    FileIdentity output;
    if (exists) {
        // Opening it for writing is the test of whether the caller may
        // replace it (read-only files, files held without sharing).
        HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        const bool on_disk = GetFileType(file) == FILE_TYPE_DISK;
        BY_HANDLE_FILE_INFORMATION info;
        if (on_disk && GetFileInformationByHandle(file, &info)) {
            output.device = info.dwVolumeSerialNumber;
            output.inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
            output.known = true;
        }
        CloseHandle(file);
        // Anything else that is not a file on a disk is written directly.
        if (!on_disk) return write_direct(path, content);
    }
    switch (write_through_temporary(target, content, same_file(input, output))) {
        case TempResult::Written: return true;
        case TempResult::CannotCreate: break;
        default: return false;
    }
    // The folder takes no new files (read-only folder, writable file):
    // writing in place is all that is left.
    return exists && write_direct(path, content);
}

#else

// Closes on every path; close() itself is checked where its result matters
// (network file systems report failed writes there).
struct Descriptor {
    int number = -1;
    Descriptor() = default;
    explicit Descriptor(int descriptor) : number(descriptor) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (number >= 0) close(number);
    }
    bool close_checked() {
        const int descriptor = number;
        number = -1;
        return close(descriptor) == 0;
    }
};

bool write_all(int descriptor, const uint8_t* bytes, uint64_t length) {
    while (length > 0) {
        const size_t chunk = length > (uint64_t{1} << 30) ? size_t{1} << 30 : static_cast<size_t>(length);
        const ssize_t written = write(descriptor, bytes, chunk);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<uint64_t>(written);
    }
    return true;
}

// The kernel declines to copy between these files (other file systems,
// pipes, older kernels): the read/write loop copies instead.
bool copy_refused(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// The tail goes from file to file inside the kernel where it can, without
// passing through this process.
bool copy_in_kernel_or_by_reading(int descriptor, const FileTail& tail) {
    uint64_t from = tail.offset;
#if defined(__linux__)
    while (from < tail.size) {
        off_t source_offset = static_cast<off_t>(from);
        const size_t chunk =
            static_cast<size_t>(std::min<uint64_t>(tail.size - from, uint64_t{1} << 30));
        const ssize_t copied =
            copy_file_range(tail.descriptor, &source_offset, descriptor, nullptr, chunk, 0);
        if (copied < 0 && errno == EINTR) continue;
        if (copied < 0 && copy_refused(errno)) break;
        // 0: the file ends before its former size.
        if (copied <= 0) return false;
        from += static_cast<uint64_t>(copied);
    }
#endif
    return copy_by_reading(tail, from, [&](const uint8_t* bytes, uint64_t count) {
        return write_all(descriptor, bytes, count);
    });
}

bool copy_tail(int descriptor, const FileTail& tail) {
    return copy_unchanged(tail, [&] { return copy_in_kernel_or_by_reading(descriptor, tail); });
}

bool write_content(int descriptor, const Content& content) {
    if (!write_all(descriptor, content.head, content.head_length)) return false;
    return !content.tail || copy_tail(descriptor, *content.tail);
}

// Pipes and devices: blocking writes from here on (the open did not wait).
bool write_to_stream(Descriptor& stream, const Content& content) {
    const int flags = fcntl(stream.number, F_GETFL);
    if (flags < 0 || fcntl(stream.number, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
    return write_content(stream.number, content) && stream.close_checked();
}

FileIdentity identity_of(const struct stat& status) {
    return {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino), true};
}

// The file being written, named only once it is complete; removed on
// every path that does not end in its rename.
struct Temporary {
    Descriptor file;
    std::string name;  // empty while the file has none
    bool unnamed = false;
    ~Temporary() {
        if (!name.empty()) unlink(name.c_str());
    }
};

bool creation_refused(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// Renames that fail for a file the caller may still write: the output is
// a mount point of its own (EBUSY), sits in a sticky folder under another
// owner (EPERM), or lies on another file system than its folder (EXDEV).
bool rename_refused(int error) { return error == EBUSY || error == EPERM || error == EXDEV; }

// The folder refuses unnamed files only where the file system or the
// kernel cannot make them; the named temporary is the fallback then.
bool unnamed_unsupported(int error) { return error == EOPNOTSUPP || error == EISDIR; }

// What the new file must carry of the file it replaces.
struct Replaced {
    bool exists = false;
    struct stat status {};
};

void take_over_owner_and_mode(int descriptor, const Replaced& replaced) {
    if (!replaced.exists) return;
    // The creation mode went through the umask; the replaced file's bits
    // are kept whole.
    (void)fchmod(descriptor, replaced.status.st_mode & 07777);
    if (fchown(descriptor, replaced.status.st_uid, replaced.status.st_gid) != 0) {
        // Only a privileged process may give files away; the bits still hold.
    }
}

mode_t creation_mode(const Replaced& replaced) {
    return replaced.exists ? (replaced.status.st_mode & 07777) : 0666;
}

std::string folder_or_current(const std::string& target) {
    std::string folder = folder_of(target);
    return folder.empty() ? std::string(".") : folder;
}

// 0 or the errno of the failed creation.
int create_temporary(const std::string& target, const Replaced& replaced, bool allow_unnamed,
                     Temporary* temporary) {
#if defined(O_TMPFILE)
    if (allow_unnamed) {
        const int descriptor = open(folder_or_current(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                                    creation_mode(replaced));
        if (descriptor >= 0) {
            temporary->file.number = descriptor;
            temporary->unnamed = true;
            take_over_owner_and_mode(descriptor, replaced);
            return 0;
        }
        if (!unnamed_unsupported(errno)) return errno;
    }
#else
    (void)allow_unnamed;
#endif
    const std::string stem = temporary_stem(target);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = stem + random_suffix() + ".tmp";
        const int descriptor =
            open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, creation_mode(replaced));
        if (descriptor >= 0) {
            temporary->file.number = descriptor;
            temporary->name = std::move(name);
            take_over_owner_and_mode(descriptor, replaced);
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

// Gives the complete unnamed file a name beside the target, through /proc
// (any user) or AT_EMPTY_PATH (where /proc is missing and it is allowed).
bool name_temporary(Temporary* temporary, const std::string& target) {
    char by_number[64];
    std::snprintf(by_number, sizeof by_number, "/proc/self/fd/%d", temporary->file.number);
    const std::string stem = temporary_stem(target);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = stem + random_suffix() + ".tmp";
        int linked = linkat(AT_FDCWD, by_number, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno == ENOENT) {
            linked = linkat(temporary->file.number, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
        }
        if (linked == 0) {
            temporary->name = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

TempResult write_through_temporary(const std::string& target, const Replaced& replaced,
                                   const Content& content, bool flush, bool allow_unnamed = true) {
    // The folder is flushed after the rename, so that the new name is on
    // the disk too. It is opened first: nothing may fail once the file is
    // replaced. A failure of that flush is not reported: the data is on the
    // disk by then, so a crash leaves either the old or the new file.
    Descriptor folder;
    if (flush) {
        folder.number = open(folder_or_current(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder.number < 0) return TempResult::Failed;
    }
    Temporary temporary;
    const int refused = create_temporary(target, replaced, allow_unnamed, &temporary);
    if (refused != 0) return creation_refused(refused) ? TempResult::CannotCreate : TempResult::Failed;
    if (!write_content(temporary.file.number, content)) return TempResult::Failed;
    if (flush && fsync(temporary.file.number) != 0) return TempResult::Failed;
    if (temporary.unnamed && !name_temporary(&temporary, target)) {
        // Neither way of naming it works here: start again with a named file.
        return write_through_temporary(target, replaced, content, flush, false);
    }
    if (!temporary.file.close_checked()) return TempResult::Failed;
    if (std::rename(temporary.name.c_str(), target.c_str()) != 0) {
        return replaced.exists && rename_refused(errno) ? TempResult::RenameRefused : TempResult::Failed;
    }
    temporary.name.clear();
    if (flush) (void)fsync(folder.number);
    return TempResult::Written;
}

// Not atomic: a crash or a failing device midway leaves a mixture. The
// space is reserved before the first byte changes, so that a full disk is
// found out while the old bytes are still whole.
bool overwrite(Descriptor& file, const struct stat& status, const Content& content, uint64_t length,
               bool flush) {
    if (length > static_cast<uint64_t>(INT64_MAX)) return false;
    const off_t new_size = static_cast<off_t>(length);
    if (new_size > 0) {
        const int reserved = posix_fallocate(file.number, 0, new_size);
        // EOPNOTSUPP, EINVAL: the file system cannot reserve; the writes
        // below are checked all the same.
        if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) {
            if (new_size > status.st_size) (void)ftruncate(file.number, status.st_size);
            return false;
        }
    }
    if (!write_content(file.number, content)) return false;
    if (ftruncate(file.number, new_size) != 0) return false;
    if (flush && fsync(file.number) != 0) return false;
    return file.close_checked();
}

bool is_file(int descriptor, const struct stat& status) {
    struct stat other {};
    return fstat(descriptor, &other) == 0 && other.st_dev == status.st_dev &&
           other.st_ino == status.st_ino;
}

// A file written over itself keeps a tail that stands where it belongs as
// it is; one that moves is read into memory first, since copying it within
// the file would overwrite bytes not yet copied.
bool write_in_place(Descriptor& file, const struct stat& status, const Content& content, bool flush) {
    const uint64_t length = content_length(content);
    if (!content.tail || !is_file(content.tail->descriptor, status)) {
        return overwrite(file, status, content, length, flush);
    }
    if (content.tail->offset == content.head_length) {
        if (!tail_unchanged(*content.tail)) return false;
        const Content head_only{content.head, content.head_length, nullptr};
        return overwrite(file, status, head_only, length, flush);
    }
    malloc_ptr<uint8_t> whole;
    if (!gather(content, &whole)) return false;
    return overwrite(file, status, Content{whole.get(), length, nullptr}, length, flush);
}

// A name that leads nowhere (a dangling link): the file is created where
// the link points, as opening the name would.
bool write_through_dangling_link(const char* path, const Content& content) {
    Descriptor file(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666));
    if (file.number < 0) return false;
    return write_content(file.number, content) && file.close_checked();
}

bool write_new_file(const char* path, const Content& content) {
    struct stat link_status {};
    if (lstat(path, &link_status) == 0) return write_through_dangling_link(path, content);
    return write_through_temporary(path, Replaced{}, content, false) == TempResult::Written;
}

bool write_bytes(const char* path, const Content& content, const FileIdentity* input) {
    // Opening the output for writing is the test of whether the caller may
    // replace it: its own protection holds, not only its folder's. Without
    // O_NONBLOCK a FIFO without a reader would wait for one forever.
    Descriptor existing(open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (existing.number < 0) return errno == ENOENT && write_new_file(path, content);
    Replaced replaced;
    replaced.exists = true;
    if (fstat(existing.number, &replaced.status) != 0) return false;
    if (!S_ISREG(replaced.status.st_mode)) return write_to_stream(existing, content);

    // Write through a link to its target, as opening it would.
    const malloc_ptr<char> resolved(realpath(path, nullptr));
    if (!resolved) return false;
    const std::string target = resolved.get();

    const bool flush = same_file(input, identity_of(replaced.status));
    switch (write_through_temporary(target, replaced, content, flush)) {
        case TempResult::Written: return true;
        case TempResult::Failed: return false;
        default: return write_in_place(existing, replaced.status, content, flush);
    }
}

#endif

}  // namespace

int write_file(const char* path, malloc_ptr<uint8_t> buffer, uint64_t length,
               const FileIdentity* input, const FileTail* tail) {
    if (!write_bytes(path, Content{buffer.get(), length, tail}, input)) {
        set_err("failed to write output: %s", path);
        return 0;
    }
    return 1;
}
