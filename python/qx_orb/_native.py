"""Finding libqx_orb, declaring its C functions, turning failures into QxOrbError."""

import ctypes
import ctypes.util
import os
import pathlib
import threading

_PACKAGE_DIR = pathlib.Path(__file__).resolve().parent
# Where the package sits when it is used from the source tree (python/qx_orb).
_SOURCE_TREE = _PACKAGE_DIR.parent.parent

STATUS_SUCCESS = 0
STATUS_OUT_OF_MEMORY = 1
STATUS_INVALID_STATE = 6

# qx_get_error_stack always hands out this many slots.
_ERROR_STACK_SLOTS = 8


class QxOrbError(RuntimeError):
    """A libqx_orb call failed.

    ``status`` is the numeric QxStatus, ``status_name`` its text
    (qx_status_to_string, e.g. "IO_ERROR") and ``messages`` the calling
    thread's error stack, innermost cause first.
    """

    def __init__(self, what, status, status_name, messages):
        self.what = what
        self.status = status
        self.status_name = status_name
        self.messages = list(messages)
        text = f"{what} failed: {status_name}"
        if self.messages:
            text += "\n  " + "\n  ".join(self.messages)
        super().__init__(text)


def _candidates():
    """Library files to try, in the documented order."""
    explicit = os.environ.get("QX_ORB_LIBRARY")
    if explicit:
        # An explicit choice is final: falling back would hide a typo.
        return [explicit]
    found = sorted(_PACKAGE_DIR.glob("libqx_orb.so*")) + sorted(_PACKAGE_DIR.glob("libqx_orb*.dylib"))
    names = [str(path) for path in found]
    system = ctypes.util.find_library("qx_orb")
    if system:
        names.append(system)
    names.append(str(_SOURCE_TREE / "build" / "libqx_orb.so"))
    return names


def _loaded_path(library, fallback):
    """The file the dynamic loader really opened (a bare soname tells little)."""
    class DlInfo(ctypes.Structure):
        _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                    ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]
    try:
        libc = ctypes.CDLL(None)
        dladdr = libc.dladdr
    except (OSError, AttributeError):
        return fallback
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    dladdr.restype = ctypes.c_int
    info = DlInfo()
    address = ctypes.cast(library.qx_orb_version, ctypes.c_void_p)
    if dladdr(address, ctypes.byref(info)) and info.dli_fname:
        return os.path.realpath(os.fsdecode(info.dli_fname))
    return fallback


def _declare(lib):
    c_int32, c_float, c_char_p, c_void_p = ctypes.c_int32, ctypes.c_float, ctypes.c_char_p, ctypes.c_void_p
    string_array = ctypes.POINTER(c_char_p)
    table = {
        "qx_orb_init": (c_int32, [c_char_p, c_char_p, c_float, ctypes.POINTER(c_void_p)]),
        "qx_orb_process": (c_int32, [c_void_p, c_void_p, ctypes.POINTER(ctypes.POINTER(c_float))]),
        "qx_orb_delete": (None, [c_void_p]),
        "qx_orb_scores_delete": (None, [ctypes.POINTER(c_float)]),
        "qx_orb_frame_length": (c_int32, []),
        "qx_sample_rate": (c_int32, []),
        "qx_orb_version": (c_char_p, []),
        "qx_orb_language_to_string": (c_char_p, [ctypes.c_uint32]),
        "qx_orb_list_hardware_devices": (c_int32, [ctypes.POINTER(string_array), ctypes.POINTER(c_int32)]),
        "qx_orb_free_hardware_devices": (None, [string_array, c_int32]),
        "qx_status_to_string": (c_char_p, [c_int32]),
        "qx_get_error_stack": (c_int32, [ctypes.POINTER(string_array), ctypes.POINTER(c_int32)]),
        "qx_free_error_stack": (None, [string_array]),
    }
    for name, (restype, argtypes) in table.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


_lock = threading.Lock()
_library = None
_library_path = None


def load():
    """The loaded library (loaded on first use)."""
    global _library, _library_path
    with _lock:
        if _library is None:
            tried = []
            for name in _candidates():
                try:
                    lib = ctypes.CDLL(name)
                    _declare(lib)
                except (OSError, AttributeError) as error:
                    tried.append(f"{name}: {error}")
                    continue
                _library, _library_path = lib, _loaded_path(lib, name)
                break
            else:
                raise OSError("libqx_orb not found; set QX_ORB_LIBRARY to its path. Tried:\n  "
                              + "\n  ".join(tried))
        return _library


def library_path():
    """Path of the libqx_orb file in use."""
    load()
    return _library_path


def status_name(status):
    text = load().qx_status_to_string(status)
    return text.decode() if text is not None else f"UNKNOWN_STATUS_{status}"


def error_messages():
    """Collects (and clears) the calling thread's error stack."""
    lib = load()
    lines = ctypes.POINTER(ctypes.c_char_p)()
    depth = ctypes.c_int32(0)
    status = lib.qx_get_error_stack(ctypes.byref(lines), ctypes.byref(depth))
    try:
        # OUT_OF_MEMORY still delivers this collection's messages.
        if status not in (STATUS_SUCCESS, STATUS_OUT_OF_MEMORY) or not lines:
            return []
        count = max(0, min(depth.value, _ERROR_STACK_SLOTS))
        return [lines[i].decode("utf-8", "replace") for i in range(count) if lines[i] is not None]
    finally:
        lib.qx_free_error_stack(lines)


def check(status, what):
    """Raises QxOrbError for a failed status, with the thread's messages."""
    if status != STATUS_SUCCESS:
        # Messages first: they belong to this thread's last failure only.
        messages = error_messages()
        raise QxOrbError(what, status, status_name(status), messages)


def default_model():
    """The model used when none is named.

    $QX_ORB_MODEL; else a default.qx in this package's directory; else
    <prefix>/share/qx_orb/default.qx beside the library's lib directory (also
    lib/<multiarch>); else the source tree's models/default.qx (found from the
    package or from a library built inside the tree).
    """
    explicit = os.environ.get("QX_ORB_MODEL")
    if explicit:
        return explicit
    library_dir = pathlib.Path(library_path()).resolve().parent
    candidates = [_PACKAGE_DIR / "default.qx"]
    for up in (library_dir.parent, library_dir.parent.parent):
        candidates.append(up / "share" / "qx_orb" / "default.qx")
    # A library built in <tree>/build sits one level below the tree.
    candidates += [_SOURCE_TREE / "models" / "default.qx", library_dir.parent / "models" / "default.qx"]
    for candidate in candidates:
        if candidate.is_file():
            return str(candidate)
    raise FileNotFoundError("no default model found; set QX_ORB_MODEL or pass model=. Looked at:\n  "
                            + "\n  ".join(str(c) for c in candidates))


def list_devices():
    """The device descriptions this machine offers, e.g. "cpu:[0-8] - CPU (8 threads)"."""
    lib = load()
    devices = ctypes.POINTER(ctypes.c_char_p)()
    count = ctypes.c_int32(0)
    check(lib.qx_orb_list_hardware_devices(ctypes.byref(devices), ctypes.byref(count)),
          "listing devices")
    try:
        return [devices[i].decode("utf-8", "replace") for i in range(count.value)]
    finally:
        lib.qx_orb_free_hardware_devices(devices, count)

