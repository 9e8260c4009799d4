"""The Python module against the freshly built library.

Run with VEERPIX_LIBRARY set to the library and the module's folder on
PYTHONPATH; VEERPIX_MAKE_SAMPLE, the sample maker, enables the JPEG cases.
"""

import math
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

import veerpix

# Six distinct colours, two rows of three:  A B C
#                                           D E F
A, B, C = (255, 0, 0), (0, 255, 0), (0, 0, 255)
D, E, F = (10, 20, 30), (40, 50, 60), (70, 80, 90)
PICTURE = [[A, B, C], [D, E, F]]


def write_bmp(path, rows):
    """Writes an uncompressed 24-bit BMP, bottom row first."""
    width, height = len(rows[0]), len(rows)
    stride = (width * 3 + 3) // 4 * 4
    data = b""
    for row in reversed(rows):
        line = b"".join(bytes((b, g, r)) for r, g, b in row)
        data += line + b"\0" * (stride - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0,
                       len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as file:
        file.write(header + info + data)


def exif_orientation(jpeg):
    """IFD0's Orientation of the first Exif segment, or None."""
    at = jpeg.find(b"Exif\0\0")
    if at < 0:
        return None
    tiff = jpeg[at + 6:]
    order = "<" if tiff[:2] == b"II" else ">"
    ifd0, = struct.unpack_from(order + "I", tiff, 4)
    count, = struct.unpack_from(order + "H", tiff, ifd0)
    for index in range(count):
        tag, kind, _, value = struct.unpack_from(order + "HHIH", tiff, ifd0 + 2 + 12 * index)
        if tag == 0x0112:
            return value
    return None


def read_bmp(path):
    """The (r, g, b) rows, top first, of an uncompressed 24/32-bit BMP."""
    with open(path, "rb") as file:
        data = file.read()
    if data[:2] != b"BM":
        raise AssertionError(f"{path} is not a BMP")
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    bits, = struct.unpack_from("<H", data, 28)
    step = bits // 8
    stride = (width * step + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        row = abs(height) - 1 - y if height > 0 else y
        start = offset + row * stride
        rows.append([tuple(data[start + x * step + 2 - c] for c in range(3))
                     for x in range(width)])
    return rows


def png_size(path):
    with open(path, "rb") as file:
        data = file.read(24)
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError(f"{path} is not a PNG")
    return struct.unpack(">II", data[16:24])


def jpeg_size(path):
    """(width, height) from a JPEG's first start-of-frame segment."""
    with open(path, "rb") as file:
        data = file.read()
    at = 2
    while at + 9 < len(data):
        marker = data[at + 1]
        length, = struct.unpack_from(">H", data, at + 2)
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack_from(">HH", data, at + 5)
            return width, height
        at += 2 + length
    raise AssertionError(f"{path}: no frame header")


class FolderTestCase(unittest.TestCase):
    def setUp(self):
        temporary = tempfile.TemporaryDirectory(prefix="veerpix-python-")
        self.addCleanup(temporary.cleanup)
        self.folder = pathlib.Path(temporary.name)
        self.picture = self.folder / "picture.bmp"
        write_bmp(self.picture, PICTURE)


class OperationTest(FolderTestCase):
    def test_each_operation_moves_the_pixels_as_named(self):
        cases = [
            ("rotate 90", veerpix.rotate, (90,), [[C, F], [B, E], [A, D]]),
            ("rotate -90", veerpix.rotate, (-90,), [[D, A], [E, B], [F, C]]),
            ("rotate 270", veerpix.rotate, (270,), [[D, A], [E, B], [F, C]]),
            ("rotate 180", veerpix.rotate, (180,), [[F, E, D], [C, B, A]]),
            ("rotate 450", veerpix.rotate, (450,), [[C, F], [B, E], [A, D]]),
            ("flip_h", veerpix.flip_h, (), [[C, B, A], [F, E, D]]),
            ("flip_v", veerpix.flip_v, (), [[D, E, F], [A, B, C]]),
            ("angle 0", veerpix.angle, (0.0,), PICTURE),
        ]
        for label, operation, arguments, expected in cases:
            with self.subTest(label):
                output = self.folder / "out.bmp"
                self.assertIsNone(operation(self.picture, output, *arguments))
                self.assertEqual(read_bmp(output), expected)

    def test_paths_of_every_kind(self):
        class Custom:
            def __init__(self, path):
                self.path = path

            def __fspath__(self):
                return self.path

        names = {
            "str": lambda path: str(path),
            "bytes": lambda path: os.fsencode(path),
            "pathlib": lambda path: path,
            "os.PathLike": lambda path: Custom(str(path)),
        }
        for label, convert in names.items():
            with self.subTest(label):
                output = self.folder / f"out-{label}.png"
                veerpix.flip_h(convert(self.picture), convert(output))
                self.assertEqual(png_size(output), (3, 2))
        # A name outside ASCII goes through as the file system encodes it.
        unusual = self.folder / "bild-\u00fcber-\u00e9t\u00e9.bmp"
        shutil.copy(self.picture, unusual)
        veerpix.rotate(unusual, self.folder / "\u00fcber.png", 90)
        self.assertEqual(png_size(self.folder / "\u00fcber.png"), (2, 3))

    def test_angle_grows_the_canvas_and_fills_it_with_the_background(self):
        output = self.folder / "angled.bmp"
        veerpix.angle(self.picture, output, 45, background=(10, 200, 30))
        rows = read_bmp(output)
        self.assertGreater(len(rows), 2)
        self.assertGreater(len(rows[0]), 3)
        self.assertEqual(rows[0][0], (10, 200, 30))
        self.assertEqual(rows[-1][-1], (10, 200, 30))

    def test_background_parts_are_clamped_to_a_byte(self):
        output = self.folder / "angled.bmp"
        # 2**40 must clamp to 255, not wrap to a C int's low bits.
        veerpix.angle(self.picture, output, 45, background=(300, -5, 2 ** 40))
        self.assertEqual(read_bmp(output)[0][0], (255, 0, 255))

    def test_default_background_is_white(self):
        output = self.folder / "angled.bmp"
        veerpix.angle(self.picture, output, 30)
        self.assertEqual(read_bmp(output)[0][0], (255, 255, 255))

    def test_auto_orient_copies_a_file_without_orientation(self):
        output = self.folder / "copy.bmp"
        veerpix.auto_orient(self.picture, output)
        self.assertEqual(output.read_bytes(), self.picture.read_bytes())


@unittest.skipUnless(os.environ.get("VEERPIX_MAKE_SAMPLE"),
                     "VEERPIX_MAKE_SAMPLE (the sample maker) not set")
class SidewaysJpegTest(FolderTestCase):
    def setUp(self):
        super().setUp()
        self.sideways = self.folder / "sideways.jpg"
        subprocess.run([os.environ["VEERPIX_MAKE_SAMPLE"], str(self.sideways)],
                       check=True)

    def test_auto_orient_turns_the_pixels_upright_and_keeps_the_exif_upright(self):
        upright = self.folder / "upright.jpg"
        veerpix.auto_orient(self.sideways, upright)
        self.assertEqual(jpeg_size(self.sideways), (320, 240))
        self.assertEqual(jpeg_size(upright), (240, 320))
        self.assertEqual(exif_orientation(upright.read_bytes()), 1)

        # strip= is for re-encoded results; the coefficient road keeps all.
        stripped = self.folder / "stripped.jpg"
        veerpix.auto_orient(self.sideways, stripped, strip=True, lossless=None)
        self.assertEqual(jpeg_size(stripped), (240, 320))
        self.assertNotIn(b"Exif\0\0", stripped.read_bytes())

    def test_an_operation_in_place_keeps_the_metadata(self):
        # The decode road (a PNG output) reads the EXIF before replacing it.
        in_place = self.folder / "in-place.jpg"
        veerpix.auto_orient(self.sideways, in_place)
        veerpix.angle(in_place, in_place, 0.0)
        self.assertEqual(jpeg_size(in_place), (240, 320))
        self.assertEqual(exif_orientation(in_place.read_bytes()), 1)
        self.assertIn(b"Exif\0\0", in_place.read_bytes())
        self.assertEqual([p.name for p in self.folder.iterdir() if p.name.startswith(".")], [])

    def test_in_place_keeps_the_mode_and_a_failure_leaves_nothing_beside(self):
        photo = self.folder / "photo.jpg"
        shutil.copy(self.sideways, photo)
        photo.chmod(0o640)
        calls = [
            ("re-encoded", lambda: veerpix.angle(photo, photo, 0.0)),
            ("lossless", lambda: veerpix.rotate(photo, photo, 90)),
            ("stripped", lambda: veerpix.flip_h(photo, photo, strip=True)),
        ]
        old_umask = os.umask(0o022)
        try:
            for label, call in calls:
                with self.subTest(label):
                    before = photo.read_bytes()
                    call()
                    self.assertNotEqual(photo.read_bytes(), before)
                    self.assertEqual(photo.stat().st_mode & 0o7777, 0o640)
        finally:
            os.umask(old_umask)

        names = sorted(p.name for p in self.folder.iterdir())
        not_an_image = self.folder / "not-an-image.jpg"
        not_an_image.write_bytes(b"GIF89a\x01\x00\x01\x00")
        failures = [
            ("not an image", lambda: veerpix.flip_v(not_an_image, not_an_image)),
            ("degrees refused", lambda: veerpix.rotate(photo, photo, 45)),
        ]
        for label, call in failures:
            with self.subTest(label):
                before = photo.read_bytes()
                with self.assertRaises(veerpix.VeerpixError):
                    call()
                self.assertEqual(photo.read_bytes(), before)
                self.assertEqual(sorted(p.name for p in self.folder.iterdir()),
                                 sorted(names + ["not-an-image.jpg"]))

    def test_quarter_turn_of_a_tagged_jpeg_is_lossless(self):
        turned = self.folder / "turned.jpg"
        veerpix.rotate(self.sideways, turned, 90)
        before, after = self.sideways.read_bytes(), turned.read_bytes()
        self.assertEqual(len(after), len(before))
        self.assertEqual(sum(a != b for a, b in zip(before, after)), 1)


@unittest.skipUnless(os.environ.get("VEERPIX_MAKE_SAMPLE"),
                     "VEERPIX_MAKE_SAMPLE (the sample maker) not set")
class TransformTest(FolderTestCase):
    """veerpix.transform and the options every operation takes."""

    def setUp(self):
        super().setUp()
        self.sideways = self.folder / "sideways.jpg"
        subprocess.run([os.environ["VEERPIX_MAKE_SAMPLE"], str(self.sideways)],
                       check=True)

    def test_each_road_is_the_one_the_library_reports(self):
        cases = [
            ("a BMP kept", self.picture, "kept.bmp", veerpix.KEEP, {}, "copy"),
            ("a tagged JPEG turned", self.sideways, "turned.jpg",
             veerpix.TURN_90, {}, "lossless retag"),
            ("its pixels turned", self.sideways, "pixels.jpg",
             veerpix.TURN_90, {"pixels": True}, "lossless coefficients"),
            ("its pixels re-encoded", self.sideways, "reencoded.jpg",
             veerpix.TURN_90, {"pixels": True, "lossless": None}, "re-encode"),
            ("required and trimmed", self.sideways, "trimmed.jpg",
             veerpix.TURN_90, {"pixels": True, "lossless": "require",
                               "trim": True}, "lossless coefficients"),
            ("a BMP transposed", self.picture, "transposed.bmp",
             veerpix.TRANSPOSE, {}, "re-encode"),
        ]
        for label, source, name, change, options, road in cases:
            with self.subTest(label):
                output = self.folder / name
                self.assertEqual(
                    veerpix.transform(source, output, change, **options), road)
        self.assertEqual((self.folder / "kept.bmp").read_bytes(),
                         self.picture.read_bytes())
        self.assertEqual(read_bmp(self.folder / "transposed.bmp"),
                         [[A, D], [B, E], [C, F]])
        # Shown upright it is 240 x 320: a quarter turn of that, in pixels
        # that need no tag to be shown.
        self.assertEqual(jpeg_size(self.folder / "pixels.jpg"), (320, 240))
        self.assertEqual(
            exif_orientation((self.folder / "pixels.jpg").read_bytes()), 1)

    def test_lossless_required_fails_with_the_reason(self):
        output = self.folder / "never.png"
        with self.assertRaisesRegex(
                veerpix.VeerpixError,
                "lossless turn needs a JPEG input and a JPEG output"):
            veerpix.transform(self.picture, output, veerpix.TURN_90,
                              lossless="require")
        self.assertFalse(output.exists())
        with self.assertRaises(ValueError):
            veerpix.transform(self.sideways, self.folder / "x.jpg",
                              veerpix.TURN_90, lossless="always")

    def test_trim_without_a_lossless_choice_is_refused(self):
        # Trim acts on the lossless turn alone: asked with lossless off, the
        # call says so rather than ignoring it.
        output = self.folder / "never.jpg"
        calls = (
            ("transform", lambda: veerpix.transform(
                self.sideways, output, veerpix.TURN_90, pixels=True,
                lossless=None, trim=True)),
            ("auto_orient", lambda: veerpix.auto_orient(
                self.sideways, output, lossless=None, trim=True)),
        )
        for label, call in calls:
            with self.subTest(label):
                with self.assertRaisesRegex(
                        veerpix.VeerpixError,
                        r"trim needs a lossless choice \(lossless is off\)"):
                    call()
                self.assertFalse(output.exists())

    def test_metadata_kept_in_one_call_equals_the_copy_after_the_call(self):
        one_call = self.folder / "one.jpg"
        two_steps = self.folder / "two.jpg"
        # Both on the re-encode road, where the copy after the call applies.
        veerpix.auto_orient(self.sideways, one_call, lossless=None)
        veerpix.auto_orient(self.sideways, two_steps, strip=True, lossless=None)
        veerpix.copy_metadata(self.sideways, two_steps)
        self.assertEqual(one_call.read_bytes(), two_steps.read_bytes())
        self.assertEqual(exif_orientation(one_call.read_bytes()), 1)

    def test_quality_reaches_the_jpeg_encoder(self):
        sizes = {}
        for quality in (10, None, 100):
            output = self.folder / f"q{quality}.jpg"
            veerpix.auto_orient(self.sideways, output, quality=quality,
                                lossless=None)
            sizes[quality] = output.stat().st_size
        self.assertLess(sizes[10], sizes[None])
        self.assertLess(sizes[None], sizes[100])
        for quality in (0, 101):
            with self.subTest(quality=quality):
                self.assertRaises(ValueError, veerpix.auto_orient,
                                  self.sideways, self.folder / "x.jpg",
                                  quality=quality)
        self.assertFalse((self.folder / "x.jpg").exists())

    def test_preserve_times_gives_the_result_the_inputs_times(self):
        in_place = self.folder / "in-place.jpg"
        shutil.copy(self.sideways, in_place)
        old = 981173106_000000000  # 2001-02-03
        for source in (self.picture, in_place):
            os.utime(source, ns=(old, old))
        veerpix.flip_h(self.picture, self.folder / "kept.png",
                       preserve_times=True)
        veerpix.auto_orient(in_place, in_place, preserve_times=True)
        veerpix.flip_h(self.picture, self.folder / "new.png")
        self.assertEqual((self.folder / "kept.png").stat().st_mtime_ns, old)
        self.assertEqual(in_place.stat().st_mtime_ns, old)
        self.assertEqual(jpeg_size(in_place), (240, 320))
        self.assertNotEqual((self.folder / "new.png").stat().st_mtime_ns, old)


class FailureTest(FolderTestCase):
    def test_failures_raise_the_library_message(self):
        missing = self.folder / "gone-\u00e9.png"
        not_an_image = self.folder / "not-an-image.png"
        not_an_image.write_bytes(b"GIF89a\x01\x00\x01\x00")
        no_folder = self.folder / "no-such-folder" / "out.png"
        cases = [
            (lambda: veerpix.rotate(self.picture, self.folder / "x.png", 45),
             "degrees must be 90, 180 or 270 (got 45)"),
            (lambda: veerpix.rotate(missing, self.folder / "x.png", 90),
             f"cannot read input file: {missing}"),
            (lambda: veerpix.flip_h(not_an_image, self.folder / "x.png"),
             f"unsupported input format: {not_an_image}"),
            (lambda: veerpix.angle(self.picture, self.folder / "x.png",
                                   math.nan),
             "angle must be a finite number"),
            (lambda: veerpix.angle(self.picture, self.folder / "x.png",
                                   -math.inf),
             "angle must be a finite number"),
            (lambda: veerpix.flip_v(self.picture, no_folder),
             f"failed to write output: {no_folder}"),
        ]
        for call, message in cases:
            with self.subTest(message):
                # Any ordinary exception is caught here (a host's `except
                # Exception` sees it), so that the class check below decides.
                with self.assertRaises(Exception) as caught:
                    call()
                self.assertIsInstance(caught.exception, veerpix.VeerpixError)
                self.assertEqual(str(caught.exception), message)
                self.assertEqual(caught.exception.message, message)
        self.assertFalse((self.folder / "x.png").exists())

    def test_arguments_c_would_misread_are_refused_before_the_call(self):
        output = self.folder / "out.png"
        cases = [
            # The C side would stop at the NUL and write "out.png".
            (ValueError, lambda: veerpix.flip_h(self.picture,
                                                str(output) + "\0.txt")),
            (ValueError, lambda: veerpix.flip_h(str(self.picture) + "\0x",
                                                output)),
            # 2**32 + 90 would reach C as 90.
            (OverflowError, lambda: veerpix.rotate(self.picture, output,
                                                   2 ** 32 + 90)),
            (OverflowError, lambda: veerpix.angle(self.picture, output,
                                                  1e39)),
            (TypeError, lambda: veerpix.rotate(self.picture, output, 90.0)),
            (TypeError, lambda: veerpix.rotate(self.picture, output, "90")),
            (TypeError, lambda: veerpix.flip_v(None, output)),
        ]
        for error, call in cases:
            with self.subTest(error=error.__name__):
                self.assertRaises(error, call)
        self.assertFalse(output.exists())

    def test_each_thread_gets_its_own_message(self):
        # The library keeps one message for the whole process; the module
        # must not let another thread's call replace it before it is read.
        # Threads switch every microsecond here, so that without the
        # module's lock some message is read after another thread's call
        # (tens of times in 20,000 calls on two cores).
        wrong = []
        self.addCleanup(sys.setswitchinterval, sys.getswitchinterval())
        sys.setswitchinterval(1e-6)

        def work(degrees):
            expected = f"degrees must be 90, 180 or 270 (got {degrees})"
            for _ in range(5000):
                try:
                    veerpix.rotate(self.picture, self.folder / "x.png",
                                   degrees)
                except veerpix.VeerpixError as error:
                    if str(error) != expected:
                        wrong.append(str(error))
        threads = [threading.Thread(target=work, args=(degrees,))
                   for degrees in (1, 2, 3, 4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(wrong[:5], [])


class LoadingTest(FolderTestCase):
    def test_a_library_variable_that_does_not_load_is_an_error(self):
        path = str(self.folder / "libnothing.so")
        with self.assertRaises(OSError) as caught:
            veerpix.load_library({"VEERPIX_LIBRARY": path})
        self.assertIn(path, str(caught.exception))

    def test_the_library_next_to_the_module_is_found(self):
        beside = self.folder / "package"
        beside.mkdir()
        shutil.copy(veerpix.__file__, beside / "veerpix.py")
        library = os.environ["VEERPIX_LIBRARY"]
        name = ("quorvane-veerpix.dll" if sys.platform == "win32"
                else "libquorvane-veerpix.so.0")
        shutil.copy(library, beside / name)
        environment = dict(os.environ, PYTHONPATH=str(beside))
        del environment["VEERPIX_LIBRARY"]
        script = ("import sys, veerpix\n"
                  "veerpix.flip_h(sys.argv[1], sys.argv[2])\n"
                  "print(veerpix._library._name)\n")
        output = self.folder / "out.png"
        run = subprocess.run([sys.executable, "-c", script,
                              str(self.picture), str(output)],
                             env=environment, capture_output=True, text=True,
                             check=False)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.strip(), str(beside / name))
        self.assertEqual(png_size(output), (3, 2))


if __name__ == "__main__":
    unittest.main()
