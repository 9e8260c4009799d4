"""Change the orientation of JPEG, PNG and BMP files with quorvane-veerpix.

A thin ctypes binding of the library's C interface, standard library only::

    import veerpix

    veerpix.auto_orient("photo.jpg", "upright.jpg")
    veerpix.rotate("scan.png", "scan-turned.png", 90)
    try:
        veerpix.angle("in.bmp", "out.png", 12.5, background=(0, 0, 0))
    except veerpix.VeerpixError as error:
        print(error)            # the library's message

Every function reads the image at `input`, writes the result to `output`
once (the format follows the output's extension: jpg, jpeg, png or bmp)
and returns None; transform() returns the road the library took. A
failure raises VeerpixError with the library's message.
The operations keep the input's metadata (EXIF, XMP, colour profile,
resolution; the Orientation set to 1 where the pixels were turned) in the
same write; strip=True keeps only what the library itself carries on
re-encoding, the colour profile and the resolution. BMP files hold no such
metadata. Every operation also takes quality= (1..100, of re-encoded
JPEGs; 92 by default), pixels=True (turn the pixels of a tagged JPEG
instead of rewriting its Orientation), lossless= ("prefer", the default:
a JPEG into a JPEG is turned in its DCT coefficients where its sides
allow, else re-encoded; "require": never re-encoded, VeerpixError with the
reason instead; None: re-encoded as before), trim=True (drop the partial
edge blocks that keep a JPEG from a lossless turn; refused with
lossless=None) and preserve_times=True
(the result gets the input's access and modification times).
Paths are str, bytes or os.PathLike; str paths are handed to the library as
the file system encodes them (os.fsencode; on Windows the active code page,
which the library's narrow paths use there).

The library is found, in this order: the file named by the environment
variable VEERPIX_LIBRARY (a full path), a copy next to this module, the
library folder of the prefix the module is installed in (the module in
PREFIX/lib/python3/dist-packages, the library in PREFIX/lib), then the
system's loader by the library's name (libquorvane-veerpix.so.0 on Linux,
quorvane-veerpix.dll on Windows), then ctypes.util.find_library.

Many files at once, in worker processes or on a cluster, with batch()::

    from concurrent.futures import ProcessPoolExecutor
    with ProcessPoolExecutor(2) as pool:
        results = veerpix.batch(veerpix.auto_orient, paths, out_dir="upright",
                                executor=pool)
    failed = [result for result in results if not result.ok]

A dask.distributed Client serves as the executor as well.
"""

import collections
import ctypes
import ctypes.util
import math
import operator
import os
import sys
import threading

__all__ = ["VeerpixError", "rotate", "flip_h", "flip_v", "angle",
           "auto_orient", "transform", "copy_metadata", "load_library",
           "batch", "FileResult",
           "KEEP", "TURN_90", "TURN_180", "TURN_270", "MIRROR_LEFT_RIGHT",
           "MIRROR_TOP_BOTTOM", "TRANSPOSE", "TRANSVERSE", "AUTO_ORIENT",
           "ANGLE"]

LIBRARY_ENVIRONMENT_VARIABLE = "VEERPIX_LIBRARY"

if sys.platform == "win32":
    _LIBRARY_NAMES = ("quorvane-veerpix.dll",)
elif sys.platform == "darwin":
    _LIBRARY_NAMES = ("libquorvane-veerpix.0.dylib",
                      "libquorvane-veerpix.dylib")
else:
    _LIBRARY_NAMES = ("libquorvane-veerpix.so.0", "libquorvane-veerpix.so")

_INT_MIN = -(2 ** 31)
_INT_MAX = 2 ** 31 - 1
_FLOAT_MAX = 3.4028234663852886e38


# The transforms of veerpix_transform, as the C header numbers them.
(KEEP, TURN_90, TURN_180, TURN_270, MIRROR_LEFT_RIGHT, MIRROR_TOP_BOTTOM,
 TRANSPOSE, TRANSVERSE, AUTO_ORIENT, ANGLE) = range(10)

# The roads it reports, as the command line's -v names them.
_ROAD_NAMES = {1: "copy", 2: "lossless retag", 3: "re-encode",
               4: "lossless coefficients"}
_ROAD_MASK = 0xFF
_KEEP_METADATA = 0x1
_TURN_PIXELS = 0x2
_TRIM = 0x4
_ROAD_NOTES = ((0x100, "trimmed"), (0x200, "secondary pictures dropped"))
# lossless=: the library's VEERPIX_LOSSLESS_* values.
_LOSSLESS = {None: 0, "prefer": 1, "require": 2}


class _Options(ctypes.Structure):
    """veerpix_options of the C header."""
    _fields_ = [("size", ctypes.c_uint32),
                ("flags", ctypes.c_uint32),
                ("jpeg_quality", ctypes.c_int32),
                ("lossless", ctypes.c_int32),
                ("angle", ctypes.c_float),
                ("background", ctypes.c_int32 * 3)]


class VeerpixError(Exception):
    """An operation failed; str(error) is the library's message."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def _declare(library):
    """Sets the C signature of every exported function on `library`."""
    path = ctypes.c_char_p
    signatures = {
        "veerpix_init": ([], ctypes.c_int),
        "veerpix_cleanup": ([], None),
        "veerpix_last_error": ([], ctypes.c_char_p),
        "veerpix_fixed": ([path, path, ctypes.c_int], ctypes.c_int),
        "veerpix_flip_h": ([path, path], ctypes.c_int),
        "veerpix_flip_v": ([path, path], ctypes.c_int),
        "veerpix_angle": ([path, path, ctypes.c_float,
                           ctypes.c_int, ctypes.c_int, ctypes.c_int],
                          ctypes.c_int),
        "veerpix_auto_orient": ([path, path], ctypes.c_int),
        "veerpix_copy_metadata": ([path, path], ctypes.c_int),
        "veerpix_transform": ([path, path, ctypes.c_int,
                               ctypes.POINTER(_Options),
                               ctypes.POINTER(ctypes.c_int)], ctypes.c_int),
    }
    for name, (argtypes, restype) in signatures.items():
        function = getattr(library, name)
        function.argtypes = argtypes
        function.restype = restype
    return library


def load_library(environ=None):
    """Loads the library and returns it as a ctypes.CDLL.

    Looks at VEERPIX_LIBRARY in `environ` (os.environ by default), then
    next to this module, then the system's search. A VEERPIX_LIBRARY that
    cannot be loaded is an error, not a reason to look elsewhere: it would
    hide which library is in use. Raises OSError when nothing loads.
    """
    environ = os.environ if environ is None else environ
    explicit = environ.get(LIBRARY_ENVIRONMENT_VARIABLE)
    if explicit:
        try:
            return _declare(ctypes.CDLL(explicit))
        except OSError as error:
            raise OSError(f"{LIBRARY_ENVIRONMENT_VARIABLE}={explicit} "
                          f"cannot be loaded: {error}") from error

    here = os.path.dirname(os.path.abspath(__file__))
    folders = [here] + _prefix_library_folders(here)
    beside = [os.path.join(folder, name)
              for folder in folders for name in _LIBRARY_NAMES]
    candidates = [path for path in beside if os.path.exists(path)]
    candidates.extend(_LIBRARY_NAMES)  # the loader's own search path
    reasons = []
    for candidate in candidates:
        try:
            return _declare(ctypes.CDLL(candidate))
        except OSError as error:
            reasons.append(f"{candidate}: {error}")
    found = ctypes.util.find_library("quorvane-veerpix")
    if found:
        try:
            return _declare(ctypes.CDLL(found))
        except OSError as error:
            reasons.append(f"{found}: {error}")
    raise OSError("quorvane-veerpix library not found (set "
                  f"{LIBRARY_ENVIRONMENT_VARIABLE} to its full path); tried "
                  + "; ".join(reasons))


def _prefix_library_folders(here):
    """PREFIX/lib and PREFIX/lib/<multiarch> for a module installed in
    PREFIX/lib/python3/dist-packages (or PREFIX/lib/python3.X/...)."""
    parent, packages = os.path.split(here)
    if packages not in ("dist-packages", "site-packages"):
        return []
    library_folder = os.path.dirname(parent)
    folders = [library_folder]
    multiarch = getattr(sys.implementation, "_multiarch", None)
    if multiarch:
        folders.append(os.path.join(library_folder, multiarch))
    return folders


_library = None
# The library keeps its message in one process-wide buffer and must be
# called from one thread at a time; ctypes releases the GIL during the call.
_lock = threading.Lock()


def _call(function_name, *arguments):
    global _library
    with _lock:
        if _library is None:
            _library = load_library()
        if getattr(_library, function_name)(*arguments) == 1:
            return
        message = _text(_library.veerpix_last_error() or b"")
    raise VeerpixError(message)


def _path(value, role):
    value = os.fspath(value)
    if isinstance(value, bytes):
        encoded = value
    elif sys.platform == "win32":
        # The library opens narrow paths in the active code page, not in
        # the UTF-8 that os.fsencode gives there; a name the code page
        # cannot spell raises UnicodeEncodeError rather than naming another
        # file.
        encoded = value.encode("mbcs")
    else:
        encoded = os.fsencode(value)
    if b"\0" in encoded:
        # The C side would stop at the NUL and work on another file.
        raise ValueError(f"{role} path contains a null byte: {value!r}")
    return encoded


def _text(message):
    # Paths in messages come back as they went in.
    if sys.platform == "win32":
        return message.decode("mbcs", "replace")
    return os.fsdecode(message)


def rotate(input, output, degrees, strip=False, **options):
    """Turns the image counter-clockwise by a quarter turn or a half turn.

    `degrees` is an int equal to 90, 180 or 270 modulo 360 (-90 turns
    clockwise); other values raise VeerpixError. A JPEG tagged with an EXIF
    Orientation turned into a JPEG changes only that tag: lossless (unless
    pixels=True). This is the library's veerpix_fixed.
    """
    degrees = _c_int(degrees, "degrees")
    turn = {90: TURN_90, 180: TURN_180, 270: TURN_270}.get(degrees % 360)
    if turn is None:
        # The library's own refusal and message, before any file is read.
        _call("veerpix_fixed", _path(input, "input"), _path(output, "output"),
              degrees)
        return
    transform(input, output, turn, strip=strip, **options)


def flip_h(input, output, strip=False, **options):
    """Mirrors the image left to right."""
    transform(input, output, MIRROR_LEFT_RIGHT, strip=strip, **options)


def flip_v(input, output, strip=False, **options):
    """Mirrors the image top to bottom."""
    transform(input, output, MIRROR_TOP_BOTTOM, strip=strip, **options)


def angle(input, output, degrees, background=(255, 255, 255), strip=False,
          **options):
    """Turns the image counter-clockwise by any finite angle.

    Bilinear sampling onto a canvas just large enough for the whole turned
    picture; the uncovered corners get the opaque colour `background`, a
    (red, green, blue) triple whose parts are clamped to 0..255. A NaN or
    infinite angle raises VeerpixError. The angle is passed as a C float.
    """
    transform(input, output, ANGLE, angle=degrees, background=background,
              strip=strip, **options)


def auto_orient(input, output, strip=False, **options):
    """Brings a JPEG upright by its EXIF Orientation in its pixels.

    Files that need no change (no Orientation, Orientation 1, or not a
    JPEG) are copied byte for byte. A turned result keeps the metadata
    with its Orientation set to 1, or, with strip=True, carries no EXIF.
    """
    transform(input, output, AUTO_ORIENT, strip=strip, **options)


def copy_metadata(source, output):
    """Copies the EXIF, XMP, colour profile and resolution of `source`
    (JPEG or PNG) into `output`, an already written JPEG or PNG, replacing
    the output's own; Orientation values are set to 1. An output holding
    the source's own compressed picture (a copy, a lossless turn) is left
    as it is. This is the library's veerpix_copy_metadata.
    """
    _call("veerpix_copy_metadata", _path(source, "source"),
          _path(output, "output"))


def transform(input, output, change, *, angle=0.0,
              background=(255, 255, 255), strip=False, quality=None,
              pixels=False, lossless="prefer", trim=False,
              preserve_times=False):
    """The library's veerpix_transform: `change` is one of KEEP, TURN_90,
    TURN_180, TURN_270, MIRROR_LEFT_RIGHT, MIRROR_TOP_BOTTOM, TRANSPOSE,
    TRANSVERSE, AUTO_ORIENT or ANGLE (which reads `angle` and
    `background`), applied to the picture as shown and written once.
    Returns the road the library took: "copy", "lossless retag",
    "lossless coefficients" or "re-encode", with its notes after a comma
    ("lossless coefficients, trimmed").

    Options: strip=True keeps no EXIF or XMP on re-encoded results;
    quality, 1..100, of re-encoded JPEGs (None: 92); pixels=True turns the
    pixels of a tagged JPEG instead of rewriting its Orientation;
    lossless="prefer", "require" or None and trim=True choose the
    coefficient road for a JPEG into a JPEG (see the module's help);
    preserve_times=True gives the result the input's access and
    modification times.
    """
    source = _path(input, "input")
    target = _path(output, "output")
    options = _Options()
    options.size = ctypes.sizeof(_Options)
    options.flags = (0 if strip else _KEEP_METADATA) | (
        _TURN_PIXELS if pixels else 0) | (_TRIM if trim else 0)
    if lossless not in _LOSSLESS:
        raise ValueError(
            f"lossless must be 'prefer', 'require' or None, not {lossless!r}")
    options.lossless = _LOSSLESS[lossless]
    if quality is not None:
        quality = operator.index(quality)
        if not 1 <= quality <= 100:
            # 0 would mean the default to the library.
            raise ValueError(f"quality must be 1..100, not {quality}")
        options.jpeg_quality = quality
    degrees = float(angle)
    if math.isfinite(degrees) and abs(degrees) > _FLOAT_MAX:
        # Past float's range it would arrive as infinity.
        raise OverflowError(f"angle {degrees} does not fit a C float")
    options.angle = degrees
    options.background[:] = [_channel(value) for value in background]
    times = os.stat(source) if preserve_times else None
    road = ctypes.c_int(0)
    _call("veerpix_transform", source, target, _c_int(change, "change"),
          ctypes.byref(options), ctypes.byref(road))
    if times is not None:
        os.utime(target, ns=(times.st_atime_ns, times.st_mtime_ns))
    name = _ROAD_NAMES.get(road.value & _ROAD_MASK, "another road")
    notes = [note for bit, note in _ROAD_NOTES if road.value & bit]
    return ", ".join([name] + notes)


def _c_int(value, name):
    value = operator.index(value)  # TypeError for floats and strings
    if not _INT_MIN <= value <= _INT_MAX:
        # ctypes would cut it to 32 bits silently: 2**32 + 90 would turn.
        raise OverflowError(f"{name} {value} does not fit a C int")
    return value


def _channel(value):
    return min(max(operator.index(value), 0), 255)


FileResult = collections.namedtuple("FileResult",
                                    "input output ok message")
FileResult.__doc__ = """One file of a batch: ok is True after a success, else
message holds the reason (the library's message, or the error raised)."""

_OPERATIONS = {"rotate": rotate, "flip_h": flip_h, "flip_v": flip_v,
               "angle": angle, "auto_orient": auto_orient,
               "transform": transform}


def _run_one(name, input, output, arguments, keywords):
    """One file of a batch, in whichever process or machine runs it."""
    try:
        _OPERATIONS[name](input, output, *arguments, **keywords)
    except (VeerpixError, OSError, ValueError, TypeError,
            OverflowError) as error:
        return FileResult(input, output, False, str(error))
    return FileResult(input, output, True, "")


def _pairs(files, out_dir):
    for item in files:
        if isinstance(item, tuple):
            yield item
        elif out_dir is None:
            raise ValueError(f"{item!r} has no output: give (input, output) "
                             "pairs or out_dir")
        else:
            yield item, os.path.join(out_dir, os.path.basename(item))


def batch(operation, files, *arguments, out_dir=None, executor=None,
          **keywords):
    """Runs one operation over many files; returns a FileResult per file,
    in the order of `files`, instead of raising on the first failure.

    `operation` is one of this module's functions (or its name, "rotate");
    `arguments` and `keywords` follow the files as in a single call
    (batch(veerpix.rotate, paths, 90, out_dir="turned")). `files` holds
    (input, output) pairs, or input paths written into `out_dir` under
    their own names. Paths are handed on as given: on a cluster they must
    name the same files on every worker.

    `executor` is anything with submit(function, *args) returning futures
    with result(): a concurrent.futures executor or a dask.distributed
    Client (Client("tcp://scheduler:8786")). Without one, the files run
    here, one after another. Each call needs the library where it runs; a
    worker that dies or cannot import this module gives a failed result
    with the reason, and the other files go on.
    """
    by_name = isinstance(operation, str)
    name = operation if by_name else getattr(operation, "__name__", "")
    if name not in _OPERATIONS or not (by_name
                                       or _OPERATIONS[name] is operation):
        raise ValueError(f"not an operation of this module: {operation!r}")
    pairs = [(os.fspath(input), os.fspath(output))
             for input, output in _pairs(files, out_dir)]
    if executor is None:
        return [_run_one(name, input, output, arguments, keywords)
                for input, output in pairs]
    futures = [executor.submit(_run_one, name, input, output, arguments,
                               keywords)
               for input, output in pairs]
    results = []
    for (input, output), future in zip(pairs, futures):
        try:
            results.append(future.result())
        except Exception as error:  # the worker's failure, not the file's
            results.append(FileResult(input, output, False,
                                      f"{type(error).__name__}: {error}"))
    return results
