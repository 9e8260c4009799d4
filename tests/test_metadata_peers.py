"""Metadata through the library, judged by peer tools: exiftool reads the
same date, camera, GPS position and profile description from a tagged
photo and from its upright copy in each of the eight orientations, the
copy reads Orientation 1, Pillow's exif_transpose leaves it as it is, and
copying the metadata kept the scan data that auto-orient wrote.

Run with VEERPIX_LIBRARY set to the library and python/ on PYTHONPATH.
Skipped, with the reason printed, where exiftool, Pillow or the free ICC
profiles (Debian: libimage-exiftool-perl, python3-pil, icc-profiles-free)
are missing.
"""

import json
import os
import struct
import shutil
import subprocess
import tempfile
import unittest

import veerpix

try:
    from PIL import Image, ImageChops, ImageOps
except ImportError:  # reported by the skip below
    Image = None

PROFILE = "/usr/share/color/icc/compatibleWithAdobeRGB1998.icc"
EXIFTOOL = shutil.which("exiftool")

MISSING = [reason for reason, missing in (
    ("exiftool (libimage-exiftool-perl)", EXIFTOOL is None),
    ("Pillow (python3-pil)", Image is None),
    (PROFILE + " (icc-profiles-free)", not os.path.exists(PROFILE)),
) if missing]
if MISSING:
    print("skipping the peer checks, missing: " + ", ".join(MISSING))

# The tags the judges compare between a photo and its upright copy, by the
# group exiftool finds them in.
KEPT = ("ExifIFD:DateTimeOriginal", "IFD0:Make", "IFD0:Model", "GPS:GPSLatitude",
        "GPS:GPSLongitude", "ICC_Profile:ProfileDescription", "IFD0:XResolution")

# What each Orientation value does to the upright picture to store it.
STORED = {1: [], 2: [Image.Transpose.FLIP_LEFT_RIGHT] if Image else [],
          3: [Image.Transpose.ROTATE_180] if Image else [],
          4: [Image.Transpose.FLIP_TOP_BOTTOM] if Image else [],
          5: [Image.Transpose.TRANSPOSE] if Image else [],
          6: [Image.Transpose.ROTATE_90] if Image else [],
          7: [Image.Transpose.TRANSVERSE] if Image else [],
          8: [Image.Transpose.ROTATE_270] if Image else []}


def exiftool(*arguments):
    return subprocess.run([EXIFTOOL, *arguments], check=True,
                          capture_output=True, text=True).stdout


def tags(*paths):
    """The compared tags, the orientation tags and IFD1 of each file, keyed
    by group:name; one exiftool run for all (each run costs a Perl start)."""
    found = json.loads(exiftool("-j", "-n", "-G1", "-a", *("-" + t for t in KEPT),
                                "-IFD0:Orientation", "-XMP-tiff:Orientation",
                                "-IFD1:all", *paths))
    return [{key: value for key, value in entry.items() if key != "SourceFile"}
            for entry in found]


def orientations(grouped):
    return grouped.get("IFD0:Orientation"), grouped.get("XMP-tiff:Orientation")


def block_colours(image):
    """The colour at the centre of each 16-pixel block."""
    rgb = image.convert("RGB")
    return [rgb.getpixel((x, y)) for y in range(8, rgb.height, 16) for x in range(8, rgb.width, 16)]


def close(first, second, tolerance=40):
    return len(first) == len(second) and all(
        abs(a - b) <= tolerance for p, q in zip(first, second) for a, b in zip(p, q))


def scan_data(path):
    """The bytes from the first SOS marker to the end."""
    with open(path, "rb") as file:
        data = file.read()
    pos = 2
    while data[pos] == 0xFF and data[pos + 1] != 0xDA:
        pos += 2 + int.from_bytes(data[pos + 2:pos + 4], "big")
    return data[pos:]


def upright_picture():
    """Large blocks of colour: positions survive JPEG's losses."""
    picture = Image.new("RGB", (64, 48))
    colours = [(230, 20, 20), (20, 200, 20), (20, 20, 230), (230, 230, 20),
               (20, 220, 220), (220, 20, 220)]
    for index, colour in enumerate(colours):
        x, y = index % 3 * 16, index // 3 * 16
        picture.paste(colour, (x, y, x + 16, y + 16))
    return picture


def orientation_entries(path):
    """Every Orientation exiftool finds, duplicates too, as (group, value)."""
    found = []
    for line in exiftool("-a", "-n", "-G1", "-s", "-Orientation", path).splitlines():
        group, _, value = line.partition("]")
        found.append((group.strip("[ "), int(value.split(":")[1])))
    return found


def tiff_with_orientations(entries, big_endian=False):
    """TIFF data whose IFD0 holds the given (type, value) Orientation
    entries, in order, besides Make; every value in its entry."""
    order = ">" if big_endian else "<"
    rows = [(0x010F, 2, 4, b"Qv\0\0")]
    for kind, value in entries:
        packed = struct.pack(order + "H", value) + b"\0\0" if kind == 3 else struct.pack(order + "I", value)
        rows.append((0x0112, kind, 1, packed))
    ifd = struct.pack(order + "H", len(rows))
    for tag, kind, count, packed in rows:
        ifd += struct.pack(order + "HHI", tag, kind, count) + packed
    return (b"MM" if big_endian else b"II") + struct.pack(order + "HI", 42, 8) + ifd + b"\0\0\0\0"


def app1(signature, payload):
    return b"\xff\xe1" + struct.pack(">H", 2 + len(signature) + len(payload)) + signature + payload


XMP_FORMS = {
    "attribute": "<rdf:Description rdf:about='' tiff:Orientation='6'/>",
    "element": "<rdf:Description rdf:about=''><tiff:Orientation>6</tiff:Orientation></rdf:Description>",
}


def xmp_packet(description):
    return ("<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
            "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#' "
            "xmlns:tiff='http://ns.adobe.com/tiff/1.0/'>" + description +
            "</rdf:RDF></x:xmpmeta><?xpacket end='w'?>").encode()


@unittest.skipIf(MISSING, "missing: " + ", ".join(MISSING))
class PeerJudges(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="veerpix-peers-")
        with open(PROFILE, "rb") as file:
            self.profile = file.read()

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def tagged_photo(self, orientation):
        """The upright picture stored as `orientation` says, with a
        camera's EXIF (a thumbnail too), XMP, a profile and 300 dpi."""
        stored = upright_picture()
        for step in STORED[orientation]:
            stored = stored.transpose(step)
        path = self.path(f"tagged-{orientation}.jpg")
        stored.save(path, quality=95, icc_profile=self.profile, dpi=(300, 300))
        thumbnail = self.path("thumbnail.jpg")
        stored.resize((16, 12)).save(thumbnail, quality=80)
        exiftool("-q", "-overwrite_original", f"-IFD0:Orientation#={orientation}",
                 f"-XMP-tiff:Orientation#={orientation}", "-Make=Quorvane",
                 "-Model=Veerpix One", "-DateTimeOriginal=2024:05:06 07:08:09",
                 "-GPSLatitude=52.5208", "-GPSLatitudeRef=N", "-GPSLongitude=13.4095",
                 "-GPSLongitudeRef=E", "-XResolution=300", "-YResolution=300",
                 "-ResolutionUnit=inches", f"-ThumbnailImage<={thumbnail}", path)
        return path

    def test_auto_orient_then_copy_metadata_in_every_orientation(self):
        for orientation in range(1, 9):
            with self.subTest(orientation=orientation):
                source = self.tagged_photo(orientation)
                result = self.path(f"upright-{orientation}.jpg")
                veerpix.auto_orient(source, result, strip=True)
                scan_written = scan_data(result)
                veerpix.copy_metadata(source, result)

                before, after = tags(source, result)
                for tag in KEPT:
                    self.assertIsNotNone(before.get(tag), tag)
                    self.assertEqual(after.get(tag), before.get(tag), tag)
                self.assertEqual(orientations(after), (1, 1), after)
                if orientation != 1:
                    self.assertTrue(any(k.startswith("IFD1:") for k in before), before)
                    self.assertFalse(any(k.startswith("IFD1:") for k in after), after)
                self.assertEqual(scan_data(result), scan_written)

                with Image.open(result) as image:
                    image.load()
                    transposed = ImageOps.exif_transpose(image)
                    self.assertEqual(transposed.size, image.size)
                    self.assertIsNone(ImageChops.difference(
                        transposed.convert("RGB"), image.convert("RGB")).getbbox())
                    self.assertEqual(image.size, (64, 48))
                    self.assertTrue(close(block_colours(image), block_colours(upright_picture())))
                    self.assertEqual(image.info.get("icc_profile"), self.profile)
                    self.assertEqual(tuple(round(v) for v in image.info["dpi"]), (300, 300))

    def test_png_results_carry_the_same_metadata(self):
        for orientation in (3, 6, 8):
            with self.subTest(orientation=orientation):
                source = self.tagged_photo(orientation)
                result = self.path(f"upright-{orientation}.png")
                veerpix.auto_orient(source, result)  # keeps the metadata by default
                before, after = tags(source, result)
                for tag in KEPT:
                    self.assertEqual(after.get(tag), before.get(tag), tag)
                self.assertEqual(orientations(after), (1, 1), after)
                with Image.open(result) as image:
                    self.assertEqual(image.format, "PNG")
                    self.assertEqual(image.info.get("icc_profile"), self.profile)
                    self.assertEqual(tuple(round(v) for v in image.info["dpi"]), (300, 300))
                    self.assertEqual(ImageOps.exif_transpose(image).size, image.size)

    def test_lossless_turn_keeps_its_orientation_under_copy_metadata(self):
        source = self.tagged_photo(6)
        result = self.path("turned.jpg")
        # Lossless: the stored value 6 becomes 8, and must stay 8 whatever
        # copies the metadata afterwards (the module itself does by default).
        veerpix.rotate(source, result, 180)
        with open(result, "rb") as file:
            turned = file.read()
        veerpix.copy_metadata(source, result)
        with open(result, "rb") as file:
            self.assertEqual(file.read(), turned)
        # The lossless road changes EXIF's value alone; XMP keeps the old one.
        self.assertEqual(orientations(tags(result)[0])[0], 8)

    def hand_tagged_photo(self, name, segments):
        """The upright picture stored turned as Orientation 6 says, with
        hand-built APP1 segments right after SOI."""
        stored = upright_picture()
        for step in STORED[6]:
            stored = stored.transpose(step)
        stored.save(self.path(name), quality=95)
        with open(self.path(name), "rb") as file:
            data = file.read()
        with open(self.path(name), "wb") as file:
            file.write(data[:2] + b"".join(segments) + data[2:])
        return self.path(name)

    def assert_upright_for_everyone(self, result):
        """Every peer and the library itself take the result as upright."""
        for group, value in orientation_entries(result):
            self.assertEqual(value, 1, group)
        with Image.open(result) as image:
            self.assertEqual(image.getexif().get(0x0112), 1)
            self.assertEqual(image.size, (64, 48))
            self.assertTrue(close(block_colours(image), block_colours(upright_picture())))
        again = result + ".again.jpg"
        veerpix.auto_orient(result, again)
        with open(result, "rb") as first, open(again, "rb") as second:
            self.assertEqual(first.read(), second.read(), "a copy, not a second turn")

    def test_every_stale_orientation_form_reads_1_on_the_upright_result(self):
        exif_forms = {
            "LONG 6 then SHORT 6": [(4, 6), (3, 6)],
            "SHORT 6 twice": [(3, 6), (3, 6)],
            "SHORT 6 then LONG 6": [(3, 6), (4, 6)],
        }
        for label, entries in exif_forms.items():
            for big_endian in (False, True):
                with self.subTest(form=label, big_endian=big_endian):
                    exif = app1(b"Exif\0\0", tiff_with_orientations(entries, big_endian))
                    source = self.hand_tagged_photo("stale.jpg", [exif])
                    self.assertEqual([value for _, value in orientation_entries(source)],
                                     [value for _, value in entries])
                    result = self.path("stale-upright.jpg")
                    veerpix.auto_orient(source, result)
                    self.assertEqual(len(orientation_entries(result)), len(entries))
                    self.assert_upright_for_everyone(result)
        for label, description in XMP_FORMS.items():
            with self.subTest(form="XMP " + label):
                exif = app1(b"Exif\0\0", tiff_with_orientations([(3, 6)]))
                xmp = app1(b"http://ns.adobe.com/xap/1.0/\0", xmp_packet(description))
                source = self.hand_tagged_photo("stale.jpg", [exif, xmp])
                self.assertIn(("XMP-tiff", 6), orientation_entries(source))
                result = self.path("stale-upright.jpg")
                veerpix.auto_orient(source, result)
                self.assertIn(("XMP-tiff", 1), orientation_entries(result))
                self.assert_upright_for_everyone(result)

    def test_lossless_turn_writes_both_short_entries_of_a_compact_camera(self):
        # Two SHORT entries, both 1, as a compact camera writes them.
        exif = app1(b"Exif\0\0", tiff_with_orientations([(3, 1), (3, 1)]))
        source = self.hand_tagged_photo("compact.jpg", [exif])
        result = self.path("compact-turned.jpg")
        veerpix.rotate(source, result, 90)
        self.assertEqual(orientation_entries(result), [("IFD0", 8), ("IFD0", 8)])
        with Image.open(result) as image:
            self.assertEqual(image.getexif().get(0x0112), 8)


if __name__ == "__main__":
    unittest.main()
