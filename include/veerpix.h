/*
 * quorvane-veerpix: changes the orientation of JPEG, PNG and BMP files.
 *
 * Every file operation reads the image at `input`, writes the result to
 * `output` and returns 1 on success or 0 on failure. After a failure,
 * veerpix_last_error() gives a short English message; after a success it
 * gives "". The message lives in one process-wide buffer: call the library
 * from one thread at a time and read the message before the next call.
 *
 * Inputs are recognised by their first bytes (JPEG, PNG, BMP), never by
 * their names. The output format follows the output path's extension
 * ("jpg", "jpeg", "png", "bmp", any letter case); any other extension keeps
 * the input's format. Re-encoded
 * files are 8-bit RGBA: JPEG at quality 92, PNG with alpha, 32-bit BMP, and
 * carry no metadata (no EXIF, no colour profile).
 *
 * Every operation changes the picture as shown. Quarter turns and mirrors
 * of a JPEG into a JPEG whose EXIF Orientation is 1..8 are lossless: only
 * the two bytes of that value change. Where the pixels are decoded instead
 * (another output format, or veerpix_angle), a JPEG tagged 2..8 is first
 * brought upright, so a PNG result shows what the lossless JPEG result
 * shows; quarter turns and mirrors do both in one pass.
 *
 * The output is replaced atomically: a failed call leaves whatever stood at
 * the output path before (the output path may name the input file).
 *
 * Paths are narrow NUL-terminated strings passed to the C runtime's fopen:
 * UTF-8 on Linux, the active code page on Windows.
 *
 * Limits, each checked before the large buffers exist:
 *   input file       under 2 GiB
 *   decoded image    width * height * 4 <= 2^31 - 1, each side <= 2^24;
 *                    PNG: width * height * the file's channels <= 2^30
 *                    ("cannot decode image: %s (too large)")
 *   JPEG result      each side <= 65535, width * height * 4 <= 2^31 - 1
 *   PNG result       width <= 4194303, (width * 4 + 1) * height <= 1431655757
 *   BMP result       width * height * 4 + 122 <= 2^31 - 1
 *                    (a result past these: "failed to write output: %s")
 * The lossless path and auto-orient's copy decode nothing: only the file
 * limit applies. The other quarter turns, mirrors and auto-orient keep the
 * pixel count, so the image must fit both the decoder's and the result's
 * limits. veerpix_angle's canvas holds up to twice the pixels of a square
 * image (at 45 degrees), more for a long narrow one, and must fit the
 * result's limit. A decoding call holds about three to four times width *
 * height * 4 bytes at its peak.
 *
 * Messages an operation can leave:
 *   "input/output must not be NULL"
 *   "degrees must be 90, 180 or 270 (got %d)"        veerpix_fixed only
 *   "angle must be a finite number"                  veerpix_angle only
 *   "cannot read input file: %s"
 *   "unsupported input format: %s"
 *   "cannot decode image: %s (%s)"                   path, decoder's reason, or
 *                          the library's own for a file it refuses before
 *                          decoding (shapes that reach known decoder faults,
 *                          e.g. "BMP pixel data truncated")
 *   "out of memory"
 *   "failed to write output: %s"
 *   "exif compose failed", "exif rewrite: %s"        lossless path only
 */
#ifndef QUORVANE_VEERPIX_H
#define QUORVANE_VEERPIX_H

#if defined(_WIN32)
#  if defined(VEERPIX_BUILDING_LIBRARY)
#    define VEERPIX_API __declspec(dllexport)
#  else
#    define VEERPIX_API __declspec(dllimport)
#  endif
#else
#  define VEERPIX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Clears the error text; returns 1. Optional: nothing needs initialising. */
VEERPIX_API int veerpix_init(void);

/* Clears the error text. Further calls remain possible. */
VEERPIX_API void veerpix_cleanup(void);

/* The message of the last failed operation, or "" (the library's own
 * buffer: read it, do not free or keep it past the next call). */
VEERPIX_API const char *veerpix_last_error(void);

/* Turns counter-clockwise by `degrees`, which must equal 90, 180 or 270
 * modulo 360 (-90 is a clockwise quarter turn). */
VEERPIX_API int veerpix_fixed(const char *input, const char *output, int degrees);

/* Mirrors left to right. */
VEERPIX_API int veerpix_flip_h(const char *input, const char *output);

/* Mirrors top to bottom. */
VEERPIX_API int veerpix_flip_v(const char *input, const char *output);

/* Turns counter-clockwise by any finite angle with bilinear sampling, on a
 * canvas just large enough for the whole turned picture; uncovered pixels
 * get the opaque colour (red, green, blue), each clamped to 0..255. */
VEERPIX_API int veerpix_angle(const char *input, const char *output, float degrees,
                              int red, int green, int blue);

/* Brings a JPEG upright by its EXIF Orientation (2..8) in its pixels and
 * writes it without EXIF, in the format the output path names. A file that
 * needs no turning is copied byte for byte where the output path names its
 * own format or none of ours; asked into another format it is decoded and
 * encoded (so a file that only starts like a JPEG then fails with "cannot
 * decode image: %s (%s)"). */
VEERPIX_API int veerpix_auto_orient(const char *input, const char *output);

#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_VEERPIX_H */
