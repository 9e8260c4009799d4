// Standard input and output, pipes and devices. The library takes paths
// and measures its input, so these go through private temporary files,
// removed on every way out, signals included.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "cli.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace cli {

namespace {

// The names the signal handler removes: fixed storage, as a handler may
// neither allocate nor lock. A few spooled files at most live at a time.
constexpr int kSlots = 8;
constexpr size_t kPathRoom = 4096;
char s_temporary_paths[kSlots][kPathRoom];
volatile std::sig_atomic_t s_slot_used[kSlots];

int take_slot(const std::string& path) {
    if (path.size() >= kPathRoom) return -1;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (s_slot_used[slot]) continue;
        std::memcpy(s_temporary_paths[slot], path.c_str(), path.size() + 1);
        s_slot_used[slot] = 1;
        return slot;
    }
    return -1;
}

extern "C" void remove_temporaries_and_die(int signal_number) {
    for (int slot = 0; slot < kSlots; ++slot) {
        if (s_slot_used[slot]) {
#if defined(_WIN32)
            _unlink(s_temporary_paths[slot]);
#else
            unlink(s_temporary_paths[slot]);
#endif
        }
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

std::string temporary_folder() {
#if defined(_WIN32)
    char folder[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length > 0 && length < sizeof folder) return folder;
    return ".\\";
#else
    const char* folder = std::getenv("TMPDIR");
    std::string path = folder && *folder ? folder : "/tmp";
    if (path.back() != '/') path += '/';
    return path;
#endif
}

bool copy_stream(std::FILE* from, std::FILE* to) {
    char buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, from)) > 0) {
        if (std::fwrite(buffer, 1, got, to) != got) return false;
    }
    return !std::ferror(from);
}

}  // namespace

void install_cleanup_handlers() {
    std::signal(SIGINT, remove_temporaries_and_die);
    std::signal(SIGTERM, remove_temporaries_and_die);
#if !defined(_WIN32)
    std::signal(SIGHUP, remove_temporaries_and_die);
    std::signal(SIGPIPE, remove_temporaries_and_die);
#endif
}

TemporaryFile::~TemporaryFile() {
    if (path_.empty()) return;
    std::remove(path_.c_str());
    if (slot_ >= 0) s_slot_used[slot_] = 0;
}

bool TemporaryFile::create(const std::string& suffix, std::string* error) {
    std::string name = temporary_folder() + "veerpix-";
#if defined(_WIN32)
    int descriptor = -1;
    for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt) {
        std::string candidate = name + std::to_string(_getpid()) + "-" + std::to_string(GetTickCount() + attempt) + suffix;
        descriptor = _open(candidate.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (descriptor >= 0) name = candidate;
    }
    if (descriptor < 0) {
        *error = "cannot make a temporary file in " + temporary_folder() + ": " + std::strerror(errno);
        return false;
    }
    _close(descriptor);
#else
    std::string pattern = name + "XXXXXX" + suffix;
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    // mkstemps makes the file with mode 0600: nobody else reads the picture.
    int descriptor = mkstemps(buffer.data(), static_cast<int>(suffix.size()));
    if (descriptor < 0) {
        *error = "cannot make a temporary file in " + temporary_folder() + ": " + std::strerror(errno);
        return false;
    }
    close(descriptor);
    name = buffer.data();
#endif
    path_ = name;
    slot_ = take_slot(path_);
    return true;
}

bool needs_spooling(const std::string& input) {
    if (input == "-") return true;
    struct stat info;
    if (stat(input.c_str(), &info) != 0) return false;  // the library reports what is wrong with it
    return !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

bool spool_input(const std::string& input, const TemporaryFile& file, std::string* error) {
    std::FILE* from = nullptr;
    if (input == "-") {
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        from = stdin;
    } else {
        from = std::fopen(input.c_str(), "rb");
        if (!from) {
            *error = "cannot read input file: " + input + " (" + std::strerror(errno) + ")";
            return false;
        }
    }
    std::FILE* to = std::fopen(file.path().c_str(), "wb");
    bool copied = to && copy_stream(from, to);
    if (to && std::fclose(to) != 0) copied = false;
    if (from != stdin) std::fclose(from);
    if (!copied) *error = "cannot copy " + std::string(input == "-" ? "standard input" : input) + " to " + file.path();
    return copied;
}

bool copy_to_stdout(const std::string& path, std::string* error) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::FILE* from = std::fopen(path.c_str(), "rb");
    bool copied = from && copy_stream(from, stdout) && std::fflush(stdout) == 0;
    if (from) std::fclose(from);
    if (!copied) *error = std::string("cannot write standard output: ") + std::strerror(errno);
    return copied;
}

}  // namespace cli
