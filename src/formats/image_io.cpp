// Image file access: whole-file reads, format recognition by content,
// output format by extension, and the codec calls.
#include "formats/image_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "formats/bmp_writer.h"
#include "formats/decode_guard.h"
#include "formats/jpeg_decoder.h"
#include "common/error.h"
#include "formats/jpeg_segments.h"
#include "formats/jpeg_writer.h"
#include "common/large_block.h"
#include "platform/output.h"
#include "formats/png_writer.h"
#include "stb_image.h"

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

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b)) return false;
    }
    return *a == *b;
}

// The PNG writer's built-in deflate grows its stream in an int-counted
// buffer of 2, 5, 11, ... (3 * 2^k - 1) bytes; the step past this one
// overflows. It spends at most 9 bits on a byte, plus a 3-bit block header,
// a 7-bit end code, the padding to a byte, 2 header and 4 checksum bytes.
// The other compressors' streams stay well inside this.
constexpr int64_t kDeflateBufferCapacity = 3 * (int64_t{1} << 29) - 1;

bool png_stream_fits(int64_t filtered_bytes) {
    return 2 + (9 * filtered_bytes + 3 + 7 + 7) / 8 + 4 <= kDeflateBufferCapacity - 1;
}

Encoded encode_png(const pix_view& view, int /*jpeg_quality*/, pixel_owner* source) {
    Encoded encoded;
    encoded.bytes = write_png_to_memory(view, &encoded.length, source);
    return encoded;
}

// The JPEG and BMP writers read the source until their last bytes.
Encoded encode_jpeg(const pix_view& view, int jpeg_quality, pixel_owner* /*source*/) {
    Encoded encoded;
    encoded.bytes = write_jpeg_to_memory(view, &encoded.length, jpeg_quality);
    return encoded;
}

Encoded encode_bmp(const pix_view& view, int /*jpeg_quality*/, pixel_owner* /*source*/) {
    Encoded encoded;
    encoded.bytes = write_bmp_to_memory(view, &encoded.length);
    return encoded;
}

// The writers count in int: each bound is where one of their sums would
// first overflow, or where the format ends. Sides are positive and within
// int when these are asked.
bool jpeg_accepts(int64_t width, int64_t height) {
    // 16-bit sides in the frame header; pixels indexed as row * width * 4.
    return width <= 65535 && height <= 65535 && width * height <= INT_MAX / 4;
}

bool png_accepts(int64_t width, int64_t height) {
    // Each row's filter estimate adds up to 128 per byte; the filtered
    // rows, a filter byte each, go to the deflate stream.
    return width <= INT_MAX / (128 * 4) && png_stream_fits((width * 4 + 1) * height);
}

bool bmp_accepts(int64_t width, int64_t height) {
    // The file header's size field: 122 + width * height * 4.
    return width * height <= (INT_MAX - 122) / 4;
}

bool starts_with(const uint8_t* bytes, uint64_t length, const char* signature, uint64_t size) {
    return length >= size && std::memcmp(bytes, signature, size) == 0;
}

bool is_jpeg(const uint8_t* bytes, uint64_t length) { return starts_with(bytes, length, "\xFF\xD8", 2); }

// Eight bytes at least: a PNG is not told by its first four alone.
bool is_png(const uint8_t* bytes, uint64_t length) {
    return length >= 8 && starts_with(bytes, length, "\x89PNG", 4);
}

bool is_bmp(const uint8_t* bytes, uint64_t length) { return starts_with(bytes, length, "BM", 2); }

// Everything the library knows of a format, in one row: how its files
// start, the output extensions that ask for it (compared whole, ignoring
// ASCII case), what its writer can take, and the writer.
struct FormatRow {
    img_format format;
    const char* extensions[2];  // unused places are null
    bool (*has_signature)(const uint8_t* bytes, uint64_t length);
    bool (*accepts)(int64_t width, int64_t height);
    Encoded (*encode)(const pix_view& view, int jpeg_quality, pixel_owner* source);
};

constexpr FormatRow kFormats[] = {
    {IMG_FMT_JPEG, {"jpg", "jpeg"}, is_jpeg, jpeg_accepts, encode_jpeg},
    {IMG_FMT_PNG, {"png", nullptr}, is_png, png_accepts, encode_png},
    {IMG_FMT_BMP, {"bmp", nullptr}, is_bmp, bmp_accepts, encode_bmp},
};

const FormatRow* row_of(img_format format) {
    for (const FormatRow& row : kFormats) {
        if (row.format == format) return &row;
    }
    return nullptr;
}

// The decoder refuses a raster of more than INT_MAX bytes only after it
// has set up the planes of the file's own channels, and for a JPEG filled
// them: a tiny grey JPEG claiming 40000 x 40000 would first cost 1.6 GB.
// The header gives the size, so the same limit is applied before decoding.
const char* raster_size_check(const uint8_t* bytes, int length) {
    int width = 0, height = 0, channels = 0;
    // A header that the decoder cannot read is the decoder's to refuse.
    if (!stbi_info_from_memory(bytes, length, &width, &height, &channels)) return nullptr;
    return int64_t{width} * height > INT_MAX / 4 ? "too large" : nullptr;
}

}  // namespace

namespace {

// Opens a regular file for reading and gives its size, or -1. The open
// does not wait: a FIFO without a writer would block it forever.
#if defined(_WIN32)
int open_regular_file(const char* path, int64_t* size, FileIdentity* identity) {
    const int descriptor = _open(path, _O_RDONLY | _O_BINARY);
    if (descriptor < 0) return -1;
    struct _stat64 status {};
    if (_fstat64(descriptor, &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        _close(descriptor);
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (identity && GetFileInformationByHandle(handle, &info)) {
        identity->device = info.dwVolumeSerialNumber;
        identity->inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
        identity->known = true;
    }
    *size = status.st_size;
    return descriptor;
}
void close_descriptor(int descriptor) { _close(descriptor); }
std::FILE* stream_of(int descriptor) { return _fdopen(descriptor, "rb"); }
#else
int open_regular_file(const char* path, int64_t* size, FileIdentity* identity) {
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) return -1;
    struct stat status {};
    const bool regular = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    // Reads block again, as on any regular file (some file systems honour
    // the flag on files too).
    const int flags = regular ? fcntl(descriptor, F_GETFL) : -1;
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(descriptor);
        return -1;
    }
    if (identity) {
        *identity = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino), true};
    }
    *size = static_cast<int64_t>(status.st_size);
    return descriptor;
}
void close_descriptor(int descriptor) { close(descriptor); }
std::FILE* stream_of(int descriptor) { return fdopen(descriptor, "rb"); }
#endif

}  // namespace

malloc_ptr<uint8_t> read_file(const char* path, uint64_t* length, FileIdentity* identity) {
    int64_t size = 0;
    FileIdentity opened;
    const int descriptor = open_regular_file(path, &size, &opened);
    if (descriptor < 0) return nullptr;
    // Empty files and files of 2 GiB or more are refused: the decoder and
    // the EXIF reader count in 32 bits.
    if (size <= 0 || size > INT32_MAX) {
        close_descriptor(descriptor);
        return nullptr;
    }
    std::FILE* file = stream_of(descriptor);
    if (!file) {
        close_descriptor(descriptor);
        return nullptr;
    }
    struct Closer {
        std::FILE* file;
        ~Closer() { std::fclose(file); }
    } closer{file};

    // The spare room is read_head's promise on Windows, where it reads here.
    malloc_ptr<uint8_t> buffer(
        static_cast<uint8_t*>(veerpix_malloc_large(static_cast<size_t>(size) + kHeadRoom)));
    if (!buffer) return nullptr;
    if (std::fread(buffer.get(), 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
        return nullptr;
    }
    *length = static_cast<uint64_t>(size);
    if (identity) *identity = opened;
    return buffer;
}

void UnreadRest::close_rest() {
    if (tail.descriptor >= 0) close_descriptor(tail.descriptor);
    tail.descriptor = -1;
}

#if defined(_WIN32)
malloc_ptr<uint8_t> read_head(const char* path, uint64_t* length, UnreadRest* rest,
                              FileIdentity* identity) {
    (void)rest;
    return read_file(path, length, identity);
}

bool read_rest(malloc_ptr<uint8_t>*, uint64_t*, UnreadRest*) { return true; }
bool same_bytes_in_files(const FileTail&, uint64_t, const FileTail&, uint64_t, uint64_t) {
    return false;  // read_head leaves no file open here
}
#else
namespace {

constexpr uint64_t kFirstHead = uint64_t{64} << 10;

// Extends the buffer to `wanted` bytes of the file (plus the spare room);
// false where the file ends sooner.
bool read_up_to(int descriptor, uint64_t wanted, malloc_ptr<uint8_t>* bytes, uint64_t* length) {
    const size_t capacity = static_cast<size_t>(wanted + kHeadRoom);
    malloc_ptr<uint8_t> grown(static_cast<uint8_t*>(veerpix_malloc_large(capacity)));
    if (!grown) return false;
    if (*length) std::memcpy(grown.get(), bytes->get(), static_cast<size_t>(*length));
    for (uint64_t have = *length; have < wanted;) {
        const ssize_t got = pread(descriptor, grown.get() + have, static_cast<size_t>(wanted - have),
                                  static_cast<off_t>(have));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        have += static_cast<uint64_t>(got);
    }
    *bytes = std::move(grown);
    *length = wanted;
    return true;
}

}  // namespace

malloc_ptr<uint8_t> read_head(const char* path, uint64_t* length, UnreadRest* rest,
                              FileIdentity* identity) {
    int64_t size = 0;
    FileIdentity opened;
    UnreadRest file;
    file.tail.descriptor = open_regular_file(path, &size, &opened);
    if (file.empty()) return nullptr;
    // The same limits as read_file's.
    if (size <= 0 || size > INT32_MAX) return nullptr;
    const uint64_t file_size = static_cast<uint64_t>(size);
    malloc_ptr<uint8_t> bytes;
    uint64_t have = 0;
    uint64_t wanted = std::min(file_size, kFirstHead);
    for (;;) {
        if (!read_up_to(file.tail.descriptor, wanted, &bytes, &have)) return nullptr;
        if (have == file_size) break;
        const uint64_t needed = jpeg_exif_head_length(ByteReader{bytes.get(), have});
        if (needed != 0 && needed <= have) {
            file.tail.offset = have;
            file.tail.size = file_size;
            rest->close_rest();
            rest->tail = file.tail;
            file.tail.descriptor = -1;
            break;
        }
        // No Exif segment: every road from here reads the whole file.
        wanted = needed == 0 ? file_size : std::min(file_size, std::max(needed, 2 * have));
    }
    *length = have;
    if (identity) *identity = opened;
    return bytes;
}

namespace {

bool read_exactly(int descriptor, uint64_t offset, uint8_t* into, uint64_t count) {
    for (uint64_t have = 0; have < count;) {
        const ssize_t got = pread(descriptor, into + have, static_cast<size_t>(count - have),
                                  static_cast<off_t>(offset + have));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        have += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

bool same_bytes_in_files(const FileTail& first, uint64_t first_offset, const FileTail& second,
                         uint64_t second_offset, uint64_t count) {
    constexpr uint64_t kBlock = uint64_t{256} << 10;
    malloc_ptr<uint8_t> blocks(static_cast<uint8_t*>(std::malloc(2 * kBlock)));
    if (!blocks) return false;
    uint8_t* const a = blocks.get();
    uint8_t* const b = a + kBlock;
    for (uint64_t done = 0; done < count;) {
        const uint64_t step = std::min(kBlock, count - done);
        if (!read_exactly(first.descriptor, first_offset + done, a, step) ||
            !read_exactly(second.descriptor, second_offset + done, b, step) ||
            std::memcmp(a, b, static_cast<size_t>(step)) != 0) {
            return false;
        }
        done += step;
    }
    return true;
}

bool read_rest(malloc_ptr<uint8_t>* bytes, uint64_t* length, UnreadRest* rest) {
    if (rest->empty()) return true;
    const bool read = read_up_to(rest->tail.descriptor, rest->tail.size, bytes, length);
    rest->close_rest();
    return read;
}
#endif

img_format detect_format(const uint8_t* bytes, uint64_t length) {
    for (const FormatRow& row : kFormats) {
        if (row.has_signature(bytes, length)) return row.format;
    }
    return IMG_FMT_UNKNOWN;
}

img_format format_from_path(const char* path, img_format fallback) {
    const char* dot = std::strrchr(path, '.');
    if (!dot || dot[1] == '\0') return fallback;
    for (const FormatRow& row : kFormats) {
        for (const char* extension : row.extensions) {
            if (extension && equals_ignoring_ascii_case(dot + 1, extension)) return row.format;
        }
    }
    return fallback;
}

int decode_image(const uint8_t* bytes, uint64_t length, const char* path, pix_image* raster) {
    int width = 0, height = 0, channels = 0;
    uint8_t* pixels = nullptr;
    // read_file holds no more than the decoder's int counts.
    const char* reason = length > INT_MAX ? "too large" : nullptr;
    const int decoder_length = static_cast<int>(length);
    // Shapes of file that reach the decoder's known faults never reach it.
    if (!reason) reason = decode_guard_check(bytes, length);
    if (!reason) reason = raster_size_check(bytes, decoder_length);
    MendedFile mended;
    if (!reason && !decode_guard_mend(bytes, length, &mended)) reason = "outofmem";
    const uint8_t* decoded = mended.bytes ? mended.bytes.get() : bytes;
    const uint64_t decoded_length = mended.bytes ? mended.length : length;
    if (!reason && detect_format(decoded, decoded_length) == IMG_FMT_JPEG) {
        uint32_t jpeg_width = 0, jpeg_height = 0;
        pixels = decode_jpeg_rgba(decoded, decoded_length, &jpeg_width, &jpeg_height).release();
        width = static_cast<int>(jpeg_width);
        height = static_cast<int>(jpeg_height);
    }
    // What our decoder declines, the codec decodes, with its own reasons.
    if (!reason && !pixels) {
        pixels = stbi_load_from_memory(decoded, static_cast<int>(decoded_length), &width, &height, &channels, 4);
        if (!pixels) reason = stbi_failure_reason();
    }
    if (!pixels) {
        set_err("cannot decode image: %s (%s)", path, reason ? reason : "unknown");
        return 0;
    }
    raster->width = width;
    raster->height = height;
    raster->pixels = pixels;
    return 1;
}

bool encoder_accepts(int64_t width, int64_t height, img_format format) {
    if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX) return false;
    const FormatRow* row = row_of(format);
    return row && row->accepts(width, height);
}

Encoded encode_raster(const pix_image* raster, img_format format, int jpeg_quality) {
    return encode_view(pix_view_of(*raster), format, jpeg_quality);
}

Encoded encode_view(const pix_view& view, img_format format, int jpeg_quality, pixel_owner* source) {
    if (!encoder_accepts(view.width, view.height, format)) return {};
    if (!jpeg_quality_accepted(jpeg_quality)) return {};
    return row_of(format)->encode(view, jpeg_quality, source);
}

int encode_image(const char* path, const pix_image* raster, img_format format,
                 const FileIdentity* input) {
    Encoded encoded = encode_raster(raster, format);
    if (!encoded.bytes) {
        set_err("failed to write output: %s", path);
        return 0;
    }
    return write_file(path, std::move(encoded.bytes), encoded.length, input);
}
