"""Spoken language identification with libqx_orb.

    import qx_orb
    with qx_orb.Engine() as engine:
        result = engine.identify("speech.wav")
        print(result.verdict.language, result.verdict.probability)

The shared library is found through $QX_ORB_LIBRARY, then this package's
directory, then the system's library search (ctypes.util.find_library), then
the source tree's build/ folder. The default model: $QX_ORB_MODEL, then a
default.qx in this package's directory, then <prefix>/share/qx_orb/default.qx
beside the library, then the source tree's models/default.qx.
"""

from ._native import QxOrbError, default_model, library_path, list_devices
from .audio import AudioFormatError, read_wav, resample
from .engine import Engine, Stream, languages
from .results import FRAME_LENGTH, SAMPLE_RATE, Frame, Identification, Segment, Verdict, summarise

__version__ = "1.0.0"

__all__ = [
    "AudioFormatError", "Engine", "FRAME_LENGTH", "Frame", "Identification", "QxOrbError",
    "SAMPLE_RATE", "Segment", "Stream", "Verdict", "default_model", "identify", "languages",
    "library_path", "list_devices", "read_wav", "resample", "summarise", "version",
]


def version():
    """The library's version text, e.g. "1.0.0"."""
    from . import _native
    return _native.load().qx_orb_version().decode()


def identify(source, sample_rate=SAMPLE_RATE, model=None, device="best", threshold=0.5):
    """Engine(model, device, threshold).identify(source, sample_rate) with a short-lived engine."""
    with Engine(model, device, threshold) as engine:
        return engine.identify(source, sample_rate)
