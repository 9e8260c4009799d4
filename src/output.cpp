// Writing output files. A regular file is never overwritten in place: the
// bytes go to a fresh temporary file beside it, which replaces the output
// only once every byte is written and the file is closed. A failed write
// (full disk, failing device) therefore leaves the old file, which may be
// the input itself, intact.
#include "output.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "error.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// What stands at the output path before the write.
struct OutputTarget {
    std::string path;        // where the bytes must end up (links resolved)
    bool replace = false;    // a regular file, or nothing yet: use a temporary
    bool exists = false;
#if !defined(_WIN32)
    struct stat status {};
#endif
};

bool write_and_close(std::FILE* file, const uint8_t* bytes, uint64_t length) {
    size_t written = std::fwrite(bytes, 1, static_cast<size_t>(length), file);
    int closed = std::fclose(file);
    return written == length && closed == 0;
}

// Devices, pipes and the fallback case are written through fopen directly.
bool write_direct(const char* path, const uint8_t* bytes, uint64_t length) {
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    return write_and_close(file, bytes, length);
}

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

#if defined(_WIN32)

OutputTarget inspect_target(const char* path) {
    OutputTarget target;
    target.path = path;
    // The absolute form keeps the temporary file beside the output for a
    // drive-relative name (D:out.png) too, and shows devices: NUL, COM1
    // (and on older Windows nul.png, sub\con) become \\.\NAME.
    DWORD size = GetFullPathNameA(path, 0, nullptr, nullptr);
    if (size > 0) {
        std::string full(size, '\0');
        DWORD length = GetFullPathNameA(path, size, &full[0], nullptr);
        if (length > 0 && length < size) {
            full.resize(length);
            target.path = full;
        }
    }
    // The device namespace (devices, pipes) is written directly, and not
    // opened to look: opening a pipe would take one of its connections.
    if (target.path.compare(0, 4, "\\\\.\\") == 0) return target;
    DWORD attributes = GetFileAttributesA(target.path.c_str());
    target.exists = attributes != INVALID_FILE_ATTRIBUTES;
    target.replace = !target.exists || !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    // Anything else that is not a file on a disk is written directly too.
    if (target.exists) {
        HANDLE handle = CreateFileA(target.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            if (GetFileType(handle) != FILE_TYPE_DISK) target.replace = false;
            CloseHandle(handle);
        }
    }
    return target;
}

int open_exclusive(const std::string& path, const OutputTarget&) {
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

std::FILE* file_from_descriptor(int descriptor) { return _fdopen(descriptor, "wb"); }
void close_descriptor(int descriptor) { _close(descriptor); }

bool move_over(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool creation_refused(int error) { return error == EACCES || error == EPERM; }

#else

OutputTarget inspect_target(const char* path) {
    OutputTarget target;
    target.path = path;
    if (stat(path, &target.status) == 0) {
        target.exists = true;
        target.replace = S_ISREG(target.status.st_mode);
        // Write through a link to its target, as opening it would.
        if (target.replace) {
            if (char* resolved = realpath(path, nullptr)) {
                target.path = resolved;
                std::free(resolved);
            }
        }
        return target;
    }
    struct stat link_status {};
    // A dangling link: let fopen create its target.
    target.replace = errno == ENOENT && lstat(path, &link_status) != 0;
    return target;
}

int open_exclusive(const std::string& path, const OutputTarget& target) {
    mode_t mode = target.exists ? (target.status.st_mode & 07777) : 0666;
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor >= 0 && target.exists) {
        // A replaced file keeps its permission bits (and, where allowed, its owner).
        (void)fchmod(descriptor, target.status.st_mode & 07777);
        if (fchown(descriptor, target.status.st_uid, target.status.st_gid) != 0) {
            // Only a privileged process may give files away; the bits still hold.
        }
    }
    return descriptor;
}

std::FILE* file_from_descriptor(int descriptor) { return fdopen(descriptor, "wb"); }
void close_descriptor(int descriptor) { close(descriptor); }

bool move_over(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool creation_refused(int error) { return error == EACCES || error == EPERM || error == EROFS; }

#endif

enum class TempResult { Written, Failed, CannotCreate };

TempResult write_through_temporary(const OutputTarget& target, const uint8_t* bytes,
                                   uint64_t length) {
    std::string stem = folder_of(target.path) + ".veerpix-";
    std::string temporary;
    int descriptor = -1;
    for (int attempt = 0; attempt < 16 && descriptor < 0; ++attempt) {
        temporary = stem + random_suffix() + ".tmp";
        descriptor = open_exclusive(temporary, target);
        if (descriptor < 0 && errno != EEXIST) break;
    }
    if (descriptor < 0) {
        return creation_refused(errno) ? TempResult::CannotCreate : TempResult::Failed;
    }
    std::FILE* file = file_from_descriptor(descriptor);
    if (!file) {
        close_descriptor(descriptor);
        std::remove(temporary.c_str());
        return TempResult::Failed;
    }
    if (!write_and_close(file, bytes, length) || !move_over(temporary, target.path)) {
        std::remove(temporary.c_str());
        return TempResult::Failed;
    }
    return TempResult::Written;
}

bool write_bytes(const char* path, const uint8_t* bytes, uint64_t length) {
    OutputTarget target = inspect_target(path);
    if (!target.replace) return write_direct(path, bytes, length);
    switch (write_through_temporary(target, bytes, length)) {
        case TempResult::Written: return true;
        case TempResult::Failed: return false;
        case TempResult::CannotCreate: break;
    }
    // The folder takes no new files (read-only folder, writable file):
    // the old in-place write is all that is left.
    return target.exists && write_direct(path, bytes, length);
}

}  // namespace

int write_file(const char* path, malloc_ptr<uint8_t> buffer, uint64_t length) {
    if (!write_bytes(path, buffer.get(), length)) {
        set_err("failed to write output: %s", path);
        return 0;
    }
    return 1;
}
