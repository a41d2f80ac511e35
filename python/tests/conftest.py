import importlib.util
import os
import pathlib
import sys
import wave

import numpy as np
import pytest

PYTHON_DIR = pathlib.Path(__file__).resolve().parent.parent
REPO = PYTHON_DIR.parent
if importlib.util.find_spec("qx_orb") is None:  # an installed package wins
    sys.path.insert(0, str(PYTHON_DIR))


def speech_like(seconds, seed=0, rate=16000, gaps=(), noise=0.001, harmonics=29):
    """Vowel-like voiced audio (harmonics of a gliding pitch under changing
    formants, 4 syllables a second) in [-0.3, 0.3]; `gaps` are (start, end)
    seconds of near-silence. The voice detector takes it for speech, so tests
    get voiced frames without a decoder or recordings. With noise=0 and
    harmonics=20 (all below 3.5 kHz) it is the same sound at any rate."""
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    t = np.arange(n) / rate
    f0 = 120 + 30 * np.sin(2 * np.pi * (0.5 + 0.1 * seed) * t) + 10 * np.sin(2 * np.pi * 3.1 * t)
    phase = 2 * np.pi * np.cumsum(f0) / rate
    syllable = (t / 0.25).astype(int)
    formants = np.array([[730, 1090, 2440], [270, 2290, 3010], [530, 1840, 2480],
                         [570, 840, 2410], [300, 870, 2240]])
    f = formants[rng.integers(0, len(formants), syllable.max() + 1)][syllable]
    x = np.zeros(n)
    for k in range(1, harmonics + 1):
        amp = 0.02 + sum(np.exp(-((k * f0 - f[:, i]) / (80 + 40 * i)) ** 2) / (i + 1) for i in range(3))
        x += amp * np.sin(k * phase) / np.sqrt(k)
    x *= np.sin(np.pi * (t % 0.25) / 0.25) ** 0.5
    x = 0.3 * x / np.max(np.abs(x))
    for start, end in gaps:
        x[int(start * rate):int(end * rate)] = 0.0
    return x + noise * rng.standard_normal(n)


def write_wav(path, samples, rate=16000, channels=1, width=2):
    """Writes float samples (n,) or (n, channels) in [-1, 1] as PCM."""
    data = np.asarray(samples, dtype=np.float64)
    if data.ndim == 1:
        data = np.repeat(data[:, None], channels, axis=1)
    if width == 2:
        pcm = np.clip(np.round(data * 32768), -32768, 32767).astype("<i2").tobytes()
    else:
        pcm = np.clip(np.round(data * 128 + 128), 0, 255).astype(np.uint8).tobytes()
    with wave.open(str(path), "wb") as writer:
        writer.setnchannels(data.shape[1])
        writer.setsampwidth(width)
        writer.setframerate(rate)
        writer.writeframes(pcm)
    return path


@pytest.fixture
def engine():
    import qx_orb
    with qx_orb.Engine() as created:
        yield created


@pytest.fixture(scope="session")
def speech():
    """8.5 s: voiced, a silent stretch of two frames, voiced; a partial last frame."""
    return speech_like(8.5, gaps=[(2.048, 6.144)])


def program(variable):
    """A program named by the environment (set by CTest), or skip."""
    path = os.environ.get(variable)
    if not path or not os.path.exists(path):
        pytest.skip(f"${variable} does not name a built program")
    return path
