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
(the format follows the output's extension: jpg, jpeg, png or bmp) and
returns None; a failure raises VeerpixError with the library's message.
The operations keep the input's metadata (EXIF, XMP, colour profile,
resolution; the Orientation set to 1 where the pixels were turned) through
copy_metadata; strip=True keeps only what the library itself carries on
re-encoding, the colour profile and the resolution. BMP files hold no such
metadata and are left as the operation wrote them.
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
import shutil
import sys
import tempfile
import threading

__all__ = ["VeerpixError", "rotate", "flip_h", "flip_v", "angle",
           "auto_orient", "copy_metadata", "load_library", "batch", "FileResult"]

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


def rotate(input, output, degrees, strip=False):
    """Turns the image counter-clockwise by a quarter turn or a half turn.

    `degrees` is an int equal to 90, 180 or 270 modulo 360 (-90 turns
    clockwise); other values raise VeerpixError. A JPEG tagged with an EXIF
    Orientation turned into a JPEG changes only that tag: lossless.
    This is the library's veerpix_fixed.
    """
    degrees = _c_int(degrees, "degrees")
    _operate("veerpix_fixed", input, output, (degrees,), strip)


def flip_h(input, output, strip=False):
    """Mirrors the image left to right."""
    _operate("veerpix_flip_h", input, output, (), strip)


def flip_v(input, output, strip=False):
    """Mirrors the image top to bottom."""
    _operate("veerpix_flip_v", input, output, (), strip)


def angle(input, output, degrees, background=(255, 255, 255), strip=False):
    """Turns the image counter-clockwise by any finite angle.

    Bilinear sampling onto a canvas just large enough for the whole turned
    picture; the uncovered corners get the opaque colour `background`, a
    (red, green, blue) triple whose parts are clamped to 0..255. A NaN or
    infinite angle raises VeerpixError. The angle is passed as a C float.
    """
    degrees = float(degrees)
    if math.isfinite(degrees) and abs(degrees) > _FLOAT_MAX:
        # Past float's range it would arrive as infinity.
        raise OverflowError(f"angle {degrees} does not fit a C float")
    red, green, blue = (_channel(value) for value in background)
    _operate("veerpix_angle", input, output, (degrees, red, green, blue),
             strip)


def auto_orient(input, output, strip=False):
    """Brings a JPEG upright by its EXIF Orientation in its pixels.

    Files that need no change (no Orientation, Orientation 1, or not a
    JPEG) are copied byte for byte. A turned result keeps the metadata
    with its Orientation set to 1, or, with strip=True, carries no EXIF.
    """
    _operate("veerpix_auto_orient", input, output, (), strip)


def copy_metadata(source, output):
    """Copies the EXIF, XMP, colour profile and resolution of `source`
    (JPEG or PNG) into `output`, an already written JPEG or PNG, replacing
    the output's own; Orientation values are set to 1. An output holding
    the source's own compressed picture (a copy, a lossless turn) is left
    as it is. This is the library's veerpix_copy_metadata.
    """
    _call("veerpix_copy_metadata", _path(source, "source"),
          _path(output, "output"))


def _is_bmp(path):
    try:
        with open(path, "rb") as file:
            return file.read(2) == b"BM"
    except OSError:
        return False


def _keep_metadata(source, output):
    # BMP holds none of it; the library refuses either side being one.
    if _is_bmp(source) or _is_bmp(output):
        return
    _call("veerpix_copy_metadata", source, output)


def _same_file(first, second):
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


def _operate(function_name, input, output, arguments, strip):
    source = _path(input, "input")
    target = _path(output, "output")
    if strip:
        _call(function_name, source, target, *arguments)
        return
    if not _same_file(source, target):
        _call(function_name, source, target, *arguments)
        _keep_metadata(source, target)
        return
    # In place: the input's metadata is read after the result is written,
    # so the result goes to a file beside it first (same extension, which
    # chooses the format) and replaces the input once complete.
    folder, name = os.path.split(target)
    stem, extension = os.path.splitext(name)
    descriptor, temporary = tempfile.mkstemp(
        prefix=b"." + stem + b".", suffix=extension, dir=folder or b".")
    os.close(descriptor)
    try:
        _call(function_name, source, temporary, *arguments)
        _keep_metadata(source, temporary)
        shutil.copymode(target, temporary)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise


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
               "angle": angle, "auto_orient": auto_orient}


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
