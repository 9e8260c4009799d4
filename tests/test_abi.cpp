// The library as a host loads it: by file name at run time, each function
// found by its plain name.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "veerpix.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

class LoadedLibrary {
public:
    explicit LoadedLibrary(const char* path) {
#if defined(_WIN32)
        handle_ = LoadLibraryA(path);
#else
        handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~LoadedLibrary() {
        if (!handle_) return;
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(handle_));
#else
        dlclose(handle_);
#endif
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }

    template <typename Function>
    Function find(const char* name) const {
#if defined(_WIN32)
        FARPROC address = GetProcAddress(static_cast<HMODULE>(handle_), name);
#else
        void* address = dlsym(handle_, name);
#endif
        Function function = nullptr;
        static_assert(sizeof function == sizeof address, "function and data pointers differ");
        std::memcpy(&function, &address, sizeof function);
        return function;
    }

private:
    void* handle_ = nullptr;
};

using InitFn = int (*)();
using CleanupFn = void (*)();
using LastErrorFn = const char* (*)();
using FixedFn = int (*)(const char*, const char*, int);
using PathsFn = int (*)(const char*, const char*);
using AngleFn = int (*)(const char*, const char*, float, int, int, int);
using TransformFn = int (*)(const char*, const char*, int, const veerpix_options*, int*);

TEST(Abi, EveryExportIsFoundByItsPlainNameAndBehaves) {
    LoadedLibrary library(VEERPIX_LIBRARY_PATH);
    ASSERT_TRUE(library.loaded()) << VEERPIX_LIBRARY_PATH;

    auto init = library.find<InitFn>("veerpix_init");
    auto cleanup = library.find<CleanupFn>("veerpix_cleanup");
    auto last_error = library.find<LastErrorFn>("veerpix_last_error");
    auto fixed = library.find<FixedFn>("veerpix_fixed");
    auto flip_h = library.find<PathsFn>("veerpix_flip_h");
    auto flip_v = library.find<PathsFn>("veerpix_flip_v");
    auto angle = library.find<AngleFn>("veerpix_angle");
    auto auto_orient = library.find<PathsFn>("veerpix_auto_orient");
    auto copy_metadata = library.find<PathsFn>("veerpix_copy_metadata");
    auto transform = library.find<TransformFn>("veerpix_transform");
    ASSERT_TRUE(init && cleanup && last_error && fixed && flip_h && flip_v && angle && auto_orient &&
                copy_metadata && transform);

    EXPECT_STREQ(last_error(), "") << "empty at load";
    EXPECT_EQ(fixed(nullptr, "x", 90), 0);
    EXPECT_STREQ(last_error(), "input/output must not be NULL");
    EXPECT_EQ(init(), 1);
    EXPECT_STREQ(last_error(), "");
    EXPECT_EQ(fixed("in", "out", 45), 0);
    EXPECT_STREQ(last_error(), "degrees must be 90, 180 or 270 (got 45)");
    cleanup();
    EXPECT_STREQ(last_error(), "");
    for (PathsFn operation : {flip_h, flip_v, auto_orient, copy_metadata}) {
        EXPECT_EQ(operation("", nullptr), 0);
        EXPECT_STREQ(last_error(), "input/output must not be NULL");
    }
    EXPECT_EQ(angle(nullptr, "x", 1.0f, 0, 0, 0), 0);
    EXPECT_STREQ(last_error(), "input/output must not be NULL");
    std::string long_path(600, 'q');
    EXPECT_EQ(auto_orient(long_path.c_str(), "out.png"), 0);
    EXPECT_EQ(std::strlen(last_error()), 511u);
    EXPECT_EQ(copy_metadata(long_path.c_str(), "out.png"), 0);
    EXPECT_EQ(std::strlen(last_error()), 511u);

    int road = VEERPIX_ROAD_COPY;
    EXPECT_EQ(transform(nullptr, "x", VEERPIX_TURN_90, nullptr, &road), 0);
    EXPECT_STREQ(last_error(), "input/output must not be NULL");
    EXPECT_EQ(road, VEERPIX_ROAD_NONE);
    veerpix_options options{};
    options.size = 8;
    EXPECT_EQ(transform("in", "out", VEERPIX_TURN_90, &options, &road), 0);
    EXPECT_STREQ(last_error(), "options record has an unknown size (8 bytes)");
}

TEST(Abi, InternalNamesAreNotExported) {
    LoadedLibrary library(VEERPIX_LIBRARY_PATH);
    ASSERT_TRUE(library.loaded());
    for (const char* name : {"set_err", "s_err", "read_file", "pix_fixed", "stbi_load_from_file",
                             "stbi_write_png", "qv_exif_parse_orientation", "retag_jpeg",
                             "read_carried_metadata", "compress_zlib_stream", "inflate_zlib_stream"}) {
        EXPECT_EQ(library.find<InitFn>(name), nullptr) << name;
    }
}

}  // namespace
