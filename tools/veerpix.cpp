// veerpix: the command-line host of the library. It uses only the exported
// C interface, as any other host would.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "veerpix.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// A console that takes the progress line's escape sequences. _isatty says
// yes for NUL and serial ports too, and a console prints the sequences as
// text unless it is switched to them (Windows 10 and later can be).
static bool stderr_is_terminal() {
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
#else
#include <unistd.h>
#define stderr_is_terminal() (isatty(STDERR_FILENO) != 0)
#endif

#ifndef VEERPIX_VERSION
#define VEERPIX_VERSION "unknown"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Command {
    const char* name;
    const char* arguments;  // before the files
    const char* summary;
};

const Command kCommands[] = {
    {"rotate", "DEGREES", "turn counter-clockwise by 90, 180 or 270 degrees (-90 turns clockwise)"},
    {"flip-h", "", "mirror left to right"},
    {"flip-v", "", "mirror top to bottom"},
    {"angle", "DEGREES [--background R,G,B]",
     "turn counter-clockwise by any angle onto a background (default white)"},
    {"auto-orient", "", "bring a JPEG upright by its EXIF Orientation; copy other files"},
};

const char kFileForms[] =
    "  INPUT OUTPUT                 one file\n"
    "  --out-dir DIR [--format jpg|png|bmp] INPUT...\n"
    "                               many files into DIR, names kept (--format\n"
    "                               sets the extension and so the format)\n"
    "  --in-place INPUT...          replace each file with its result\n";

void print_help(std::FILE* out) {
    std::fprintf(out, "usage: veerpix COMMAND [ARGS] FILES\n\ncommands:\n");
    for (const Command& command : kCommands) std::fprintf(out, "  %-12s %s\n", command.name, command.summary);
    std::fprintf(out,
                 "\nfiles, for every command:\n%s\n"
                 "The output format follows the output's extension (jpg, jpeg, png, bmp).\n"
                 "Quarter turns and mirrors of an EXIF-tagged JPEG into a JPEG are lossless.\n\n"
                 "veerpix COMMAND --help   help on one command\n"
                 "veerpix --version        the version\n"
                 "Exit status: 0 all done, 1 some file failed, 2 usage error.\n",
                 kFileForms);
}

void print_command_help(std::FILE* out, const Command& command) {
    std::fprintf(out, "usage: veerpix %s %s%sFILES\n\n%s.\n\nfiles:\n%s", command.name, command.arguments,
                 command.arguments[0] ? " " : "", command.summary, kFileForms);
}

const Command* find_command(const char* name) {
    for (const Command& command : kCommands) {
        if (std::strcmp(command.name, name) == 0) return &command;
    }
    return nullptr;
}

struct Request {
    const Command* command = nullptr;
    int degrees = 0;
    float angle = 0.0f;
    int background[3] = {255, 255, 255};
    std::string out_dir;
    std::string format;
    bool in_place = false;
    std::vector<std::string> files;
};

bool parse_int(const char* text, int* value) {
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
    *value = static_cast<int>(parsed);
    return true;
}

bool parse_float(const char* text, float* value) {
    char* end = nullptr;
    errno = 0;
    float parsed = std::strtof(text, &end);
    if (errno != 0 || end == text || *end != '\0') return false;
    *value = parsed;
    return true;
}

bool parse_background(const char* text, int rgb[3]) {
    std::string parts[3];
    int index = 0;
    for (const char* c = text; *c; ++c) {
        if (*c == ',') {
            if (++index > 2) return false;
        } else {
            parts[index] += *c;
        }
    }
    if (index != 2) return false;
    for (int i = 0; i < 3; ++i) {
        if (!parse_int(parts[i].c_str(), &rgb[i])) return false;
    }
    return true;
}

int usage_error(const char* message, const char* detail = "") {
    std::fprintf(stderr, "veerpix: %s%s\nTry 'veerpix --help'.\n", message, detail);
    return kExitUsage;
}

// Parses everything after the command name; returns -1 when the request
// is complete, else the exit status to stop with.
int parse_request(int argc, char** argv, Request* request) {
    const Command& command = *request->command;
    int arg = 2;
    bool takes_degrees = std::strcmp(command.name, "rotate") == 0 || std::strcmp(command.name, "angle") == 0;
    if (takes_degrees) {
        if (arg >= argc) return usage_error("missing DEGREES for ", command.name);
        bool ok = std::strcmp(command.name, "rotate") == 0 ? parse_int(argv[arg], &request->degrees)
                                                           : parse_float(argv[arg], &request->angle);
        if (!ok) return usage_error("not a number of degrees: ", argv[arg]);
        ++arg;
    }
    bool only_files = false;
    for (; arg < argc; ++arg) {
        const char* word = argv[arg];
        if (only_files || word[0] != '-' || word[1] == '\0') {
            request->files.push_back(word);
        } else if (std::strcmp(word, "--") == 0) {
            only_files = true;
        } else if (std::strcmp(word, "--in-place") == 0) {
            request->in_place = true;
        } else if (std::strcmp(word, "--out-dir") == 0 || std::strcmp(word, "--format") == 0 ||
                   std::strcmp(word, "--background") == 0) {
            if (arg + 1 >= argc) return usage_error("missing value for ", word);
            const char* value = argv[++arg];
            if (std::strcmp(word, "--out-dir") == 0) {
                request->out_dir = value;
            } else if (std::strcmp(word, "--format") == 0) {
                request->format = value;
                if (request->format != "jpg" && request->format != "png" && request->format != "bmp") {
                    return usage_error("--format takes jpg, png or bmp, not ", value);
                }
            } else if (std::strcmp(command.name, "angle") != 0) {
                return usage_error("--background belongs to the angle command");
            } else if (!parse_background(value, request->background)) {
                return usage_error("--background takes R,G,B, not ", value);
            }
        } else {
            return usage_error("unknown option: ", word);
        }
    }
    bool batch = request->in_place || !request->out_dir.empty();
    if (request->in_place && !request->out_dir.empty()) return usage_error("--in-place and --out-dir exclude each other");
    if (!request->format.empty() && request->out_dir.empty()) return usage_error("--format needs --out-dir");
    if (batch && request->files.empty()) return usage_error("no input files");
    if (!batch && request->files.size() != 2) return usage_error("expected INPUT OUTPUT (or --out-dir / --in-place)");
    return -1;
}

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string output_path(const Request& request, const std::string& input) {
    if (request.in_place) return input;
    std::string name = base_name(input);
    if (!request.format.empty()) {
        size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0) name.erase(dot);
        name += "." + request.format;
    }
    std::string folder = request.out_dir;
    if (folder.back() != '/' && folder.back() != '\\') folder += '/';
    return folder + name;
}

int run_one(const Request& request, const char* input, const char* output) {
    const char* name = request.command->name;
    if (std::strcmp(name, "rotate") == 0) return veerpix_fixed(input, output, request.degrees);
    if (std::strcmp(name, "flip-h") == 0) return veerpix_flip_h(input, output);
    if (std::strcmp(name, "flip-v") == 0) return veerpix_flip_v(input, output);
    if (std::strcmp(name, "angle") == 0) {
        return veerpix_angle(input, output, request.angle, request.background[0], request.background[1],
                             request.background[2]);
    }
    return veerpix_auto_orient(input, output);
}

// The file a path names, as one spelling: symbolic links and "." or ".."
// resolved, so that two names of one file compare equal.
std::string file_identity(const std::string& path) {
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
    if (error) return std::filesystem::path(path).lexically_normal().string();
    return resolved.string();
}

void report_failure(bool show_progress, const std::string& input, const std::string& message) {
    if (show_progress) std::fprintf(stderr, "\r\033[K");
    std::fprintf(stderr, "%s: %s\n", input.c_str(), message.c_str());
}

int run_request(const Request& request) {
    bool batch = request.in_place || !request.out_dir.empty();
    if (!batch) {
        if (run_one(request, request.files[0].c_str(), request.files[1].c_str())) return kExitOk;
        report_failure(false, request.files[0], veerpix_last_error());
        return kExitFailed;
    }
    // A batch must not destroy its own work: two inputs of one name in
    // --out-dir, or --format turning a.jpg into a.png beside an input
    // a.png, would silently replace a result or an input not yet read.
    // Such a file is refused, as a failure, and the others go on.
    std::map<std::string, size_t> input_index;
    for (size_t i = 0; i < request.files.size(); ++i) input_index.emplace(file_identity(request.files[i]), i);
    std::map<std::string, size_t> written_from;

    const bool show_progress = request.files.size() > 1 && stderr_is_terminal();
    int failures = 0;
    for (size_t i = 0; i < request.files.size(); ++i) {
        const std::string& input = request.files[i];
        if (show_progress) {
            std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", i + 1, request.files.size(), input.c_str());
            std::fflush(stderr);
        }
        std::string output = output_path(request, input);
        std::string output_identity = file_identity(output);
        auto earlier = written_from.find(output_identity);
        auto other_input = input_index.find(output_identity);
        if (earlier != written_from.end()) {
            ++failures;
            report_failure(show_progress, input,
                           "refused: output " + output + " was already written from " + request.files[earlier->second]);
            continue;
        }
        if (other_input != input_index.end() && output_identity != file_identity(input)) {
            ++failures;
            report_failure(show_progress, input,
                           "refused: output " + output + " is another input of this batch");
            continue;
        }
        if (!run_one(request, input.c_str(), output.c_str())) {
            ++failures;
            report_failure(show_progress, input, veerpix_last_error());
            continue;
        }
        written_from.emplace(output_identity, i);
    }
    if (show_progress) std::fprintf(stderr, "\r\033[K");
    return failures ? kExitFailed : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        print_help(stderr);
        return kExitUsage;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        print_help(stdout);
        return kExitOk;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("veerpix %s\n", VEERPIX_VERSION);
        return kExitOk;
    }
    Request request;
    request.command = find_command(argv[1]);
    if (!request.command) return usage_error("unknown command: ", argv[1]);
    for (int arg = 2; arg < argc; ++arg) {
        if (std::strcmp(argv[arg], "--help") == 0 || std::strcmp(argv[arg], "-h") == 0) {
            print_command_help(stdout, *request.command);
            return kExitOk;
        }
    }
    int status = parse_request(argc, argv, &request);
    if (status >= 0) return status;
    return run_request(request);
}
