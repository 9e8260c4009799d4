#!/usr/bin/python3
"""Writes the fuzz targets' seed files: small images of every kind the
library reads, and JPEGs whose Exif blocks look like a camera's.

usage: make_corpus.py OUTDIR
       make_corpus.py --decoder-cases OUTDIR   the files of decoder_case_seeds
                                               alone (tests/data/decoder-cases)
  OUTDIR/images      plain image files (decode)
  OUTDIR/exif        JPEGs and Exif skeletons (reader, rewriter)
  OUTDIR/operations  image files behind the six-byte header that
                     fuzz_operations reads (operation, output, parameters)
  OUTDIR/metadata    JPEGs and PNGs with colour profiles, resolution, EXIF
                     and XMP (metadata reader and writers)
  OUTDIR/rasters     width, height, JPEG quality and transform bytes,
                     then RGBA pixels (writers)
  OUTDIR/coefficients  a byte of options, then a JPEG of each kind the
                     coefficient reader takes, and photos with a gain map
                     after them (coefficient road)
  OUTDIR/jpegs       JPEGs of every kind, plain (the decoder against the codec)
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from PIL import Image

SHORT, LONG, RATIONAL, ASCII, UNDEFINED = 3, 4, 5, 2, 7


def picture(width, height, mode="RGB"):
    image = Image.new("RGBA", (width, height))
    for y in range(height):
        for x in range(width):
            image.putpixel((x, y), ((x * 37 + 11) % 256, (y * 53 + 7) % 256,
                                    (x * 13 + y * 29) * 3 % 256, (64 + 8 * (x + y)) % 256))
    return image.convert(mode) if mode != "RGBA" else image


def saved(image, **options):
    out = io.BytesIO()
    image.save(out, **options)
    return out.getvalue()


# --- Exif blocks -----------------------------------------------------------

def pack_number(big_endian, size, value):
    order = ">" if big_endian else "<"
    return struct.pack(order + {1: "B", 2: "H", 4: "I"}[size], value)


TYPE_SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 4, 7: 1}


def entry_payload(big_endian, kind, numbers):
    size = TYPE_SIZES[kind]
    return b"".join(pack_number(big_endian, size, n) for n in numbers)


def directory(big_endian, start, entries, next_offset, extra_after=b""):
    """An IFD at `start` (from the TIFF header) with its outside values
    right behind it. Entries: (tag, type, count, payload bytes)."""
    order = ">" if big_endian else "<"
    outside_at = start + 2 + 12 * len(entries) + 4
    table, outside = b"", b""
    for tag, kind, count, payload in entries:
        if len(payload) > 4:
            field = struct.pack(order + "I", outside_at + len(outside))
            outside += payload
        else:
            field = payload.ljust(4, b"\0")
        table += struct.pack(order + "HHI", tag, kind, count) + field
    return struct.pack(order + "H", len(entries)) + table + struct.pack(order + "I", next_offset) + outside


def entry(big_endian, tag, kind, numbers, count=None):
    payload = entry_payload(big_endian, kind, numbers)
    count = len(numbers) // (2 if kind == RATIONAL else 1) if count is None else count
    return (tag, kind, count, payload)


def text(big_endian, tag, value):
    return (tag, ASCII, len(value) + 1, value.encode() + b"\0")


def directory_size(entries):
    return 2 + 12 * len(entries) + 4 + sum(len(p) for _, _, _, p in entries if len(p) > 4)


def tiff_block(big_endian, orientation=1, orientation_type=SHORT, sub_directories=True,
               thumbnail=None, strips=None, strip_type=LONG, duplicate=False):
    """TIFF data: IFD0 with a camera's entries, Exif (with Interop) and GPS
    sub-directories, IFD1 with a JPEG thumbnail or uncompressed strips."""
    be = big_endian
    order = ">" if be else "<"

    def ifd0_entries(exif_at, gps_at):
        entries = [text(be, 0x010F, "Quorvane"), text(be, 0x0110, "Veerpix Model 7")]
        if orientation is not None:
            entries.append(entry(be, 0x0112, orientation_type, [orientation]))
        if duplicate:
            entries.append(entry(be, 0x0112, SHORT, [3]))
        entries += [entry(be, 0x011A, RATIONAL, [72, 1]), entry(be, 0x011B, RATIONAL, [72, 1]),
                    entry(be, 0x0128, SHORT, [2]), text(be, 0x0131, "make_corpus 1.0"),
                    text(be, 0x0132, "2024:05:06 07:08:09"), entry(be, 0x0213, SHORT, [1])]
        if sub_directories:
            entries += [entry(be, 0x8769, LONG, [exif_at]), entry(be, 0x8825, LONG, [gps_at])]
        return entries

    def exif_entries(interop_at):
        return [entry(be, 0x829A, RATIONAL, [1, 125]), entry(be, 0x829D, RATIONAL, [28, 10]),
                entry(be, 0x8827, SHORT, [200]), (0x9000, UNDEFINED, 4, b"0232"),
                text(be, 0x9003, "2024:05:06 07:08:09"), entry(be, 0xA002, LONG, [640]),
                entry(be, 0xA003, LONG, [480]), entry(be, 0xA005, LONG, [interop_at])]

    interop = [text(be, 0x0001, "R98"), (0x0002, UNDEFINED, 4, b"0100")]
    gps = [(0x0000, 1, 4, bytes([2, 3, 0, 0])), text(be, 0x0001, "N"),
           entry(be, 0x0002, RATIONAL, [52, 1, 31, 1, 1234, 100]), text(be, 0x0003, "E"),
           entry(be, 0x0004, RATIONAL, [13, 1, 24, 1, 5678, 100])]

    def ifd1_entries(data_at):
        entries = [entry(be, 0x0100, LONG, [8]), entry(be, 0x0101, LONG, [8]),
                   entry(be, 0x0103, SHORT, [6 if thumbnail else 1])]
        if thumbnail:
            entries += [entry(be, 0x0201, LONG, [data_at]), entry(be, 0x0202, LONG, [len(thumbnail)])]
        if strips:
            starts, at = [], data_at
            for strip in strips:
                starts.append(at)
                at += len(strip)
            entries += [entry(be, 0x0111, strip_type, starts), entry(be, 0x0117, LONG, [len(s) for s in strips])]
            entries.sort(key=lambda e: e[0])
        return entries

    has_ifd1 = bool(thumbnail or strips)
    images = thumbnail or b"".join(strips or [])
    # Sizes do not depend on the offsets' values, so lay out with zeros first.
    at = 8
    ifd0_at = at
    at += directory_size(ifd0_entries(0, 0))
    exif_at = at
    if sub_directories:
        at += directory_size(exif_entries(0))
    interop_at = at
    if sub_directories:
        at += directory_size(interop)
    gps_at = at
    if sub_directories:
        at += directory_size(gps)
    ifd1_at = at
    if has_ifd1:
        at += directory_size(ifd1_entries(0))
    data_at = at

    out = (b"MM" if be else b"II") + struct.pack(order + "HI", 42, ifd0_at)
    out += directory(be, ifd0_at, ifd0_entries(exif_at, gps_at), ifd1_at if has_ifd1 else 0)
    if sub_directories:
        out += directory(be, exif_at, exif_entries(interop_at), 0)
        out += directory(be, interop_at, interop, 0)
        out += directory(be, gps_at, gps, 0)
    if has_ifd1:
        out += directory(be, ifd1_at, ifd1_entries(data_at), 0)
        out += images
    return out


def app1(tiff):
    return b"\xff\xe1" + struct.pack(">H", 2 + 6 + len(tiff)) + b"Exif\0\0" + tiff


def with_segment(jpeg, segment):
    """The JPEG with `segment` right after its SOI marker."""
    return jpeg[:2] + segment + jpeg[2:]


SKELETON = (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
            b"\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00\x12\x34\xff\x00\x56\xff\xd9")


# --- Bitmaps -------------------------------------------------------------

def bmp32(image, bitfields):
    """A 32-bit BMP, bottom-up, plain or with BITFIELDS masks in a V4 header."""
    width, height = image.size
    rows = b""
    for y in reversed(range(height)):
        for x in range(width):
            r, g, b, a = image.getpixel((x, y))
            rows += bytes([b, g, r, a])
    if bitfields:
        header = struct.pack("<IiiHHIIiiII", 108, width, height, 1, 32, 3, len(rows), 2835, 2835, 0, 0)
        header += struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
        header += b"BGRs" + b"\0" * 36 + b"\0" * 12
    else:
        header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 32, 0, len(rows), 2835, 2835, 0, 0)
    offset = 14 + len(header)
    return b"BM" + struct.pack("<IHHI", offset + len(rows), 0, 0, offset) + header + rows


# OS/2 1.x bitmaps (12-byte core header, 3-byte palette entries) and
# palettes shorter than the pixels index: kinds that real files show and
# that a decoder must not read short.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def bmp_rows(pixels, bits):
    """Rows bottom-up, each padded to four bytes; `pixels` is a list of rows
    top-down of palette indices, or of (r, g, b) at 24 bits."""
    out = b""
    for row in reversed(pixels):
        if bits == 24:
            data = b"".join(bytes([b, g, r]) for r, g, b in row)
        else:
            per_byte = 8 // bits
            data = bytearray((len(row) + per_byte - 1) // per_byte)
            for x, index in enumerate(row):
                data[x // per_byte] |= index << (8 - bits * (x % per_byte + 1))
            data = bytes(data)
        out += data + b"\0" * (-len(data) % 4)
    return out


def bmp_paletted(pixels, bits, palette, core, data_offset=None, colours_used=0):
    """A bottom-up BMP with a core (OS/2 1.x) or a 40-byte header; the
    palette as given, however long. `data_offset` overrides the file
    header's pixel offset (0 is what some old writers left there)."""
    width, height = len(pixels[0]), len(pixels)
    if core:
        header = struct.pack("<IHHHH", 12, width, height, 1, bits)
        entries = b"".join(bytes([b, g, r]) for r, g, b in palette)
    else:
        header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, 0, 2835, 2835, colours_used, 0)
        entries = b"".join(bytes([b, g, r, 0]) for r, g, b in palette)
    rows = bmp_rows(pixels, bits)
    offset = 14 + len(header) + len(entries)
    stated = offset if data_offset is None else data_offset
    return b"BM" + struct.pack("<IHHI", offset + len(rows), 0, 0, stated) + header + entries + rows


def card_pixels():
    """A 58 x 79 playing card in the 16 VGA colours: white face, black
    border, a red corner mark, and a club in the middle drawn with every
    colour of the palette around it."""
    width, height = 58, 79
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            index = 15
            if x in (0, width - 1) or y in (0, height - 1):
                index = 0
            elif 3 <= x <= 8 and 3 <= y <= 12:
                index = 9 if (x + y) % 3 else 4
            elif (x - 29) ** 2 + (y - 32) ** 2 <= 64 or (x - 22) ** 2 + (y - 42) ** 2 <= 64 or \
                    (x - 36) ** 2 + (y - 42) ** 2 <= 64 or (27 <= x <= 31 and 40 <= y <= 58):
                index = 0
            elif 12 <= y <= 66 and 10 <= x <= 47 and (x + 2 * y) % 11 == 0:
                index = (x * 7 + y) % 16
            row.append(index)
        rows.append(row)
    return rows


def index_ramp(width, height, count):
    return [[(x + y * width) % count for x in range(width)] for y in range(height)]


def ramp_palette(count):
    return [((i * 53) % 256, (i * 101 + 17) % 256, (255 - i * 7) % 256) for i in range(count)]


def bmp_seeds():
    """Bitmaps the decoder once read short: each OS/2 1.x depth, a pixel
    offset of 0, a palette of 252 entries in a core header, and indices
    past a palette of 101 entries."""
    rgb_rows = [[((x * 37) % 256, (y * 53) % 256, (x * y * 11) % 256) for x in range(7)] for y in range(5)]
    return {
        "os2-card-4bit.bmp": bmp_paletted(card_pixels(), 4, VGA, core=True),
        "os2-4bit-offset-0.bmp": bmp_paletted(index_ramp(9, 6, 16), 4, VGA, core=True, data_offset=0),
        "os2-1bit.bmp": bmp_paletted(index_ramp(13, 5, 2), 1, [(200, 30, 40), (20, 90, 230)], core=True),
        "os2-8bit.bmp": bmp_paletted(index_ramp(20, 13, 256), 8, ramp_palette(256), core=True),
        "os2-8bit-small-palette.bmp": bmp_paletted(index_ramp(18, 14, 252), 8, ramp_palette(252), core=True),
        "os2-24bit.bmp": bmp_paletted(rgb_rows, 24, [], core=True),
        "pal8-bad-index.bmp": bmp_paletted(index_ramp(16, 16, 256), 8, ramp_palette(101), core=False,
                                           colours_used=101),
        "pal4-bad-index-os2.bmp": bmp_paletted(index_ramp(8, 4, 16), 4, VGA[:10], core=True),
    }


def palette_png_short(width, height, entries):
    """An 8-bit paletted PNG whose pixels index past its PLTE's entries."""
    import zlib
    rows = b"".join(b"\0" + bytes((x * 16 + y * 3) % 256 for x in range(width)) for y in range(height))
    palette = b"".join(bytes(colour) for colour in ramp_palette(entries))
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0)) +
            png_chunk(b"PLTE", palette) + png_chunk(b"IDAT", zlib.compress(rows)) + png_chunk(b"IEND", b""))


def progressive_without_chroma_dc(jpeg):
    """The progressive JPEG with its first scan (the DC of every component)
    cut down to the first component: no scan then sets the DC of the
    others, and their coefficients stay as the decoder's memory held them."""
    scan = jpeg.find(b"\xff\xda")
    length = struct.unpack(">H", jpeg[scan + 2:scan + 4])[0]
    header = jpeg[scan + 4:scan + 2 + length]
    count = header[0]
    cut = bytes([1]) + header[1:3] + header[1 + 2 * count:]
    return jpeg[:scan] + b"\xff\xda" + struct.pack(">H", 2 + len(cut)) + cut + jpeg[scan + 2 + length:]


def decoder_case_seeds():
    """Files whose pixels the decoder once built partly from memory it
    never wrote: the bitmaps above, a PNG indexing past its palette, a
    progressive JPEG whose colour components get no DC scan."""
    seeds = bmp_seeds()
    seeds["palette-past-plte.png"] = palette_png_short(16, 4, 4)
    seeds["progressive-no-chroma-dc.jpg"] = progressive_without_chroma_dc(
        saved(picture(21, 17), format="JPEG", quality=80, progressive=True))
    return seeds


# --- The sets ---------------------------------------------------------------

def image_seeds():
    rgb, rgba = picture(13, 9), picture(13, 9, "RGBA")
    grey = picture(11, 7, "L")
    seeds = {
        "baseline-444.jpg": saved(rgb, format="JPEG", quality=80, subsampling=0),
        "baseline-422.jpg": saved(picture(17, 9), format="JPEG", quality=80, subsampling=1),
        "baseline-420.jpg": saved(picture(19, 18), format="JPEG", quality=80, subsampling=2),
        "progressive-420.jpg": saved(picture(21, 17), format="JPEG", quality=80, progressive=True),
        "progressive-444.jpg": saved(rgb, format="JPEG", quality=90, progressive=True, subsampling=0),
        "grey.jpg": saved(grey, format="JPEG", quality=80),
        "cmyk.jpg": saved(picture(8, 8, "CMYK"), format="JPEG", quality=80),
        "rgb.png": saved(rgb, format="PNG"),
        "rgba.png": saved(rgba, format="PNG"),
        "grey.png": saved(grey, format="PNG"),
        "grey-alpha.png": saved(picture(6, 5, "LA"), format="PNG"),
        "palette.png": saved(rgb.quantize(16), format="PNG"),
        "palette-2bit.png": saved(rgb.quantize(4), format="PNG", bits=2),
        "bilevel.png": saved(picture(9, 4, "1"), format="PNG"),
        "grey16.png": saved(picture(5, 4, "I").point(lambda v: v * 200), format="PNG"),
        "rgb24.bmp": saved(rgb, format="BMP"),
        "palette8.bmp": saved(rgb.quantize(16), format="BMP"),
        "bilevel.bmp": saved(picture(9, 4, "1"), format="BMP"),
        "rgba32.bmp": bmp32(rgba, bitfields=False),
        "rgba32-bitfields.bmp": bmp32(rgba, bitfields=True),
    }
    seeds.update(decoder_case_seeds())
    thumbnail = saved(picture(8, 8), format="JPEG", quality=50)
    base = seeds["baseline-420.jpg"]
    for big_endian, name in ((False, "ii"), (True, "mm")):
        for value in (1, 3, 6, 8):
            seeds[f"tagged-{name}-{value}.jpg"] = with_segment(
                base, app1(tiff_block(big_endian, value, thumbnail=thumbnail)))
        seeds[f"tagged-{name}-progressive-5.jpg"] = with_segment(
            seeds["progressive-420.jpg"], app1(tiff_block(big_endian, 5)))
    return seeds


def exif_seeds(images):
    seeds = {name: data for name, data in images.items() if name.startswith("tagged-")}
    thumbnail = saved(picture(8, 8), format="JPEG", quality=50)
    strips = [bytes(range(i, i + 24)) for i in (0, 50, 100)]
    for big_endian, name in ((False, "ii"), (True, "mm")):
        variants = {
            "full": tiff_block(big_endian, 6, thumbnail=thumbnail),
            "strips-long": tiff_block(big_endian, 2, strips=strips),
            "strips-short": tiff_block(big_endian, 7, strips=strips, strip_type=SHORT),
            "no-orientation": tiff_block(big_endian, None, thumbnail=thumbnail),
            "orientation-long": tiff_block(big_endian, 6, orientation_type=LONG),
            "duplicate": tiff_block(big_endian, 4, duplicate=True),
            "ifd0-only": tiff_block(big_endian, 8, sub_directories=False),
        }
        for variant, tiff in variants.items():
            seeds[f"skeleton-{name}-{variant}"] = with_segment(SKELETON, app1(tiff))
        # An XMP segment in front of the Exif one.
        xmp = b"http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"
        seeds[f"skeleton-{name}-after-xmp"] = with_segment(
            with_segment(SKELETON, app1(variants["full"])),
            b"\xff\xe1" + struct.pack(">H", 2 + len(xmp)) + xmp)
    return seeds


def operation_seeds(images):
    """Each image behind a few headers: operation, output kind, and four
    parameter bytes (degrees choice, or the angle as a float)."""
    seeds = {}
    for index, (name, data) in enumerate(sorted(images.items())):
        for operation in range(5):
            output_kind = (index + operation) % 5
            parameters = struct.pack("<f", 12.5 + 7 * operation) if operation == 3 else bytes([operation, 0, 0, 0])
            seeds[f"{name}.op{operation}"] = bytes([operation, output_kind]) + parameters + data
    return seeds


def small_profile(colour_space=b"RGB "):
    """A minimal ICC profile: a sound header and an empty tag table."""
    header = struct.pack(">I", 132) + b"\0" * 12 + colour_space + b"XYZ " + b"\0" * 12 + b"acsp"
    return header.ljust(128, b"\0") + struct.pack(">I", 0)


def icc_segments(profile, part_size):
    parts = [profile[i:i + part_size] for i in range(0, len(profile), part_size)]
    return b"".join(b"\xff\xe2" + struct.pack(">H", 2 + 14 + len(part)) + b"ICC_PROFILE\0" +
                    bytes([number, len(parts)]) + part for number, part in enumerate(parts, 1))


def png_chunk(kind, data):
    import zlib
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def metadata_seeds(images):
    from PIL import PngImagePlugin
    rgb = picture(13, 9)
    profile = small_profile() + bytes(range(256)) * 3
    profile = struct.pack(">I", len(profile)) + profile[4:]
    tiff = tiff_block(False, 6, thumbnail=saved(picture(8, 8), format="JPEG", quality=50))
    xmp = (b"<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF><rdf:Description tiff:Orientation=\"6\"/>"
           b"<tiff:Orientation>8</tiff:Orientation></rdf:RDF></x:xmpmeta>")
    xmp_app1 = b"\xff\xe1" + struct.pack(">H", 2 + 29 + len(xmp)) + b"http://ns.adobe.com/xap/1.0/\0" + xmp
    jpeg = saved(rgb, format="JPEG", quality=80, dpi=(300, 300))
    app0_end = 4 + struct.unpack(">H", jpeg[4:6])[0]
    seeds = {
        "icc-one.jpg": saved(rgb, format="JPEG", quality=80, icc_profile=profile),
        "icc-three.jpg": jpeg[:app0_end] + icc_segments(profile, 300) + jpeg[app0_end:],
        "icc-grey.jpg": saved(picture(8, 8, "L"), format="JPEG", icc_profile=small_profile(b"GRAY")),
        "all.jpg": jpeg[:app0_end] + app1(tiff) + xmp_app1 + icc_segments(profile, 65519) + jpeg[app0_end:],
        "icc.png": saved(rgb, format="PNG", icc_profile=profile, dpi=(300, 300)),
        "dpi.bmp": saved(rgb, format="BMP", dpi=(300, 300)),
    }
    png = saved(rgb, format="PNG")
    info = PngImagePlugin.PngInfo()
    info.add_itxt("XML:com.adobe.xmp", xmp.decode(), zip=True)
    seeds["xmp-compressed.png"] = saved(rgb, format="PNG", pnginfo=info)
    seeds["all.png"] = (png[:33] + png_chunk(b"eXIf", tiff) +
                        png_chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + xmp) + png[33:])
    return seeds


def raster_seeds():
    """Sides in the first two bytes, the JPEG quality (a signed byte) in the
    third, the transform the writers read through in the fourth, then
    pixels: flat, a ramp, noise, and odd sides that leave partial blocks
    and 16x16 squares at the edges; qualities on both sides of 90, where
    the chroma starts to be averaged, and at the ends."""
    seeds = {}
    sizes = ((1, 1), (8, 8), (9, 17), (33, 5), (64, 64))
    qualities = (92, 90, 1, 100, 50)
    transforms = (0, 1, 3, 6, 4)
    for (width, height), quality, transform in zip(sizes, qualities, transforms):
        count = width * height * 4
        ramp = bytes((i * 7) % 256 for i in range(count))
        noise = bytes((i * 2654435761 >> 13) % 256 for i in range(count))
        head = bytes([width - 1, height - 1, quality, transform])
        seeds[f"flat-{width}x{height}-q{quality}"] = head + bytes([200, 40, 90, 255])
        seeds[f"ramp-{width}x{height}-q{quality}"] = head + ramp
        seeds[f"noise-{width}x{height}-q{quality}"] = head + noise
    return seeds


def cjpeg_seeds():
    """Kinds Pillow does not write: restart intervals, 4:4:0, and those in a
    progressive file; made by cjpeg where it is installed."""
    if not shutil.which("cjpeg"):
        return {}
    kinds = {
        "restarts-420.jpg": ["-sample", "2x2", "-restart", "1B"],
        "restarts-progressive-422.jpg": ["-sample", "2x1", "-progressive", "-restart", "2B"],
        "baseline-440.jpg": ["-sample", "1x2"],
        "restarts-grey.jpg": ["-grayscale", "-restart", "3B"],
    }
    seeds = {}
    with tempfile.TemporaryDirectory() as folder:
        ppm = os.path.join(folder, "in.ppm")
        picture(23, 19).save(ppm)
        for name, options in kinds.items():
            seeds[name] = subprocess.run(["cjpeg", "-quality", "85"] + options + [ppm],
                                         check=True, capture_output=True).stdout
    return seeds


def jpeg_segment(code, payload):
    return bytes([0xFF, code]) + struct.pack(">H", len(payload) + 2) + payload


def mpf_segment(big_endian, entries):
    """An MPF index IFD (version, number of pictures, entries after it);
    each entry an (attribute, size, offset) triple."""
    order = ">" if big_endian else "<"
    list_at = 8 + 2 + 3 * 12 + 4
    tiff = (b"MM\0*" if big_endian else b"II*\0") + struct.pack(order + "I", 8)
    tiff += struct.pack(order + "H", 3)
    tiff += struct.pack(order + "HHI", 0xB000, UNDEFINED, 4) + b"0100"
    tiff += struct.pack(order + "HHII", 0xB001, LONG, 1, len(entries))
    tiff += struct.pack(order + "HHII", 0xB002, UNDEFINED, 16 * len(entries), list_at)
    tiff += struct.pack(order + "I", 0)
    for attribute, size, offset in entries:
        tiff += struct.pack(order + "IIIHH", attribute, size, offset, 0, 0)
    return jpeg_segment(0xE2, b"MPF\0" + tiff)


def mpf_seeds():
    """A photo with a grey gain map after it, as HDR photos carry one: the
    MPF index in either byte order and an XMP container directory."""
    primary = saved(picture(32, 16), format="JPEG", quality=90)
    gain_map = saved(picture(16, 8, "L"), format="JPEG", quality=90)
    directory = ('<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:Description hdrgm:Version="1.0"><Container:Directory>'
                 '<rdf:Seq><rdf:li><Container:Item Item:Semantic="Primary" Item:Mime="image/jpeg"/></rdf:li>'
                 '<rdf:li><Container:Item Item:Semantic="GainMap" Item:Mime="image/jpeg" Item:Length="%d"/></rdf:li>'
                 '</rdf:Seq></Container:Directory></rdf:Description></x:xmpmeta>' % len(gain_map))
    xmp = jpeg_segment(0xE1, b"http://ns.adobe.com/xap/1.0/\0" + directory.encode())
    seeds = {}
    for big_endian in (False, True):
        index_size = len(mpf_segment(big_endian, [(0, 0, 0)] * 2))
        primary_length = len(primary) + len(xmp) + index_size
        tiff_start = 2 + len(xmp) + 8
        index = mpf_segment(big_endian, [(0x20030000, primary_length, 0),
                                         (0, len(gain_map), primary_length - tiff_start)])
        name = "mpf-gain-map-%s.jpg" % ("MM" if big_endian else "II")
        seeds[name] = primary[:2] + xmp + index + primary[2:] + gain_map
    return seeds


def coefficient_seeds(images):
    """Each JPEG behind the options byte: trim off, trim on."""
    jpegs = {name: data for name, data in images.items() if name.endswith(".jpg") and "tagged" not in name}
    jpegs.update(cjpeg_seeds())
    jpegs.update(mpf_seeds())
    seeds = {}
    for name, data in sorted(jpegs.items()):
        seeds[f"{name}.keep"] = b"\0" + data
        seeds[f"{name}.trim"] = b"\1" + data
    return seeds


def decoder_seeds(coefficients):
    """The coefficient road's JPEGs without the options byte."""
    return {name[:-len(".keep")]: data[1:] for name, data in coefficients.items() if name.endswith(".keep")}


def write_set(folder, seeds):
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--decoder-cases":
        write_set(sys.argv[2], decoder_case_seeds())
        return
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    images = image_seeds()
    write_set(os.path.join(out, "images"), images)
    write_set(os.path.join(out, "exif"), exif_seeds(images))
    write_set(os.path.join(out, "operations"), operation_seeds(images))
    write_set(os.path.join(out, "metadata"), metadata_seeds(images))
    write_set(os.path.join(out, "rasters"), raster_seeds())
    coefficients = coefficient_seeds(images)
    write_set(os.path.join(out, "coefficients"), coefficients)
    write_set(os.path.join(out, "jpegs"), decoder_seeds(coefficients))


if __name__ == "__main__":
    main()
