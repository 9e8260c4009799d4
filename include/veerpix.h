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
 * files are 8-bit RGBA: JPEG at quality 92 (veerpix_transform takes
 * another), PNG with alpha, 32-bit BMP.
 * They keep the input's RGB colour profile (JPEG and PNG outputs; a BMP
 * output carries none) and its resolution where the output format has a
 * field for it (JFIF density, pHYs, BMP pixels per metre); grey and CMYK
 * profiles are dropped, as the output is RGB, and so is a damaged profile.
 * EXIF and XMP are not carried: veerpix_copy_metadata adds them, or
 * veerpix_transform with VEERPIX_KEEP_METADATA in the same write.
 *
 * Every operation changes the picture as shown. Quarter turns and mirrors
 * of a JPEG into a JPEG whose EXIF Orientation is 1..8 are lossless: only
 * the two bytes of that value change. Where the pixels are decoded instead
 * (another output format, or veerpix_angle), a JPEG tagged 2..8 is first
 * brought upright, so a PNG result shows what the lossless JPEG result
 * shows; quarter turns and mirrors do both in one pass.
 *
 * Inputs are read only if they are regular files: a FIFO, a device or a
 * folder is refused at once with "cannot read input file: %s" (the open
 * does not wait for a writer).
 *
 * Writing the output ("failed to write output: %s" for every failure):
 *   - A regular file, or a name that does not exist yet, is replaced
 *     atomically where its folder allows: the result goes to a temporary
 *     file in the same folder, renamed over the output once complete. A
 *     failed call leaves the output path as it was; the output path may
 *     name the input file.
 *   - The temporary: on Linux it has no name while it is written
 *     (O_TMPFILE), so a process killed meanwhile leaves nothing; it gets
 *     the name ".veerpix-<hex>.tmp" only for the instant before the rename.
 *     On Windows, and on Linux file systems without unnamed files, it is
 *     that named file; on Windows it is marked for deletion until it is
 *     complete, so only a kill in the instant between completion and the
 *     rename leaves it behind. On those Linux file systems a killed process
 *     leaves it.
 *   - A file the caller may not open for writing (read-only, or refused by
 *     its owner's bits) is refused, as opening it would be; root writes as
 *     root can.
 *   - In place, not atomic: where the folder takes no new files (a
 *     read-only folder) or refuses the rename (a file mounted on its own, a
 *     file of another owner in a sticky folder such as /tmp, another file
 *     system mounted under the name), a file the caller may write is written
 *     in place: its new length is reserved first, so a full disk fails
 *     before a byte changes; then it is written and cut to length. A crash
 *     or a failing device midway leaves a mixture of old and new bytes.
 *   - Flushing: where the output is the input itself (the same file, also
 *     by another name), the result is flushed to the disk before it
 *     replaces the input, and the folder after, so that a power loss leaves
 *     the old file or the new one. Other outputs are not flushed.
 *   - A replaced file is a new file: other hard links to it keep the old
 *     bytes, extended attributes and ACLs are not carried over; it keeps
 *     its permission bits, and its owner and group only where the caller
 *     may give files away (root). A file written in place keeps all of
 *     these. A symbolic link is written through to its target.
 *   - FIFOs and devices are written directly; a FIFO without a reader is
 *     refused at once rather than waited for.
 *
 * Paths are narrow NUL-terminated strings passed to the C runtime's fopen:
 * UTF-8 on Linux, the active code page on Windows.
 *
 * Limits, each checked before the large buffers exist:
 *   input file       a regular file under 2 GiB
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
 *   "angle must be a finite number"                  veerpix_angle and VEERPIX_ANGLE only
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

#include <stdint.h>

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

/* Copies the metadata of `source` (JPEG or PNG) into `output`, an already
 * written JPEG or PNG whose pixels are upright (a result of the operations
 * above), replacing the output's own: EXIF with every Orientation entry set to 1
 * (an EXIF without Orientation stays without) and its thumbnail unlinked,
 * XMP with every tiff:Orientation set to 1, the ICC profile (where its
 * colour space is the output's) and the resolution. JPEG holds them as
 * APP1 Exif, APP1 XMP and APP2 ICC segments, PNG as eXIf, iTXt
 * "XML:com.adobe.xmp", iCCP and pHYs chunks. The output's compressed image
 * data is kept byte for byte, and the output is replaced atomically. EXIF
 * or XMP too large for one JPEG segment and JPEG's extended XMP are left
 * out. When the output holds the source's own compressed picture (a byte
 * copy or a lossless retag, whose Orientation is already right) it is left
 * unchanged and the result is 1, so a host may call this after every
 * operation.
 * Messages: "input/output must not be NULL", "cannot read input file: %s",
 * "unsupported input format: %s", "cannot copy metadata from BMP: %s",
 * "cannot read output file: %s", "unsupported output format: %s",
 * "cannot copy metadata into BMP: %s", "cannot parse output file: %s" (its
 * segments or chunks cannot be walked), "out of memory",
 * "failed to write output: %s". */
VEERPIX_API int veerpix_copy_metadata(const char *source, const char *output);

/* ---- One call with options ---------------------------------------------
 *
 * veerpix_transform does what each operation above does, with options, in
 * one atomic write of the output, and says which road it took. The
 * operations above are this call with fixed arguments (see each value). */

/* What to do to the picture as shown (a JPEG's EXIF Orientation
 * honoured). The first six are also the operations above; the values are
 * part of the interface and never change. */
enum {
    VEERPIX_KEEP = 0,              /* the picture as shown, unchanged: a copy
                                      where the output path names the input's
                                      format (or none of ours), else the same
                                      picture in the format the path names */
    VEERPIX_TURN_90 = 1,           /* quarter turn counter-clockwise: veerpix_fixed 90 */
    VEERPIX_TURN_180 = 2,          /* veerpix_fixed 180 */
    VEERPIX_TURN_270 = 3,          /* quarter turn clockwise: veerpix_fixed 270 */
    VEERPIX_MIRROR_LEFT_RIGHT = 4, /* veerpix_flip_h */
    VEERPIX_MIRROR_TOP_BOTTOM = 5, /* veerpix_flip_v */
    VEERPIX_TRANSPOSE = 6,         /* about the main diagonal: pixel (x, y) goes to (y, x) */
    VEERPIX_TRANSVERSE = 7,        /* about the anti-diagonal */
    VEERPIX_AUTO_ORIENT = 8,       /* upright by the EXIF Orientation, in the
                                      pixels: veerpix_auto_orient (the same as
                                      VEERPIX_KEEP with VEERPIX_TURN_PIXELS) */
    VEERPIX_ANGLE = 9              /* any angle, from the options' angle and
                                      background: veerpix_angle */
};

/* The road a call took, written to *road. Bits above VEERPIX_ROAD_MASK are
 * notes about the road (VEERPIX_ROAD_TRIMMED, VEERPIX_ROAD_DROPPED_PICTURES;
 * later versions may add more): compare road & VEERPIX_ROAD_MASK,
 * and show a value you do not know as another road. */
enum {
    VEERPIX_ROAD_NONE = 0,         /* the call failed: nothing was written */
    VEERPIX_ROAD_COPY = 1,         /* the input copied byte for byte */
    VEERPIX_ROAD_TAG = 2,          /* a JPEG whose EXIF Orientation value alone
                                      was rewritten (lossless) */
    VEERPIX_ROAD_REENCODE = 3,     /* decoded, transformed and encoded again */
    VEERPIX_ROAD_COEFFICIENTS = 4, /* a JPEG turned in its DCT coefficients
                                      (lossless), asked with
                                      veerpix_options.lossless */
    VEERPIX_ROAD_MASK = 0xFF,
    VEERPIX_ROAD_TRIMMED = 0x100,  /* note: partial edge blocks were dropped
                                      (VEERPIX_TRIM), of the main picture or
                                      of a secondary one */
    VEERPIX_ROAD_DROPPED_PICTURES = 0x200 /* note: not everything after the
                                      main picture was carried over: its
                                      secondary pictures (MPF) with their
                                      MPF segment, where one could not be
                                      turned, or bytes no index lists */
};

/* veerpix_options.flags */
#define VEERPIX_KEEP_METADATA 0x1u /* re-encoded JPEG and PNG results get the
    input's EXIF (every Orientation entry set to 1, the thumbnail unlinked),
    XMP (every tiff:Orientation set to 1), ICC profile and resolution, as
    veerpix_copy_metadata(input, output) after the call would give them, in
    the same single write (an in-place call copies nothing aside). A BMP on
    either side has no place for them: such a result is as without the
    flag. Copies, tag rewrites and the coefficient road keep everything
    anyway (the coefficient road sets the Orientation to 1). */
#define VEERPIX_TURN_PIXELS 0x2u   /* turn the pixels even where a tag
    rewrite could: a tagged JPEG into a JPEG is decoded, brought upright,
    transformed and encoded, and carries no Orientation (1 with
    VEERPIX_KEEP_METADATA). */
#define VEERPIX_TRIM 0x4u          /* on the coefficient road, drop the
    partial edge blocks (less than one MCU) of a side the transform needs
    whole, instead of declining it; the road then carries
    VEERPIX_ROAD_TRIMMED. Needs veerpix_options.lossless PREFER or REQUIRE:
    with VEERPIX_LOSSLESS_OFF the call is refused. */

/* veerpix_options.lossless: whether a JPEG into a JPEG whose road would
 * be re-encode is turned in its DCT coefficients instead. */
enum {
    VEERPIX_LOSSLESS_OFF = 0,      /* the roads below, never the coefficients */
    VEERPIX_LOSSLESS_PREFER = 1,   /* the coefficients where the file allows,
                                      else re-encode */
    VEERPIX_LOSSLESS_REQUIRE = 2   /* the coefficients, a copy or a tag
                                      rewrite, or fail with the reason; the
                                      output is then left as it was */
};

/* Options of veerpix_transform. Set `size` to sizeof(veerpix_options) and
 * every other field to 0 for the defaults, then change what you need:
 *     veerpix_options options;
 *     memset(&options, 0, sizeof options);
 *     options.size = sizeof options;
 *     options.flags = VEERPIX_KEEP_METADATA;
 * Later versions add fields at the end only, so a program built against
 * this header keeps working with them; a library older than the header a
 * program was built with refuses a record that sets a field it does not
 * know (any byte past its own record that is not 0). */
typedef struct veerpix_options {
    uint32_t size;         /* sizeof(veerpix_options), set by the caller */
    uint32_t flags;        /* VEERPIX_KEEP_METADATA | VEERPIX_TURN_PIXELS |
                              VEERPIX_TRIM */
    int32_t jpeg_quality;  /* 1..100 for re-encoded JPEG results; 0: 92 */
    int32_t lossless;      /* VEERPIX_LOSSLESS_OFF, _PREFER or _REQUIRE */
    float angle;           /* VEERPIX_ANGLE: degrees counter-clockwise, finite */
    int32_t background[3]; /* VEERPIX_ANGLE: red, green, blue of the uncovered
                              corners, each clamped to 0..255; 0: black */
} veerpix_options;

/* Reads `input`, applies `transform` (a VEERPIX_KEEP .. VEERPIX_ANGLE
 * value) to the picture as shown, and writes `output` once, atomically, as
 * the operations above do (same formats, limits and output rules).
 * `options` may be NULL for the defaults (all fields 0). `road`, where not
 * NULL, receives the VEERPIX_ROAD_* value of the road taken, or
 * VEERPIX_ROAD_NONE after a failure. Returns 1 on success, 0 on failure.
 *
 * The roads, in order:
 *   copy        VEERPIX_KEEP or VEERPIX_AUTO_ORIENT of a file that needs no
 *               change (not a JPEG, no Orientation, Orientation 1, or a
 *               tagged JPEG under VEERPIX_KEEP without VEERPIX_TURN_PIXELS)
 *               where the output path names its own format or none of ours
 *   tag         quarter turns and mirrors (values 1..7) of a JPEG whose EXIF
 *               Orientation is 1..8 into a JPEG, without VEERPIX_TURN_PIXELS:
 *               only that value changes
 *   coefficients  with veerpix_options.lossless, a JPEG into a JPEG that
 *               the tag road does not take (no Orientation, or
 *               VEERPIX_TURN_PIXELS, or VEERPIX_AUTO_ORIENT), but not
 *               VEERPIX_ANGLE: the stored picture brought upright and
 *               transformed in its DCT coefficients, decoding to exactly
 *               that picture. Segments before the frame are kept byte for
 *               byte but EXIF (every Orientation 1, thumbnail unlinked,
 *               PixelXDimension/PixelYDimension the result's sides) and
 *               XMP (tiff:Orientation 1). The secondary pictures that the
 *               main one's MPF index lists after it (an HDR photo's gain
 *               map, a stereo pair's other view) are turned the same way
 *               (with VEERPIX_TRIM too) and follow it; the index states
 *               their new sizes and offsets, and an XMP container
 *               directory's Item:Length their new lengths. Where one of
 *               them cannot be turned, or the index does not match the
 *               file, they are all left out with the MPF segment
 *               (VEERPIX_ROAD_DROPPED_PICTURES), as is anything after the
 *               main picture that no index lists. Progressive inputs come
 *               out baseline. Where a side the transform needs
 *               is not a whole number of MCUs (and no VEERPIX_TRIM), or the
 *               coding is not one the road reads (arithmetic, 12-bit,
 *               lossless), PREFER goes on to re-encode
 *   re-encode   everything else; the stored pixels are brought upright and
 *               transformed in one pass, VEERPIX_ANGLE then turns them
 *
 * Messages: those of the operations above (a refused angle as
 * veerpix_angle's), and:
 *   "options record has an unknown size (%u bytes)"   smaller than this
 *                          version's first record, or over 4096 bytes
 *   "options record sets options this library does not know (byte %u)"
 *                          a byte past this version's record is not 0
 *   "unknown transform (%d)"
 *   "unknown options flags (0x%x)"
 *   "JPEG quality must be 1..100 (got %d)"
 *   "unknown lossless choice (%d)"
 *   "trim needs a lossless choice (lossless is off)"   VEERPIX_TRIM with
 *                          VEERPIX_LOSSLESS_OFF
 * and with VEERPIX_LOSSLESS_REQUIRE, where the road would re-encode:
 *   "lossless turn needs a JPEG input and a JPEG output: %s"
 *   "lossless turn cannot turn by any angle"
 *   "lossless turn needs a width that is a multiple of %u (got %u); use trim"
 *   "lossless turn needs a height that is a multiple of %u (got %u); use trim"
 *   "lossless turn cannot read this JPEG (%s): %s"    the reason, the path */
VEERPIX_API int veerpix_transform(const char *input, const char *output, int transform,
                                  const veerpix_options *options, int *road);

#ifdef __cplusplus
}
#endif

#endif /* QUORVANE_VEERPIX_H */
