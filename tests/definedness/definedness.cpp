// Every exported operation on every file named, each result written to disk
// in each output format, for memcheck to watch (scripts/definedness.sh): a
// byte of the process's memory that no decoder or transform wrote reaches a
// branch of an encoder or the write of an output file, where memcheck
// reports it. Refusals are expected (the fuzzers' seeds include broken
// files); only memcheck's reports count.
//
// usage: veerpix_definedness SCRATCH_FOLDER FILE...
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "veerpix.h"

namespace {

struct Call {
    const char* label;
    const char* extension;
    std::function<int(const char* input, const char* output)> run;
};

std::vector<Call> calls() {
    return {
        {"auto_orient", "png", veerpix_auto_orient},
        {"auto_orient", "jpg", veerpix_auto_orient},
        {"auto_orient", "bmp", veerpix_auto_orient},
        {"fixed 90", "png", [](const char* in, const char* out) { return veerpix_fixed(in, out, 90); }},
        {"fixed 180", "jpg", [](const char* in, const char* out) { return veerpix_fixed(in, out, 180); }},
        {"fixed 270", "bmp", [](const char* in, const char* out) { return veerpix_fixed(in, out, 270); }},
        {"flip_h", "png", veerpix_flip_h},
        {"flip_h", "jpg", veerpix_flip_h},
        {"flip_v", "bmp", veerpix_flip_v},
        {"angle 30", "png",
         [](const char* in, const char* out) { return veerpix_angle(in, out, 30.0f, 255, 255, 255); }},
        {"angle -45", "jpg",
         [](const char* in, const char* out) { return veerpix_angle(in, out, -45.0f, 10, 20, 30); }},
        {"angle 200", "bmp",
         [](const char* in, const char* out) { return veerpix_angle(in, out, 200.5f, 0, 0, 0); }},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: veerpix_definedness SCRATCH_FOLDER FILE...\n");
        return 2;
    }
    const std::string scratch = argv[1];
    const std::vector<Call> table = calls();
    int succeeded = 0, refused = 0;
    for (int i = 2; i < argc; ++i) {
        for (const Call& call : table) {
            const std::string output = scratch + "/out." + call.extension;
            std::remove(output.c_str());
            if (!call.run(argv[i], output.c_str())) {
                ++refused;
                continue;
            }
            ++succeeded;
            // The metadata copy reads the result back and writes it again.
            veerpix_copy_metadata(argv[i], output.c_str());
        }
    }
    std::printf("%d files, %d results, %d refusals\n", argc - 2, succeeded, refused);
    return 0;
}
