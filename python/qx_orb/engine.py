"""The engine: frames in, language probabilities out."""

import ctypes
import numbers
import os

import numpy as np

from . import _native, audio
from .results import FRAME_LENGTH, SAMPLE_RATE, Frame, frame_bounds, summarise


def languages():
    """The score names in index order: "unknown", "de", ..., "pt"."""
    lib = _native.load()
    names = []
    index = 0
    while True:
        name = lib.qx_orb_language_to_string(index)
        if name is None:
            return tuple(names)
        names.append(name.decode())
        index += 1


def _c_string(value, what, encode=lambda text: text.encode("utf-8")):
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, got {type(value).__name__}")
    data = encode(value)
    if b"\0" in data:
        # A C string would end there and silently name something else.
        raise ValueError(f"{what} holds a NUL character")
    return data


class Engine:
    """One libqx_orb engine; use it from one thread at a time.

    ``model``: path of a .qx file, None for the default model (see
    qx_orb.default_model). ``device``: "best", "cpu" or "cpu:THREADS".
    ``threshold``: frames whose mean voice probability reaches it (0 to 1)
    are classified. Failures raise QxOrbError with the library's messages.

    The voice detector keeps state from frame to frame, so the frames given
    to process(), frames() and a stream are taken as one continuing recording.
    """

    def __init__(self, model=None, device="best", threshold=0.5):
        self._handle = None
        lib = _native.load()
        self.model = os.fspath(_native.default_model() if model is None else model)
        if isinstance(self.model, bytes):
            self.model = os.fsdecode(self.model)
        # A file name's bytes as the file system has them (not always UTF-8).
        model_bytes = _c_string(self.model, "model", os.fsencode)
        device_bytes = _c_string(device, "device")
        if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
            raise TypeError(f"threshold must be a number, got {type(threshold).__name__}")
        self.device = device
        self.threshold = float(threshold)
        handle = ctypes.c_void_p()
        _native.check(lib.qx_orb_init(model_bytes, device_bytes, self.threshold, ctypes.byref(handle)),
                      f"creating an engine from {self.model!r} on {device!r}")
        self._handle = handle
        self._lib = lib
        self._languages = languages()

    # ---- lifetime ---------------------------------------------------------
    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Frees the engine; further calls raise ValueError. Safe to repeat."""
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.qx_orb_delete(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutdown may have torn down ctypes already
            pass

    def __repr__(self):
        state = "closed" if self.closed else f"device={self.device!r} threshold={self.threshold}"
        return f"<qx_orb.Engine {self.model!r} {state}>"

    # ---- frames -----------------------------------------------------------
    def process(self, frame):
        """Scores of one frame, or None when it holds no speech.

        ``frame``: a 1-D int16 array, or floats in [-1, 1], of at most 32768
        samples at 16 kHz; a shorter one is padded with zeros. Returns a dict
        language -> probability.
        """
        samples = audio.to_int16(frame, "frame")
        if samples.size > FRAME_LENGTH:
            raise ValueError(f"a frame holds at most {FRAME_LENGTH} samples, got {samples.size}")
        if samples.size < FRAME_LENGTH:
            padded = np.zeros(FRAME_LENGTH, dtype=np.int16)
            padded[: samples.size] = samples
            samples = padded
        return self._process_full(samples)

    def _process_full(self, samples):
        if self._handle is None:
            raise ValueError("the engine is closed")
        scores = ctypes.POINTER(ctypes.c_float)()
        _native.check(self._lib.qx_orb_process(self._handle, samples.ctypes.data, ctypes.byref(scores)),
                      "processing a frame")
        if not scores:
            return None
        try:
            # Copied out before the array goes back to the library.
            return {name: float(scores[i]) for i, name in enumerate(self._languages)}
        finally:
            self._lib.qx_orb_scores_delete(scores)

    def frames(self, samples, sample_rate=SAMPLE_RATE):
        """Yields a Frame per 32768 samples of a recording (the last one zero-padded).

        Unlike identify(), this goes on from the engine's present state, like
        process() and stream().
        """
        samples = self._prepare(samples, sample_rate)
        for index in range(-(-samples.size // FRAME_LENGTH)):
            chunk = samples[index * FRAME_LENGTH:(index + 1) * FRAME_LENGTH]
            if chunk.size < FRAME_LENGTH:
                chunk = np.concatenate([chunk, np.zeros(FRAME_LENGTH - chunk.size, np.int16)])
            start, end = frame_bounds(index, samples.size)
            yield Frame(index, start, end, self._process_full(np.ascontiguousarray(chunk)))

    @staticmethod
    def _prepare(samples, sample_rate):
        if sample_rate == SAMPLE_RATE:
            return audio.to_int16(samples)
        as_int16 = np.asarray(samples)
        if as_int16.dtype == np.int16:
            samples = as_int16 / 32768.0
        else:
            audio.to_int16(samples)  # the same checks as at 16 kHz
        return audio.to_int16(audio.resample(samples, sample_rate, SAMPLE_RATE))

    def identify(self, source, sample_rate=SAMPLE_RATE):
        """Frames, segments and verdict of a recording.

        ``source``: a path to a WAV file (16-bit PCM, any rate and channel
        count; ``sample_rate`` is then taken from the file), or a 1-D int16 or
        float array at ``sample_rate`` Hz. Each call starts from a fresh voice
        detector state (a new engine with the same settings, a few
        milliseconds), so a recording's result never depends on what this
        engine heard before; process(), frames() and stream() go on from the
        engine's own state instead.
        """
        if self._handle is None:
            raise ValueError("the engine is closed")
        path = None
        if isinstance(source, (str, bytes, os.PathLike)):
            path = os.fsdecode(os.fspath(source))
            source, sample_rate = audio.load(path), SAMPLE_RATE
        samples = self._prepare(source, sample_rate)
        # The voice detector's state carries from frame to frame; a fresh
        # engine keeps one recording's result independent of what came before.
        with Engine(self.model, self.device, self.threshold) as fresh:
            return summarise(fresh.frames(samples), source=path)

    def stream(self):
        """A Stream that takes audio in chunks of any size."""
        return Stream(self)


class Stream:
    """Frames from audio that arrives in pieces (a microphone, a socket).

    ``feed(chunk)`` returns the frames that chunk completed (often none);
    ``flush()`` returns the last, partial frame zero-padded, and ends the
    stream. Chunks are int16 or float arrays at 16 kHz, as for Engine.process.
    """

    def __init__(self, engine):
        self._engine = engine
        self._buffer = np.zeros(FRAME_LENGTH, dtype=np.int16)
        self._filled = 0
        self._index = 0
        self._ended = False

    def feed(self, chunk):
        if self._ended:
            raise ValueError("the stream was flushed")
        samples = audio.to_int16(chunk, "chunk")
        done = []
        offset = 0
        while offset < samples.size:
            take = min(FRAME_LENGTH - self._filled, samples.size - offset)
            self._buffer[self._filled:self._filled + take] = samples[offset:offset + take]
            self._filled += take
            offset += take
            if self._filled == FRAME_LENGTH:
                done.append(self._emit(FRAME_LENGTH))
        return done

    def flush(self):
        if self._ended:
            return []
        self._ended = True
        if self._filled == 0:
            return []
        self._buffer[self._filled:] = 0
        return [self._emit(self._filled)]

    def _emit(self, real_samples):
        start, end = frame_bounds(self._index, self._index * FRAME_LENGTH + real_samples)
        frame = Frame(self._index, start, end, self._engine._process_full(self._buffer))
        self._index += 1
        self._filled = 0
        return frame
