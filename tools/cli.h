// The command line's parts, each a host of the public header only:
//   cli_args.cpp   the command and option tables, parsing, help
//   cli_batch.cpp  the list of files, the worker processes, the report
//   cli_pipes.cpp  standard input and output through private temporary files
#ifndef VEERPIX_CLI_H
#define VEERPIX_CLI_H

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSkipped = 3;  // nothing failed, but --no-clobber left some outputs alone

struct Request;

// What a command reads before its files.
enum class Takes { nothing, quarter_degrees, any_degrees };

struct Command {
    const char* name;
    const char* arguments;  // shown in the usage line, before the files
    const char* summary;
    Takes takes;
    int transform;  // the library's VEERPIX_* value; rotate's follows its degrees
};

// Whether a JPEG into a JPEG may, must or must not take the coefficient road.
enum class Lossless { preferred, required, off };

struct Request {
    const Command* command = nullptr;
    int transform = 0;  // what veerpix_transform is asked for
    int degrees = 0;
    float angle = 0.0f;
    int background[3] = {255, 255, 255};
    std::string out_dir;
    std::string format;  // lower case, one of the format table's names, or empty
    bool in_place = false;
    int jobs = 1;
    bool recursive = false;
    bool dry_run = false;
    bool quiet = false;
    bool verbose = false;
    bool no_clobber = false;
    bool strip = false;  // re-encoded results keep no EXIF or XMP of the input
    bool pixels = false;  // turn the pixels even where the tag could be rewritten
    Lossless lossless = Lossless::preferred;  // the coefficient road for JPEG into JPEG
    bool trim = false;    // its partial edge blocks dropped where they stand in the way
    bool preserve_times = false;  // each result gets its input's modification time
    int quality = 0;  // of re-encoded JPEGs; 0: the library's default
    std::vector<std::string> files;

    bool batch() const { return in_place || !out_dir.empty(); }
};

// Parses argv after the program name; returns -1 with `request` complete,
// else the exit status to stop with (help and usage errors are printed).
int parse_arguments(int argc, char** argv, Request* request);

int usage_error(const std::string& message);

// Runs every file of the request and reports; returns the exit status.
int run_request(const Request& request);

// A private temporary file (mode 0600) that is removed when the owner goes,
// and by the signal handlers of install_cleanup_handlers if the process is
// stopped first.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();
    // Creates the file empty, its name ending in `suffix`; false with
    // `error` set when the folder refuses it.
    bool create(const std::string& suffix, std::string* error);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int slot_ = -1;
};

void install_cleanup_handlers();

// Whether the path names something that cannot be read twice or measured
// (standard input as "-", a pipe, a character device): such an input is
// copied to a temporary file first.
bool needs_spooling(const std::string& input);

// Copies standard input ("-") or the pipe or device at `input` whole into
// `file`; false with `error` set.
bool spool_input(const std::string& input, const TemporaryFile& file, std::string* error);

// Writes the file at `path` to standard output; false with `error` set.
bool copy_to_stdout(const std::string& path, std::string* error);

// The output extensions the library chooses its encoders by, in the order
// help shows them. Files are told apart by these names only: what a file
// holds is the library's to recognise.
extern const char* const kFormats[];
extern const int kFormatCount;

bool is_image_name(const std::string& path);

}  // namespace cli

#endif
