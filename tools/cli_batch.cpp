// The files of a request: which output each one gets, which are refused or
// skipped before any work, the worker processes that run them, and the
// report, always in input order.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "veerpix.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#define access _access
#define R_OK 4
#define W_OK 2
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
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#define stderr_is_terminal() (isatty(STDERR_FILENO) != 0)
#endif

namespace fs = std::filesystem;

namespace cli {

namespace {

struct Job {
    std::string input;     // as the user named it; messages show this
    std::string relative;  // its name under --out-dir (the tree below a folder given with -r)
    std::string source;    // what the library reads: the input, or its spooled copy
    std::string output;    // as shown
    std::string write_to;  // what the library writes: the output, or a temporary for '-'
    std::string identity;
    std::string refusal;   // decided before any work: the file fails with this
    std::shared_ptr<TemporaryFile> spooled_input, spooled_output;
};

enum class State { waiting, running, done };
enum class Result { done, failed, skipped, planned };

struct Outcome {
    State state = State::waiting;
    Result result = Result::failed;
    int road = VEERPIX_ROAD_NONE;  // as the library reports it
    std::string message;
};

// The notes the library adds to a road, as words after its name.
std::string road_notes(int road) {
    std::string notes;
    if (road & VEERPIX_ROAD_TRIMMED) notes += ", trimmed";
    if (road & VEERPIX_ROAD_DROPPED_PICTURES) notes += ", secondary pictures dropped";
    return notes;
}

const char* road_name(int road) {
    switch (road & VEERPIX_ROAD_MASK) {
    case VEERPIX_ROAD_COPY: return "copy";
    case VEERPIX_ROAD_TAG: return "lossless retag";
    case VEERPIX_ROAD_REENCODE: return "re-encode";
    case VEERPIX_ROAD_COEFFICIENTS: return "lossless coefficients";
    }
    return "another road";
}

std::string file_identity(const std::string& path) {
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(path, error);
    if (error) return fs::path(path).lexically_normal().string();
    return resolved.string();
}

std::string system_reason(int error) { return std::strerror(error); }

// What the program can see itself about a failed call: said after the
// library's message, which names the path but not why.
std::string failure_hint(const Job& job) {
    std::error_code error;
    if (!job.spooled_input) {
        fs::file_status input = fs::status(job.source, error);
        if (!fs::exists(input)) {
            return error && error != std::errc::no_such_file_or_directory ? "input: " + error.message()
                                                                          : "input does not exist";
        }
        if (fs::is_directory(input)) return "input is a folder; -r takes the image files inside it";
        if (access(job.source.c_str(), R_OK) != 0) return "input is not readable: " + system_reason(errno);
        if (fs::is_regular_file(input) && fs::file_size(job.source, error) == 0 && !error) return "input is empty";
    }
    if (job.spooled_output) return "";
    if (fs::is_directory(job.output, error)) return "output is a folder";
    fs::path folder = fs::path(job.output).parent_path();
    if (folder.empty()) folder = ".";
    if (!fs::exists(folder, error)) return "output folder " + folder.string() + " does not exist";
    if (!fs::is_directory(folder, error)) return folder.string() + " is not a folder";
    if (access(folder.string().c_str(), W_OK) != 0) {
        return "output folder " + folder.string() + " is not writable: " + system_reason(errno);
    }
    if (fs::exists(job.output, error) && access(job.output.c_str(), W_OK) != 0) {
        return "output is not writable: " + system_reason(errno);
    }
    return "";
}

veerpix_options options_of(const Request& request) {
    veerpix_options options;
    std::memset(&options, 0, sizeof options);
    options.size = sizeof options;
    if (!request.strip) options.flags |= VEERPIX_KEEP_METADATA;
    if (request.pixels) options.flags |= VEERPIX_TURN_PIXELS;
    if (request.trim) options.flags |= VEERPIX_TRIM;
    options.lossless = request.lossless == Lossless::off        ? VEERPIX_LOSSLESS_OFF
                       : request.lossless == Lossless::required ? VEERPIX_LOSSLESS_REQUIRE
                                                                : VEERPIX_LOSSLESS_PREFER;
    options.jpeg_quality = request.quality;
    options.angle = request.angle;
    for (int i = 0; i < 3; ++i) options.background[i] = request.background[i];
    return options;
}

// One call of the library, in whichever process runs it. The library
// writes each result once, with its metadata, and says which road it took.
Outcome perform(const Request& request, const Job& job) {
    Outcome outcome;
    outcome.state = State::done;
    // Read first: --in-place replaces the input. A spooled pipe has no time
    // worth keeping.
    std::error_code time_error;
    fs::file_time_type input_time{};
    const bool keep_time = request.preserve_times && !job.spooled_input && !job.spooled_output;
    if (keep_time) input_time = fs::last_write_time(job.source, time_error);
    const veerpix_options options = options_of(request);
    if (!veerpix_transform(job.source.c_str(), job.write_to.c_str(), request.transform, &options, &outcome.road)) {
        outcome.message = veerpix_last_error();
        return outcome;
    }
    if (keep_time && !time_error) fs::last_write_time(job.write_to, input_time, time_error);
    if (keep_time && time_error) {
        outcome.message = "written, but its modification time could not be kept: " + time_error.message();
        return outcome;
    }
    outcome.result = Result::done;
    return outcome;
}

std::string output_name(const Request& request, const Job& job) {
    if (request.in_place) return job.input;
    std::string name = job.relative;
    if (!request.format.empty()) {
        fs::path path(name);
        std::string stem = path.stem().string();
        name = (path.parent_path() / (stem + "." + request.format)).generic_string();
    }
    std::string folder = request.out_dir;
    if (folder.back() != '/' && folder.back() != '\\') folder += '/';
    return folder + name;
}

bool inside(const fs::path& path, const fs::path& folder) {
    auto mismatch = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return mismatch.first == folder.end();
}

// The files of the request, folders opened with -r: their image files by
// extension, in name order, each with its path below the folder.
std::vector<Job> list_inputs(const Request& request) {
    std::vector<Job> jobs;
    std::error_code error;
    fs::path out_dir = request.out_dir.empty() ? fs::path() : fs::weakly_canonical(request.out_dir, error);
    std::vector<std::string> inputs = request.files;
    if (!request.batch()) inputs.resize(1);  // the other is the output
    for (const std::string& file : inputs) {
        if (!request.recursive || file == "-" || !fs::is_directory(file, error)) {
            Job job;
            job.input = file;
            job.relative = fs::path(file).filename().string();
            jobs.push_back(job);
            continue;
        }
        std::vector<fs::path> found;
        for (auto it = fs::recursive_directory_iterator(file, error); !error && it != fs::recursive_directory_iterator();
             it.increment(error)) {
            if (!out_dir.empty() && it->is_directory(error) && inside(fs::weakly_canonical(it->path(), error), out_dir)) {
                it.disable_recursion_pending();  // our own results from an earlier run
                continue;
            }
            if (it->is_regular_file(error) && is_image_name(it->path().string())) found.push_back(it->path());
        }
        std::sort(found.begin(), found.end());
        for (const fs::path& path : found) {
            Job job;
            job.input = path.generic_string();  // one separator in messages, as the user typed it
            job.relative = path.lexically_relative(file).generic_string();
            jobs.push_back(job);
        }
    }
    return jobs;
}

// A batch must not destroy its own work: --format turning a.jpg into a.png
// beside an input a.png would replace an input not yet read.
void refuse_outputs_over_inputs(std::vector<Job>* jobs) {
    std::map<std::string, size_t> input_index;
    for (size_t i = 0; i < jobs->size(); ++i) input_index.emplace(file_identity((*jobs)[i].input), i);
    for (Job& job : *jobs) {
        auto other = input_index.find(job.identity);
        if (other != input_index.end() && job.identity != file_identity(job.input)) {
            job.refusal = "refused: output " + job.output + " is another input of this batch";
        }
    }
}

int prepare_out_dir(const Request& request) {
    if (request.out_dir.empty() || request.dry_run) return -1;
    std::error_code error;
    fs::create_directories(request.out_dir, error);
    if (error || !fs::is_directory(request.out_dir)) {
        std::string reason = error ? error.message() : "not a folder";
        std::fprintf(stderr, "veerpix: cannot use output folder %s: %s\n", request.out_dir.c_str(), reason.c_str());
        return kExitUsage;
    }
    if (access(request.out_dir.c_str(), W_OK) != 0) {
        std::fprintf(stderr, "veerpix: cannot use output folder %s: %s\n", request.out_dir.c_str(),
                     system_reason(errno).c_str());
        return kExitUsage;
    }
    return -1;
}

// Fills in what the library reads and writes for the one-file form with
// '-' or a pipe; the failure message, or "".
std::string attach_spools(const Request& request, Job* job) {
    std::string error;
    if (needs_spooling(job->input)) {
        job->spooled_input = std::make_shared<TemporaryFile>();
        if (!job->spooled_input->create("", &error) || !spool_input(job->input, *job->spooled_input, &error)) {
            return error;
        }
        job->source = job->spooled_input->path();
    }
    if (job->output == "-") {
        // A name without one of the library's extensions keeps the input's
        // format, which the library recognises.
        job->spooled_output = std::make_shared<TemporaryFile>();
        if (!job->spooled_output->create(request.format.empty() ? "" : "." + request.format, &error)) return error;
        job->write_to = job->spooled_output->path();
    }
    return "";
}

class Report {
public:
    Report(const Request& request, size_t count)
        : request_(request),
          count_(count),
          progress_(count > 1 && !request.quiet && stderr_is_terminal()) {}

    void progress(size_t index, const Job& job) {
        if (!progress_) return;
        std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", index + 1, count_, job.input.c_str());
        std::fflush(stderr);
    }

    void file(const Job& job, const Outcome& outcome) {
        ++counts_[static_cast<int>(outcome.result)];
        // With the picture on standard output, the lines go to stderr.
        std::FILE* listing = job.output == "-" ? stderr : stdout;
        switch (outcome.result) {
        case Result::failed: line(stderr, job.input + ": " + outcome.message); break;
        case Result::skipped:
            if (!request_.quiet) line(stderr, job.input + ": skipped, " + job.output + " exists");
            break;
        case Result::planned: line(listing, job.input + " -> " + job.output); break;
        case Result::done:
            if (request_.verbose) line(listing, job.input + " -> " + job.output + ": " + road_name(outcome.road) + road_notes(outcome.road));
            break;
        }
    }

    int finish() {
        clear_progress();
        int done = counts_[static_cast<int>(Result::done)], failed = counts_[static_cast<int>(Result::failed)];
        int skipped = counts_[static_cast<int>(Result::skipped)], planned = counts_[static_cast<int>(Result::planned)];
        if (count_ > 1 && !request_.quiet) {
            if (request_.dry_run) {
                std::fprintf(stderr, "veerpix: %zu files: %d would be written, %d skipped, %d refused (dry run)\n",
                             count_, planned, skipped, failed);
            } else {
                std::fprintf(stderr, "veerpix: %zu files: %d done, %d failed, %d skipped\n", count_, done, failed,
                             skipped);
            }
        }
        if (failed) return kExitFailed;
        return skipped ? kExitSkipped : kExitOk;
    }

private:
    void clear_progress() {
        if (progress_) std::fprintf(stderr, "\r\033[K");
    }
    void line(std::FILE* out, const std::string& text) {
        clear_progress();
        std::fflush(stderr);
        std::fprintf(out, "%s\n", text.c_str());
        std::fflush(out);
    }

    const Request& request_;
    size_t count_;
    bool progress_;
    int counts_[4] = {0, 0, 0, 0};
};

// Runs the jobs' library calls, up to `jobs` at a time. The library keeps
// one error text per process, so parallel calls need processes of their
// own; where fork is missing (Windows), the files go one after another.
class Runner {
public:
    Runner(const Request& request, const std::vector<Job>& jobs, std::vector<Outcome>* outcomes)
        : request_(request), jobs_(jobs), outcomes_(*outcomes) {}

    void start(size_t index) {
#if !defined(_WIN32)
        if (request_.jobs > 1) {
            while (running_.size() >= static_cast<size_t>(request_.jobs)) reap_one();
            if (fork_worker(index)) return;
        }
#endif
        outcomes_[index] = perform(request_, jobs_[index]);
    }

    void wait_for(size_t index) {
        while (outcomes_[index].state != State::done) reap_one();
    }

    void wait_all() {
        while (!running_.empty()) reap_one();
    }

private:
#if defined(_WIN32)
    void reap_one() {}
    struct Worker {};
    std::vector<Worker> running_;
#else
    struct Worker {
        pid_t pid;
        int pipe;
        size_t index;
    };

    bool fork_worker(size_t index) {
        int ends[2];
        if (pipe(ends) != 0) return false;
        std::fflush(stdout);
        std::fflush(stderr);
        pid_t pid = fork();
        if (pid < 0) {
            close(ends[0]);
            close(ends[1]);
            return false;
        }
        if (pid == 0) {
            // The spooled files are the parent's to remove.
            std::signal(SIGINT, SIG_DFL);
            std::signal(SIGTERM, SIG_DFL);
            std::signal(SIGHUP, SIG_DFL);
            close(ends[0]);
            Outcome outcome = perform(request_, jobs_[index]);
            std::string record = std::to_string(static_cast<int>(outcome.result)) + " " +
                                 std::to_string(outcome.road) + " " + outcome.message;
            size_t written = 0;
            while (written < record.size()) {
                ssize_t step = write(ends[1], record.data() + written, record.size() - written);
                if (step <= 0) break;
                written += static_cast<size_t>(step);
            }
            _exit(0);
        }
        close(ends[1]);
        outcomes_[index].state = State::running;
        running_.push_back({pid, ends[0], index});
        return true;
    }

    void reap_one() {
        if (running_.empty()) return;
        int status = 0;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0 && errno == EINTR) return;
        auto worker = std::find_if(running_.begin(), running_.end(), [&](const Worker& w) { return w.pid == pid; });
        if (worker == running_.end()) {
            if (pid < 0) abandon_all();
            return;
        }
        std::string record;
        char buffer[4096];
        ssize_t got;
        while ((got = read(worker->pipe, buffer, sizeof buffer)) > 0) record.append(buffer, static_cast<size_t>(got));
        close(worker->pipe);
        outcomes_[worker->index] = decode(record, status);
        running_.erase(worker);
    }

    static Outcome decode(const std::string& record, int status) {
        Outcome outcome;
        outcome.state = State::done;
        int result = 0, road = 0, used = 0;
        if (std::sscanf(record.c_str(), "%d %d %n", &result, &road, &used) < 2 || used == 0) {
            outcome.message = WIFSIGNALED(status)
                                  ? "worker process ended by signal " + std::to_string(WTERMSIG(status))
                                  : "worker process ended without a result";
            return outcome;
        }
        outcome.result = static_cast<Result>(result);
        outcome.road = road;
        outcome.message = record.substr(static_cast<size_t>(used));
        return outcome;
    }

    void abandon_all() {
        for (const Worker& worker : running_) {
            close(worker.pipe);
            outcomes_[worker.index].state = State::done;
            outcomes_[worker.index].message = "worker process lost";
        }
        running_.clear();
    }

    std::vector<Worker> running_;
#endif
    const Request& request_;
    const std::vector<Job>& jobs_;
    std::vector<Outcome>& outcomes_;
};

// Work that needs no library call: refusals, skips, the dry run, and the
// folders a mirrored tree needs. True when the job is settled.
bool settle_without_call(const Request& request, Job* job, Outcome* outcome) {
    outcome->state = State::done;
    std::error_code error;
    if (!job->refusal.empty()) {
        outcome->message = job->refusal;
        return true;
    }
    if (request.no_clobber && job->output != "-" && fs::exists(job->output, error)) {
        outcome->result = Result::skipped;
        return true;
    }
    if (request.dry_run) {
        outcome->result = Result::planned;
        return true;
    }
    fs::path folder = fs::path(job->output).parent_path();
    if (request.recursive && !request.out_dir.empty() && !folder.empty()) fs::create_directories(folder, error);
    std::string spool_error = attach_spools(request, job);
    if (!spool_error.empty()) {
        outcome->message = spool_error;
        return true;
    }
    outcome->state = State::waiting;
    return false;
}

}  // namespace

int run_request(const Request& request) {
    std::vector<Job> jobs = list_inputs(request);
    if (jobs.empty()) return usage_error("no image files in the folders given");
    int status = prepare_out_dir(request);
    if (status >= 0) return status;
    for (Job& job : jobs) {
        job.output = request.batch() ? output_name(request, job) : request.files[1];
        job.source = job.input;
        job.write_to = job.output;
        job.identity = job.output == "-" ? "-" : file_identity(job.output);
    }
    if (request.batch()) refuse_outputs_over_inputs(&jobs);

    std::vector<Outcome> outcomes(jobs.size());
    Report report(request, jobs.size());
    Runner runner(request, jobs, &outcomes);
    // Two files of one output name: the later is refused if the earlier
    // was written, and runs if it failed, as one after the other would.
    std::map<std::string, size_t> claimed_by;
    size_t reported = 0;
    auto report_ready = [&]() {
        while (reported < jobs.size() && outcomes[reported].state == State::done) {
            Outcome& outcome = outcomes[reported];
            if (outcome.result == Result::failed && jobs[reported].refusal.empty()) {
                std::string hint = failure_hint(jobs[reported]);
                if (!hint.empty() && outcome.message.rfind("refused:", 0) != 0) outcome.message += " (" + hint + ")";
            }
            if (outcome.result == Result::done && jobs[reported].spooled_output) {
                std::string error;
                if (!copy_to_stdout(jobs[reported].write_to, &error)) {
                    outcome.result = Result::failed;
                    outcome.message = error;
                }
            }
            report.file(jobs[reported], outcome);
            ++reported;
        }
    };
    for (size_t i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        auto claim = claimed_by.find(job.identity);
        if (request.batch() && claim != claimed_by.end()) {
            runner.wait_for(claim->second);
            const Outcome& earlier = outcomes[claim->second];
            if (earlier.result == Result::done || earlier.result == Result::planned) {
                job.refusal = "refused: output " + job.output + " was already written from " + jobs[claim->second].input;
            } else {
                claim->second = i;
            }
        } else {
            claimed_by.emplace(job.identity, i);
        }
        report.progress(i, job);
        if (!settle_without_call(request, &job, &outcomes[i])) runner.start(i);
        report_ready();
    }
    runner.wait_all();
    report_ready();
    return report.finish();
}

}  // namespace cli
