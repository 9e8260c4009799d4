// Google Benchmark for the raster routines and the codec path around them.
//
// Every raster routine is timed beside a malloc + memcpy of the source's
// bytes into fresh memory, alternating in the same loop, so that the ratio
// (x_copy) holds even on a busy machine: it is the median of the routine's
// times over the median of the copy's. The codec benchmarks likewise
// alternate the library's whole call with stb's decode plus encode of the
// same file (x_codecs), and the lossless retag with a plain file copy
// (x_copy) and, in place of its input, with the same retag into another
// file (x_elsewhere: the cost of flushing to the disk). The decode
// benchmarks time the library's decoders, whose blocks start zero-filled,
// beside the same decoders without the filling (x_plain).
//
// Fresh memory costs a page fault per 4 KiB page on first touch, and on
// some machines (virtual ones above all) those faults take far longer than
// the copy itself, which hides how fast the loops are. --warm-memory keeps
// freed blocks inside the allocator, so that both the routine and the copy
// write into memory touched before: that measures the loops alone.
//
//   build/bench/bench/veerpix_bench                       everything
//   build/bench/bench/veerpix_bench --benchmark_filter=24MP
//   build/bench/bench/veerpix_bench --benchmark_filter=decode_zero_filled
//   build/bench/bench/veerpix_bench --warm-memory --benchmark_filter='^[a-z_]+/24MP'
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "formats/bmp_writer.h"
#include "formats/jpeg_writer.h"
#include "photo.h"
#include "formats/png_writer.h"
#include "pixels/raster.h"
#include "plain_decoder.h"
#include "reference_loops.h"
#include "stb_image.h"
#include "stb_image_write.h"
#include "veerpix.h"

extern "C" unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes,
                                                int x, int y, int n, int* out_len);

namespace {

using steady = std::chrono::steady_clock;

// The machine is shared with builds and tests: the time this thread ran,
// page faults included, is steadier than the wall clock, which also counts
// the time other processes held the cores.
double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double seconds_since(double start) { return thread_seconds() - start; }

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct picture_size {
    const char* name;
    int32_t width;
    int32_t height;
};

constexpr picture_size kSizes[] = {{"24MP", 6000, 4000}, {"2MP", 1632, 1224}};

const std::vector<uint8_t>& photo(int size_index) {
    static std::vector<uint8_t> pictures[2];
    if (pictures[size_index].empty()) {
        const picture_size& size = kSizes[size_index];
        pictures[size_index] = bench::photo_like(size.width, size.height);
    }
    return pictures[size_index];
}

pix_image photo_raster(int size_index) {
    const picture_size& size = kSizes[size_index];
    return pix_image{size.width, size.height, const_cast<uint8_t*>(photo(size_index).data())};
}

// --- raster routines --------------------------------------------------------

double fresh_copy_seconds(const pix_image& source) {
    const size_t bytes = size_t(source.width) * size_t(source.height) * 4;
    const double start = thread_seconds();
    auto* copy = static_cast<uint8_t*>(std::malloc(bytes));
    std::memcpy(copy, source.pixels, bytes);
    benchmark::DoNotOptimize(copy);
    benchmark::ClobberMemory();
    const double elapsed = seconds_since(start);
    std::free(copy);
    return elapsed;
}

using raster_routine = std::function<int(const pix_image*, pix_image*)>;

void beside_copy(benchmark::State& state, int size_index, const raster_routine& routine) {
    const pix_image source = photo_raster(size_index);
    std::vector<double> routine_times, copy_times;
    int64_t pixels_written = 0;
    for (auto _ : state) {
        pix_image result{};
        const double start = thread_seconds();
        const int ok = routine(&source, &result);
        benchmark::ClobberMemory();
        const double elapsed = seconds_since(start);
        if (!ok) {
            state.SkipWithError("the routine failed");
            break;
        }
        pixels_written = int64_t{result.width} * result.height;
        std::free(result.pixels);
        state.SetIterationTime(elapsed);
        routine_times.push_back(elapsed);
        copy_times.push_back(fresh_copy_seconds(source));
    }
    const double routine_median = median(routine_times), copy_median = median(copy_times);
    state.counters["ms"] = routine_median * 1e3;
    state.counters["copy_ms"] = copy_median * 1e3;
    state.counters["x_copy"] = copy_median > 0 ? routine_median / copy_median : 0;
    state.counters["Mpix_s"] = routine_median > 0 ? pixels_written / routine_median / 1e6 : 0;
}

struct raster_case {
    const char* name;
    raster_routine routine;
};

const raster_case kRasterCases[] = {
    {"turn_90", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 90, r); }},
    {"turn_180", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 180, r); }},
    {"turn_270", [](const pix_image* s, pix_image* r) { return pix_fixed(s, 270, r); }},
    {"mirror_left_right", [](const pix_image* s, pix_image* r) { return pix_flip(s, 0, r); }},
    {"mirror_top_bottom", [](const pix_image* s, pix_image* r) { return pix_flip(s, 1, r); }},
    {"transpose", pix_transpose},
    {"transverse", pix_transverse},
    {"angle_30", [](const pix_image* s, pix_image* r) { return pix_angle(s, 30.0f, 255, 255, 255, r); }},
    {"plain_loop/turn_90", bench::plain_turn_90},
    {"plain_loop/mirror_left_right", bench::plain_mirror},
    {"plain_loop/angle_30", [](const pix_image* s, pix_image* r) { return bench::plain_angle(s, 30.0f, r); }},
};

// --- the codec path ---------------------------------------------------------

// Input files for the codec benchmarks, written once into a scratch folder.
struct codec_files {
    std::filesystem::path folder;
    std::string jpeg, tagged_jpeg, png;
    ~codec_files() {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }
};

const codec_files& files() {
    static codec_files made = [] {
        codec_files f;
        f.folder = std::filesystem::temp_directory_path() /
                   ("veerpix-bench-" + std::to_string(steady::now().time_since_epoch().count()));
        std::filesystem::create_directories(f.folder);
        const picture_size& size = kSizes[0];
        std::vector<uint8_t> jpeg, png;
        stbi_write_jpg_to_func(bench::append_bytes, &jpeg, size.width, size.height, 4, photo(0).data(), 92);
        stbi_write_png_to_func(bench::append_bytes, &png, size.width, size.height, 4, photo(0).data(),
                               size.width * 4);
        f.jpeg = (f.folder / "photo.jpg").string();
        f.tagged_jpeg = (f.folder / "photo-o1.jpg").string();
        f.png = (f.folder / "photo.png").string();
        bench::write_whole_file(f.jpeg.c_str(), jpeg);
        bench::write_whole_file(f.tagged_jpeg.c_str(), bench::with_orientation(jpeg, 1));
        bench::write_whole_file(f.png.c_str(), png);
        return f;
    }();
    return made;
}

std::string output_path(const char* name) { return (files().folder / name).string(); }

struct codec_times {
    double decode;
    double encode;
};

// stb alone: decode the file, encode the raster into memory.
codec_times stb_decode_and_encode(const std::string& path, bool png) {
    const double start = thread_seconds();
    int width = 0, height = 0, channels = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    uint8_t* pixels = file ? stbi_load_from_file(file, &width, &height, &channels, 4) : nullptr;
    if (file) std::fclose(file);
    const double decode = seconds_since(start);
    const double encode_start = thread_seconds();
    if (png) {
        int length = 0;
        std::free(stbi_write_png_to_mem(pixels, width * 4, width, height, 4, &length));
    } else {
        std::vector<uint8_t> jpeg;
        jpeg.reserve(size_t(width) * size_t(height));
        stbi_write_jpg_to_func(bench::append_bytes, &jpeg, width, height, 4, pixels, 92);
    }
    const double encode = seconds_since(encode_start);
    std::free(pixels);
    return {decode, encode};
}

// The library's quarter turn of a whole file beside stb's own decode and
// encode of that file.
void whole_call_beside_codecs(benchmark::State& state, bool png) {
    const std::string input = png ? files().png : files().jpeg;
    const std::string output = output_path(png ? "turned.png" : "turned.jpg");
    std::vector<double> call_times, codec_totals, decode_times, encode_times;
    for (auto _ : state) {
        const double start = thread_seconds();
        const int ok = veerpix_fixed(input.c_str(), output.c_str(), 90);
        const double elapsed = seconds_since(start);
        if (!ok) {
            state.SkipWithError(veerpix_last_error());
            break;
        }
        state.SetIterationTime(elapsed);
        call_times.push_back(elapsed);
        const codec_times codecs = stb_decode_and_encode(input, png);
        decode_times.push_back(codecs.decode);
        encode_times.push_back(codecs.encode);
        codec_totals.push_back(codecs.decode + codecs.encode);
    }
    const double call = median(call_times), codecs = median(codec_totals);
    state.counters["ms"] = call * 1e3;
    state.counters["decode_ms"] = median(decode_times) * 1e3;
    state.counters["encode_ms"] = median(encode_times) * 1e3;
    state.counters["x_codecs"] = codecs > 0 ? call / codecs : 0;
    std::error_code ignored;
    state.counters["output_MB"] = double(std::filesystem::file_size(output, ignored)) / 1e6;
}

double plain_copy_seconds(const std::string& from, const std::string& to) {
    const double start = thread_seconds();
    std::FILE* in = std::fopen(from.c_str(), "rb");
    std::FILE* out = std::fopen(to.c_str(), "wb");
    std::vector<char> chunk(1 << 17);
    size_t got = 0;
    while (in && out && (got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
        std::fwrite(chunk.data(), 1, got, out);
    }
    if (in) std::fclose(in);
    if (out) std::fclose(out);
    return seconds_since(start);
}

void lossless_beside_copy(benchmark::State& state) {
    const std::string input = files().tagged_jpeg;
    const std::string output = output_path("retagged.jpg"), copied = output_path("copied.jpg");
    std::vector<double> call_times, copy_times;
    for (auto _ : state) {
        const double start = thread_seconds();
        const int ok = veerpix_fixed(input.c_str(), output.c_str(), 90);
        const double elapsed = seconds_since(start);
        if (!ok) {
            state.SkipWithError(veerpix_last_error());
            break;
        }
        state.SetIterationTime(elapsed);
        call_times.push_back(elapsed);
        copy_times.push_back(plain_copy_seconds(input, copied));
    }
    const double call = median(call_times), copy = median(copy_times);
    state.counters["ms"] = call * 1e3;
    state.counters["copy_ms"] = copy * 1e3;
    state.counters["x_copy"] = copy > 0 ? call / copy : 0;
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The lossless turn with the output naming the input, which flushes the
// file and its folder to the disk, beside the same turn into another file,
// which does not: wall time, since the flush is spent waiting on the disk.
void lossless_in_place_beside_elsewhere(benchmark::State& state) {
    const std::string work = output_path("in-place.jpg"), elsewhere = output_path("elsewhere.jpg");
    std::filesystem::copy_file(files().tagged_jpeg, work, std::filesystem::copy_options::overwrite_existing);
    std::vector<double> in_place_times, elsewhere_times;
    for (auto _ : state) {
        const double start = wall_seconds();
        const int ok = veerpix_fixed(work.c_str(), work.c_str(), 90);
        const double elapsed = wall_seconds() - start;
        const double other_start = wall_seconds();
        const int other_ok = veerpix_fixed(work.c_str(), elsewhere.c_str(), 90);
        elsewhere_times.push_back(wall_seconds() - other_start);
        if (!ok || !other_ok) {
            state.SkipWithError(veerpix_last_error());
            break;
        }
        state.SetIterationTime(elapsed);
        in_place_times.push_back(elapsed);
    }
    const double in_place = median(in_place_times), other = median(elsewhere_times);
    state.counters["ms"] = in_place * 1e3;
    state.counters["elsewhere_ms"] = other * 1e3;
    state.counters["x_elsewhere"] = other > 0 ? in_place / other : 0;
}

// The library's PNG writer at each compression level on the 24 MP photo:
// what the choice of the level its default 8 stands for rests on.
void png_encode_at_level(benchmark::State& state) {
    const pix_image source = photo_raster(0);
    const int saved_level = stbi_write_png_compression_level;
    stbi_write_png_compression_level = static_cast<int>(state.range(0));
    uint64_t length = 0;
    for (auto _ : state) {
        if (!write_png_to_memory(source, &length)) {
            state.SkipWithError("the PNG writer failed");
            break;
        }
    }
    stbi_write_png_compression_level = saved_level;
    state.counters["MB"] = double(length) / 1e6;
}

// --- the writers --------------------------------------------------------------

// The library's writer beside stb_image_write on the same raster,
// alternating in one loop: x_faster is stb's median time over ours, and
// same_bytes says whether every run wrote stb's bytes. Each writer's
// output stays where it wrote it (stb's in a vector reserved up front, as
// the library used to collect it) until the timing is over.
struct written {
    malloc_ptr<uint8_t> block;
    std::vector<uint8_t> vector;
    size_t size = 0;
    const uint8_t* data() const { return block ? block.get() : vector.data(); }
    bool operator==(const written& other) const {
        return size == other.size && std::memcmp(data(), other.data(), size) == 0;
    }
};
using writer = written (*)(const pix_image& raster);

// At 92 the chroma is kept whole; at 75, as at every quality up to 90, it
// is averaged over 2x2 pixels.
template <int quality>
written our_jpeg(const pix_image& raster) {
    written out;
    uint64_t length = 0;
    out.block = write_jpeg_to_memory(raster, &length, quality);
    out.size = out.block ? size_t(length) : 0;
    return out;
}

template <int quality>
written stb_jpeg(const pix_image& raster) {
    written out;
    out.vector.reserve(size_t(raster.width) * size_t(raster.height) / 2);
    stbi_write_jpg_to_func(bench::append_bytes, &out.vector, raster.width, raster.height, 4, raster.pixels, quality);
    out.size = out.vector.size();
    return out;
}

written our_png(const pix_image& raster) {
    written out;
    uint64_t length = 0;
    out.block = write_png_to_memory(raster, &length);
    out.size = out.block ? size_t(length) : 0;
    return out;
}

written stb_png(const pix_image& raster) {
    written out;
    int length = 0;
    out.block.reset(stbi_write_png_to_mem(raster.pixels, raster.width * 4, raster.width, raster.height, 4, &length));
    out.size = out.block ? size_t(length) : 0;
    return out;
}

double timed(writer write, const pix_image& raster, written* output) {
    const double start = thread_seconds();
    *output = write(raster);
    return seconds_since(start);
}

void writer_beside_stb(benchmark::State& state, int size_index, writer ours, writer theirs) {
    const pix_image source = photo_raster(size_index);
    std::vector<double> our_times, stb_times;
    bool same = true;
    size_t length = 0;
    for (auto _ : state) {
        written mine, reference;
        const double elapsed = timed(ours, source, &mine);
        stb_times.push_back(timed(theirs, source, &reference));
        state.SetIterationTime(elapsed);
        our_times.push_back(elapsed);
        same = same && mine.size > 0 && mine == reference;
        length = mine.size;
    }
    const double mine = median(our_times), reference = median(stb_times);
    state.counters["ms"] = mine * 1e3;
    state.counters["stb_ms"] = reference * 1e3;
    state.counters["x_faster"] = mine > 0 ? reference / mine : 0;
    state.counters["same_bytes"] = same ? 1 : 0;
    state.counters["MB"] = double(length) / 1e6;
}

// --- one raster: the writers reading through a transform ---------------------

using view_writer = malloc_ptr<uint8_t> (*)(const pix_view& view, uint64_t* length);

malloc_ptr<uint8_t> jpeg_of_view(const pix_view& view, uint64_t* length) {
    return write_jpeg_to_memory(view, length, 92);
}
malloc_ptr<uint8_t> jpeg_q75_of_view(const pix_view& view, uint64_t* length) {
    return write_jpeg_to_memory(view, length, 75);
}
malloc_ptr<uint8_t> png_of_view(const pix_view& view, uint64_t* length) { return write_png_to_memory(view, length); }

// The decode road's encoding as it is, the writer reading the decoded
// raster through the transform, beside the road of two rasters (the
// transformed raster made whole, then written), alternating on the 24 MP
// photo: ms is the view's median CPU time, two_rasters_ms the other's
// (its turn, writing and release included), x_faster the second over the
// first, same_bytes whether every run wrote the same file.
void view_beside_two_rasters(benchmark::State& state, Transform transform, view_writer write) {
    const pix_image source = photo_raster(0);
    std::vector<double> view_times, two_raster_times;
    bool same = true;
    for (auto _ : state) {
        double start = thread_seconds();
        uint64_t view_length = 0;
        malloc_ptr<uint8_t> through_view = write(pix_view_of(source, transform), &view_length);
        const double view_time = seconds_since(start);

        start = thread_seconds();
        pix_image turned{};
        if (!pix_transform(&source, transform, &turned)) {
            state.SkipWithError("out of memory");
            return;
        }
        pixel_owner turned_pixels(turned.pixels);
        uint64_t length = 0;
        malloc_ptr<uint8_t> from_two_rasters = write(pix_view_of(turned), &length);
        turned_pixels.reset();
        two_raster_times.push_back(seconds_since(start));

        state.SetIterationTime(view_time);
        view_times.push_back(view_time);
        same = same && through_view && from_two_rasters && view_length == length &&
               std::memcmp(through_view.get(), from_two_rasters.get(), size_t(length)) == 0;
    }
    const double view = median(view_times), two_rasters = median(two_raster_times);
    state.counters["ms"] = view * 1e3;
    state.counters["two_rasters_ms"] = two_rasters * 1e3;
    state.counters["x_faster"] = view > 0 ? two_rasters / view : 0;
    state.counters["same_bytes"] = same ? 1 : 0;
}

struct view_case {
    const char* name;
    Transform transform;
    view_writer write;
};

const view_case kViewCases[] = {
    {"views/jpeg_turn_90/24MP", Transform::Turn90, jpeg_of_view},
    {"views/jpeg_q75_turn_90/24MP", Transform::Turn90, jpeg_q75_of_view},
    {"views/jpeg_mirror_left_right/24MP", Transform::MirrorLeftRight, jpeg_of_view},
    {"views/jpeg_turn_180/24MP", Transform::Turn180, jpeg_of_view},
    {"views/png_turn_90/24MP", Transform::Turn90, png_of_view},
    {"views/bmp_turn_90/24MP", Transform::Turn90, write_bmp_to_memory},
};

// --- the decoders' zero-filled blocks ----------------------------------------

// Encoded files in memory: a crop of the 2 MP photo, or the 24 MP one.
struct encoded_case {
    const char* name;
    int width, height;  // 0: the whole 24 MP photo
    char format;        // 'j' JPEG, 'p' PNG, 'b' BMP
};

constexpr encoded_case kDecodeCases[] = {
    {"jpeg/64x64", 64, 64, 'j'},     {"jpeg/640x480", 640, 480, 'j'}, {"jpeg/24MP", 0, 0, 'j'},
    {"png/64x64", 64, 64, 'p'},      {"png/640x480", 640, 480, 'p'},  {"png/24MP", 0, 0, 'p'},
    {"bmp/58x79", 58, 79, 'b'},      {"bmp/640x480", 640, 480, 'b'},
};

std::vector<uint8_t> encoded_bytes(const encoded_case& entry) {
    const bool whole = entry.width == 0;
    const int size_index = whole ? 0 : 1;
    const int width = whole ? kSizes[0].width : entry.width;
    const int height = whole ? kSizes[0].height : entry.height;
    std::vector<uint8_t> crop(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = photo(size_index).data() + size_t(y) * size_t(kSizes[size_index].width) * 4;
        std::memcpy(crop.data() + size_t(y) * size_t(width) * 4, row, size_t(width) * 4);
    }
    std::vector<uint8_t> out;
    if (entry.format == 'j') {
        stbi_write_jpg_to_func(bench::append_bytes, &out, width, height, 4, crop.data(), 92);
    } else if (entry.format == 'p') {
        stbi_write_png_to_func(bench::append_bytes, &out, width, height, 4, crop.data(), width * 4);
    } else {
        stbi_write_bmp_to_func(bench::append_bytes, &out, width, height, 4, crop.data());
    }
    return out;
}

// The library's decoders, whose every block starts zero-filled, beside the
// same decoders without the filling, alternating on the same bytes in memory.
void decode_beside_unfilled_blocks(benchmark::State& state, const encoded_case& entry) {
    const std::vector<uint8_t> file = encoded_bytes(entry);
    const int length = static_cast<int>(file.size());
    std::vector<double> zero_filled_times, plain_times;
    bool zero_filled_first = true;
    for (auto _ : state) {
        int width = 0, height = 0, channels = 0;
        uint8_t* zero_filled_pixels = nullptr;
        uint8_t* plain_pixels = nullptr;
        double zero_filled = 0, plain = 0;
        // Each goes first every other time: the first decode of a pair
        // finds the allocator's state the second one left.
        for (int turn = 0; turn < 2; ++turn) {
            const double start = thread_seconds();
            if ((turn == 0) == zero_filled_first) {
                zero_filled_pixels = stbi_load_from_memory(file.data(), length, &width, &height, &channels, 4);
                zero_filled = seconds_since(start);
            } else {
                plain_pixels = plain_decoder_load(file.data(), length, &width, &height);
                plain = seconds_since(start);
            }
        }
        zero_filled_first = !zero_filled_first;
        const bool decoded = zero_filled_pixels && plain_pixels;
        std::free(zero_filled_pixels);
        std::free(plain_pixels);
        if (!decoded) {
            state.SkipWithError("decode failed");
            break;
        }
        state.SetIterationTime(zero_filled);
        zero_filled_times.push_back(zero_filled);
        plain_times.push_back(plain);
    }
    const double zero_filled = median(zero_filled_times), plain = median(plain_times);
    state.counters["us"] = zero_filled * 1e6;
    state.counters["plain_us"] = plain * 1e6;
    state.counters["x_plain"] = plain > 0 ? zero_filled / plain : 0;
}

void register_all() {
    for (const encoded_case& entry : kDecodeCases) {
        const bool large = entry.width == 0;
        benchmark::RegisterBenchmark((std::string("decode_zero_filled/") + entry.name).c_str(),
                                     [&entry](benchmark::State& state) { decode_beside_unfilled_blocks(state, entry); })
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond)
            ->Iterations(large ? 8 : 300);
    }
    for (int size_index = 0; size_index < 2; ++size_index) {
        const std::string size = kSizes[size_index].name;
        benchmark::RegisterBenchmark(("writers/jpeg/" + size).c_str(),
                                     [size_index](benchmark::State& state) {
                                         writer_beside_stb(state, size_index, our_jpeg<92>, stb_jpeg<92>);
                                     })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(size_index == 0 ? 5 : 15);
        benchmark::RegisterBenchmark(("writers/jpeg_q75/" + size).c_str(),
                                     [size_index](benchmark::State& state) {
                                         writer_beside_stb(state, size_index, our_jpeg<75>, stb_jpeg<75>);
                                     })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(size_index == 0 ? 5 : 15);
        benchmark::RegisterBenchmark(("writers/png/" + size).c_str(),
                                     [size_index](benchmark::State& state) {
                                         writer_beside_stb(state, size_index, our_png, stb_png);
                                     })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(size_index == 0 ? 3 : 9);
    }
    for (int size_index = 0; size_index < 2; ++size_index) {
        for (const raster_case& entry : kRasterCases) {
            const std::string name = std::string(entry.name) + "/" + kSizes[size_index].name;
            const raster_routine routine = entry.routine;
            benchmark::RegisterBenchmark(name.c_str(),
                                         [size_index, routine](benchmark::State& state) {
                                             beside_copy(state, size_index, routine);
                                         })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->MinTime(1.0);
        }
    }
    for (const view_case& entry : kViewCases) {
        benchmark::RegisterBenchmark(entry.name,
                                     [&entry](benchmark::State& state) {
                                         view_beside_two_rasters(state, entry.transform, entry.write);
                                     })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(entry.write == png_of_view ? 3 : 7);
    }
    benchmark::RegisterBenchmark("codecs/jpeg_turn_90_call/24MP",
                                 [](benchmark::State& state) { whole_call_beside_codecs(state, false); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(7);
    benchmark::RegisterBenchmark("codecs/png_turn_90_call/24MP",
                                 [](benchmark::State& state) { whole_call_beside_codecs(state, true); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(5);
    benchmark::RegisterBenchmark("codecs/lossless_retag_call/24MP", lossless_beside_copy)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
    benchmark::RegisterBenchmark("codecs/lossless_retag_in_place/24MP", lossless_in_place_beside_elsewhere)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(21);
    benchmark::RegisterBenchmark("codecs/png_encode_level/24MP", png_encode_at_level)
        ->DenseRange(1, 12)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
}

// Removes --warm-memory from the arguments; true when it was there.
bool take_warm_memory_flag(int* argc, char** argv) {
    bool found = false;
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        if (std::strcmp(argv[i], "--warm-memory") == 0) {
            found = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (take_warm_memory_flag(&argc, argv)) {
#if defined(__GLIBC__)
        // Every block from the heap, and the heap never given back.
        mallopt(M_MMAP_MAX, 0);
        mallopt(M_TRIM_THRESHOLD, INT32_MAX);
#else
        std::fprintf(stderr, "--warm-memory needs glibc's allocator\n");
        return 2;
#endif
    }
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
