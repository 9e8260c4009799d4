// The command line's words: the command table, the option table, and the
// help both are printed from.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "cli.h"
#include "veerpix.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifndef VEERPIX_VERSION
#define VEERPIX_VERSION "unknown"
#endif

namespace cli {

// The output extensions the library chooses its encoders by; --format, the
// folder walk of -r and help read this list, nothing else names the formats.
const char* const kFormats[] = {"jpg", "jpeg", "png", "bmp"};
const int kFormatCount = sizeof kFormats / sizeof kFormats[0];

namespace {

// "jpg, jpeg, png or bmp", from the table.
std::string format_list() {
    std::string list;
    for (int i = 0; i < kFormatCount; ++i) {
        if (i > 0) list += i + 1 == kFormatCount ? " or " : ", ";
        list += kFormats[i];
    }
    return list;
}

int cpu_count() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
#else
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
#endif
}

const Command kCommands[] = {
    {"rotate", "DEGREES", "turn counter-clockwise by 90, 180 or 270 degrees (-90 turns clockwise)",
     Takes::quarter_degrees, VEERPIX_TURN_90},
    {"flip-h", "", "mirror left to right", Takes::nothing, VEERPIX_MIRROR_LEFT_RIGHT},
    {"flip-v", "", "mirror top to bottom", Takes::nothing, VEERPIX_MIRROR_TOP_BOTTOM},
    {"angle", "DEGREES [--background R,G,B]", "turn counter-clockwise by any angle onto a background (default white)",
     Takes::any_degrees, VEERPIX_ANGLE},
    {"auto-orient", "", "bring a JPEG upright by its EXIF Orientation; copy other files", Takes::nothing,
     VEERPIX_AUTO_ORIENT},
};

enum class OptionId {
    help, in_place, out_dir, format, background, jobs, recursive, dry_run, quiet, verbose, no_clobber, strip,
    quality, pixels, preserve_times, lossless, reencode, trim
};

struct Option {
    const char* long_name;
    char short_name;         // 0: none
    const char* value_name;  // nullptr: a flag
    const char* only_for;    // the one command it belongs to, or nullptr
    const char* help;
    OptionId id;
};

const Option kOptions[] = {
    {"out-dir", 0, "DIR", nullptr, "write each result into DIR (made if missing), names kept", OptionId::out_dir},
    {"in-place", 0, nullptr, nullptr, "replace each file with its result", OptionId::in_place},
    {"format", 0, "FMT", nullptr, "FORMATS (any case): the results' extension and so their format",
     OptionId::format},
    {"recursive", 'r', nullptr, nullptr, "take the image files (by extension) inside folders; --out-dir mirrors the tree",
     OptionId::recursive},
    {"jobs", 'j', "N", nullptr, "N files at a time in worker processes (0: one per CPU; default 1)", OptionId::jobs},
    {"dry-run", 'n', nullptr, nullptr, "print what would be written where, write nothing", OptionId::dry_run},
    {"no-clobber", 0, nullptr, nullptr, "leave existing outputs alone (exit status 3 when any was)",
     OptionId::no_clobber},
    {"strip", 0, nullptr, nullptr, "results whose pixels were turned keep no EXIF or XMP (the colour profile stays)",
     OptionId::strip},
    {"quality", 0, "N", nullptr, "JPEG quality 1..100 of re-encoded JPEGs (default 92)", OptionId::quality},
    {"pixels", 0, nullptr, nullptr, "turn the pixels of a tagged JPEG too, instead of rewriting its tag",
     OptionId::pixels},
    {"lossless", 0, nullptr, nullptr, "never re-encode: a file that cannot be turned losslessly fails with the reason",
     OptionId::lossless},
    {"trim", 0, nullptr, nullptr, "drop a JPEG's partial edge blocks (under 16 pixels) that keep it from a lossless turn",
     OptionId::trim},
    {"reencode", 0, nullptr, nullptr, "decode and encode JPEGs instead of turning their coefficients", OptionId::reencode},
    {"preserve-times", 'p', nullptr, nullptr, "give each result its input's modification time",
     OptionId::preserve_times},
    {"verbose", 'v', nullptr, nullptr, "one line per file: the road the library took (copy, lossless retag, lossless coefficients, re-encode)",
     OptionId::verbose},
    {"quiet", 'q', nullptr, nullptr, "print only errors", OptionId::quiet},
    {"background", 0, "R,G,B", "angle", "colour of the uncovered corners, each 0..255", OptionId::background},
    {"help", 'h', nullptr, nullptr, "this help", OptionId::help},
};

const char kFileForms[] =
    "  INPUT OUTPUT                 one file; '-' is standard input or output\n"
    "  --out-dir DIR INPUT...       many files into DIR, names kept\n"
    "  --in-place INPUT...          replace each file with its result\n";

void print_options(std::FILE* out, const Command* command) {
    for (const Option& option : kOptions) {
        if (option.only_for && command && std::strcmp(option.only_for, command->name) != 0) continue;
        std::string names = option.short_name ? std::string("-") + option.short_name + ", " : std::string("    ");
        names += std::string("--") + option.long_name;
        if (option.value_name) names += std::string(" ") + option.value_name;
        std::string help = option.help;
        size_t token = help.find("FORMATS");
        if (token != std::string::npos) help.replace(token, 7, format_list());
        std::fprintf(out, "  %-22s %s%s%s\n", names.c_str(), help.c_str(), option.only_for && !command ? " (" : "",
                     option.only_for && !command ? (std::string(option.only_for) + " only)").c_str() : "");
    }
}

void print_help(std::FILE* out) {
    std::fprintf(out, "usage: veerpix [OPTIONS] COMMAND [ARGS] [OPTIONS] FILES\n\ncommands:\n");
    for (const Command& command : kCommands) std::fprintf(out, "  %-12s %s\n", command.name, command.summary);
    std::fprintf(out, "\nfiles, for every command:\n%s\noptions:\n", kFileForms);
    print_options(out, nullptr);
    std::fprintf(out,
                 "\nThe output format follows the output's extension (%s).\n"
                 "Quarter turns and mirrors of an EXIF-tagged JPEG into a JPEG are lossless\n"
                 "(only the tag changes) unless --pixels is given. Other turns and mirrors\n"
                 "of a JPEG into a JPEG, and auto-orient, move its DCT coefficients where\n"
                 "its sides allow (lossless), else re-encode; --lossless never re-encodes.\n"
                 "Re-encoded results keep the input's EXIF (Orientation set to 1), XMP,\n"
                 "colour profile and resolution; --strip keeps only the colour profile\n"
                 "and resolution.\n\n"
                 "veerpix COMMAND --help   help on one command\n"
                 "veerpix --version        the version\n"
                 "Exit status: 0 all done, 1 some file failed, 2 usage error,\n"
                 "3 nothing failed but --no-clobber skipped some file.\n",
                 format_list().c_str());
}

void print_command_help(std::FILE* out, const Command& command) {
    std::fprintf(out, "usage: veerpix %s %s%s[OPTIONS] FILES\n\n%s.\n\nfiles:\n%s\noptions:\n", command.name,
                 command.arguments, command.arguments[0] ? " " : "", command.summary, kFileForms);
    print_options(out, &command);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// " (did you mean X?)" for the nearest of `names` within two edits, or "".
template <typename Names>
std::string suggestion(const std::string& word, const Names& names, const char* prefix) {
    std::string best;
    size_t best_distance = 3;
    for (const auto& entry : names) {
        std::string name = std::string(prefix) + entry;
        size_t distance = edit_distance(lower(word), name);
        if (distance < best_distance) {
            best_distance = distance;
            best = name;
        }
    }
    return best.empty() ? "" : " (did you mean " + best + "?)";
}

std::vector<const char*> command_names() {
    std::vector<const char*> names;
    for (const Command& command : kCommands) names.push_back(command.name);
    return names;
}

std::string format_command_names() {
    std::string names;
    for (const Command& command : kCommands) names += std::string(names.empty() ? "" : ", ") + command.name;
    return names;
}

std::vector<const char*> option_names() {
    std::vector<const char*> names;
    for (const Option& option : kOptions) names.push_back(option.long_name);
    return names;
}

const Command* find_command(const std::string& name) {
    for (const Command& command : kCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

bool parse_int(const std::string& text, int* value) {
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
    *value = static_cast<int>(parsed);
    return true;
}

bool parse_float(const std::string& text, float* value) {
    char* end = nullptr;
    errno = 0;
    float parsed = std::strtof(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(parsed)) return false;
    *value = parsed;
    return true;
}

bool parse_background(const std::string& text, int rgb[3]) {
    std::string parts[3];
    int index = 0;
    for (char c : text) {
        if (c == ',') {
            if (++index > 2) return false;
        } else {
            parts[index] += c;
        }
    }
    if (index != 2) return false;
    for (int i = 0; i < 3; ++i) {
        if (!parse_int(parts[i], &rgb[i]) || rgb[i] < 0 || rgb[i] > 255) return false;
    }
    return true;
}

// A value that was meant as a file: the option's own value was probably
// forgotten and the next word taken in its place.
bool looks_like_file(const std::string& value) {
    std::error_code error;
    return is_image_name(value) || value.find_first_of("/\\") != std::string::npos ||
           std::filesystem::is_regular_file(value, error);
}

std::string forgotten_value_hint(const Option& option, const std::string& value) {
    if (!looks_like_file(value)) return "";
    return "; " + value + " looks like a file: was " + option.value_name + " left out?";
}

int set_option(const Option& option, const std::string& value, Request* request) {
    switch (option.id) {
    case OptionId::out_dir: {
        std::error_code error;
        if (is_image_name(value) && !std::filesystem::is_directory(value, error)) {
            return usage_error("--out-dir takes a folder, not the image file " + value +
                               " (veerpix COMMAND --out-dir DIR INPUT...)");
        }
        request->out_dir = value;
        return -1;
    }
    case OptionId::format:
        for (int i = 0; i < kFormatCount; ++i) {
            if (lower(value) == kFormats[i]) {
                request->format = kFormats[i];
                return -1;
            }
        }
        return usage_error("--format takes " + format_list() + ", not " + value + forgotten_value_hint(option, value));
    case OptionId::background:
        if (!parse_background(value, request->background)) {
            return usage_error("--background takes R,G,B (each 0..255), not " + value +
                               forgotten_value_hint(option, value));
        }
        return -1;
    case OptionId::jobs:
        if (!parse_int(value, &request->jobs) || request->jobs < 0) {
            return usage_error("--jobs takes a number of processes (0: one per CPU), not " + value +
                               forgotten_value_hint(option, value));
        }
        if (request->jobs == 0) request->jobs = std::max(1, cpu_count());
        return -1;
    case OptionId::quality:
        if (!parse_int(value, &request->quality) || request->quality < 1 || request->quality > 100) {
            return usage_error("--quality takes a JPEG quality 1..100, not " + value +
                               forgotten_value_hint(option, value));
        }
        return -1;
    case OptionId::pixels: request->pixels = true; return -1;
    case OptionId::lossless: request->lossless = Lossless::required; return -1;
    case OptionId::reencode: request->lossless = Lossless::off; return -1;
    case OptionId::trim: request->trim = true; return -1;
    case OptionId::preserve_times: request->preserve_times = true; return -1;
    case OptionId::in_place: request->in_place = true; return -1;
    case OptionId::recursive: request->recursive = true; return -1;
    case OptionId::dry_run: request->dry_run = true; return -1;
    case OptionId::quiet: request->quiet = true; return -1;
    case OptionId::verbose: request->verbose = true; return -1;
    case OptionId::no_clobber: request->no_clobber = true; return -1;
    case OptionId::strip: request->strip = true; return -1;
    case OptionId::help: print_command_help(stdout, *request->command); return kExitOk;
    }
    return -1;
}

const Option* find_long_option(const std::string& name) {
    for (const Option& option : kOptions) {
        if (name == option.long_name) return &option;
    }
    return nullptr;
}

const Option* find_short_option(char name) {
    for (const Option& option : kOptions) {
        if (option.short_name == name) return &option;
    }
    return nullptr;
}

// Takes the option's value from `attached` (after '=' or the short
// letter) or else from the next word.
int take_option(const Option& option, const char* attached, int argc, char** argv, int* arg, Request* request) {
    std::string shown = std::string("--") + option.long_name;
    if (option.only_for && std::strcmp(option.only_for, request->command->name) != 0) {
        return usage_error(shown + " belongs to the " + option.only_for + " command");
    }
    if (!option.value_name) {
        if (attached && *attached) return usage_error(shown + " takes no value");
        return set_option(option, "", request);
    }
    if (attached && *attached) return set_option(option, attached, request);
    if (*arg + 1 >= argc) return usage_error("missing " + std::string(option.value_name) + " for " + shown);
    return set_option(option, argv[++*arg], request);
}

// "-rq", "-j2", "-j 2", "-nv".
int take_short_options(const char* word, int argc, char** argv, int* arg, Request* request) {
    for (const char* letter = word + 1; *letter; ++letter) {
        const Option* option = find_short_option(*letter);
        if (!option) return usage_error(std::string("unknown option: -") + *letter);
        if (option->value_name) return take_option(*option, letter + 1, argc, argv, arg, request);
        int status = take_option(*option, nullptr, argc, argv, arg, request);
        if (status >= 0) return status;
    }
    return -1;
}

int take_long_option(const char* word, int argc, char** argv, int* arg, Request* request) {
    std::string name = word + 2;
    const char* attached = nullptr;
    size_t equals = name.find('=');
    if (equals != std::string::npos) {
        attached = word + 2 + equals + 1;
        name.erase(equals);
        if (!*attached) return usage_error("empty value for --" + name);
    }
    const Option* option = find_long_option(name);
    if (!option) return usage_error("unknown option: --" + name + suggestion("--" + name, option_names(), "--"));
    return take_option(*option, attached, argc, argv, arg, request);
}

int parse_degrees(const char* word, Request* request) {
    const Command& command = *request->command;
    if (command.takes == Takes::any_degrees) {
        if (!parse_float(word, &request->angle)) return usage_error(std::string("not a number of degrees: ") + word);
        return -1;
    }
    int degrees = 0;
    if (!parse_int(word, &degrees) || ((degrees % 360) + 360) % 360 % 90 != 0 || degrees % 360 == 0) {
        return usage_error(std::string("rotate turns by 90, 180 or 270 degrees, not ") + word +
                           "; for any other angle use: veerpix angle " + word + " ...");
    }
    request->degrees = degrees;
    // The quarter turns are the library's transforms 1, 2 and 3.
    request->transform = VEERPIX_TURN_90 - 1 + ((degrees % 360) + 360) % 360 / 90;
    return -1;
}

int check_forms(const Request& request) {
    if (request.in_place && !request.out_dir.empty()) return usage_error("--in-place and --out-dir exclude each other");
    if (request.in_place && request.no_clobber) return usage_error("--in-place and --no-clobber exclude each other");
    // Trim acts on the lossless turn alone, which --reencode never takes.
    if (request.trim && request.lossless == Lossless::off) return usage_error("--trim and --reencode exclude each other");
    if (request.recursive && !request.batch()) return usage_error("-r needs --out-dir DIR or --in-place");
    bool to_stdout = !request.batch() && request.files.size() == 2 && request.files[1] == "-";
    if (!request.format.empty() && request.out_dir.empty() && !to_stdout) {
        return usage_error("--format needs --out-dir DIR, or '-' as OUTPUT");
    }
    if (request.batch() && request.files.empty()) return usage_error("no input files");
    if (!request.batch() && request.files.size() != 2) {
        return usage_error("expected INPUT OUTPUT (or --out-dir DIR / --in-place with INPUT...)");
    }
    if (request.batch()) {
        for (const std::string& file : request.files) {
            if (file == "-") return usage_error("'-' (standard input) takes the INPUT OUTPUT form");
        }
    }
    return -1;
}

}  // namespace

bool is_image_name(const std::string& path) {
    size_t dot = path.rfind('.');
    size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string extension = lower(path.substr(dot + 1));
    for (int i = 0; i < kFormatCount; ++i) {
        if (extension == kFormats[i]) return true;
    }
    return false;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "veerpix: %s\nTry 'veerpix --help'.\n", message.c_str());
    return kExitUsage;
}

namespace {

// How many words an option takes before the command: itself, and its value
// where that is the next word ("--out-dir DIR", "-j 2", "-qj 2").
int option_words(const char* word) {
    if (word[1] == '-') {
        const Option* option = find_long_option(std::string(word + 2));
        return option && option->value_name ? 2 : 1;
    }
    for (const char* letter = word + 1; *letter; ++letter) {
        const Option* option = find_short_option(*letter);
        if (option && option->value_name) return letter[1] ? 1 : 2;
    }
    return 1;
}

bool is_option_word(const char* word) { return word[0] == '-' && word[1] != '\0' && std::strcmp(word, "--") != 0; }

// The words from `arg` up to `end`: options, and files where allowed.
int parse_words(int arg, int end, int argc, char** argv, Request* request) {
    bool only_files = false;
    for (; arg < end; ++arg) {
        const char* word = argv[arg];
        int status = -1;
        if (only_files || !is_option_word(word)) {
            if (std::strcmp(word, "--") == 0 && !only_files) {
                only_files = true;
            } else {
                request->files.push_back(word);
            }
        } else if (word[1] == '-') {
            status = take_long_option(word, argc, argv, &arg, request);
        } else {
            status = take_short_options(word, argc, argv, &arg, request);
        }
        if (status >= 0) return status;
    }
    return -1;
}

}  // namespace

int parse_arguments(int argc, char** argv, Request* request) {
    if (argc < 2) {
        print_help(stderr);
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--version") {
        std::printf("veerpix %s\n", VEERPIX_VERSION);
        return kExitOk;
    }
    // Options may come before the command as well as after it, as photo
    // tools take them: the command is the first word that is neither an
    // option nor an option's value.
    int command_at = 1;
    while (command_at < argc && is_option_word(argv[command_at])) command_at += option_words(argv[command_at]);
    if (command_at < argc) {
        const std::string word = argv[command_at];
        request->command = find_command(word);
        if (!request->command) return usage_error("unknown command: " + word + suggestion(word, command_names(), ""));
    }
    // Help wins over everything else on the line, mistakes included.
    for (int arg = 1; arg < argc; ++arg) {
        if (std::strcmp(argv[arg], "--help") == 0 || std::strcmp(argv[arg], "-h") == 0) {
            if (request->command) {
                print_command_help(stdout, *request->command);
            } else {
                print_help(stdout);
            }
            return kExitOk;
        }
    }
    if (!request->command) return usage_error("missing command (" + format_command_names() + ")");
    request->transform = request->command->transform;
    int status = parse_words(1, command_at, argc, argv, request);
    if (status >= 0) return status;
    int arg = command_at + 1;
    if (request->command->takes != Takes::nothing) {
        if (arg >= argc) return usage_error(std::string("missing DEGREES for ") + request->command->name);
        status = parse_degrees(argv[arg++], request);
        if (status >= 0) return status;
    }
    status = parse_words(arg, argc, argc, argv, request);
    if (status >= 0) return status;
    return check_forms(*request);
}

}  // namespace cli
