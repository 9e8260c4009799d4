// The file operations on arbitrary files. One target for all: the first
// input byte picks the operation, the second the output path, the next
// four its parameter (the quarter turn, or the free angle as a float with
// the background colour from the same bytes; for veerpix_transform the
// transform, the flags, the JPEG quality and the angle's low byte); the
// rest is the input file. Checked on every call: success and failure agree with the error
// text and with what stands at the output path afterwards. The output is
// removed after each run; the input is written anew.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "veerpix.h"

namespace {

constexpr size_t kHeaderSize = 6;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

struct Paths {
    std::string folder;
    std::string input;
};

const Paths& scratch() {
    static const Paths paths = [] {
        char folder[] = "/tmp/veerpix-fuzz-XXXXXX";
        require(mkdtemp(folder) != nullptr);
        return Paths{folder, std::string(folder) + "/input"};
    }();
    return paths;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

void write_input(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    require(file != nullptr);
    require(size == 0 || std::fwrite(data, 1, size, file) == size);
    require(std::fclose(file) == 0);
}

// Output paths by the second byte; the last names the input itself.
std::string output_path(uint8_t choice) {
    static const char* const names[] = {"out.jpg", "out.PNG", "out.bmp", "out"};
    const Paths& paths = scratch();
    const unsigned index = choice % 5;
    return index == 4 ? paths.input : paths.folder + "/" + names[index];
}

// Metadata kept or not, pixels turned or not, every transform, qualities
// from the lowest up; the road must name one when the call succeeds.
int run_transform(const uint8_t* parameter, const char* input, const char* output) {
    veerpix_options options{};
    options.size = sizeof options;
    options.flags = parameter[1] & (VEERPIX_KEEP_METADATA | VEERPIX_TURN_PIXELS);
    options.jpeg_quality = parameter[2] % 101;
    options.angle = static_cast<float>(static_cast<int8_t>(parameter[3]));
    options.background[0] = parameter[3];
    int road = -1;
    const int result = veerpix_transform(input, output, parameter[0] % 10, &options, &road);
    require(result == 1 ? road >= VEERPIX_ROAD_COPY && road <= VEERPIX_ROAD_REENCODE
                        : road == VEERPIX_ROAD_NONE);
    return result;
}

int run_operation(uint8_t operation, const uint8_t* parameter, const char* input,
                  const char* output) {
    switch (operation % 6) {
        case 0: {
            // 90, 180 or 270, sometimes written as a negative or a large equivalent.
            static const int degrees[] = {90, 180, 270, -90, -270, 450, 720 + 180, -3600 + 270};
            return veerpix_fixed(input, output, degrees[parameter[0] % 8]);
        }
        case 1: return veerpix_flip_h(input, output);
        case 2: return veerpix_flip_v(input, output);
        case 3: {
            float angle = 0;
            std::memcpy(&angle, parameter, sizeof angle);
            return veerpix_angle(input, output, angle, parameter[0] * 2 - 200, parameter[1],
                                 parameter[2] + parameter[3]);
        }
        case 4: return veerpix_auto_orient(input, output);
        default: return run_transform(parameter, input, output);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderSize) return 0;
    const Paths& paths = scratch();
    const std::string output = output_path(data[1]);
    write_input(paths.input, data + kHeaderSize, size - kHeaderSize);

    const int result = run_operation(data[0], data + 2, paths.input.c_str(), output.c_str());
    const char* message = veerpix_last_error();
    require(result == 0 || result == 1);
    require((result == 1) == (message[0] == '\0'));
    if (output != paths.input) {
        // The output did not exist before: a failure must not leave one.
        require(exists(output) == (result == 1));
        std::remove(output.c_str());
    } else {
        require(exists(output));
    }
    return 0;
}
