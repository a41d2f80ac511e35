"""Audio in: converting arrays to the engine's int16, reading WAV, resampling.

Resampling is polyphase filtering with a Kaiser-windowed sinc low-pass
(beta 5, 10 zero crossings of the lower rate on each side, cut off at the
lower of the two Nyquist frequencies): the same family of filter as
scipy.signal.resample_poly, written in numpy so nothing else is needed. It is
not bit-identical to the libsoxr resampler of the command-line programs, so
files at other rates than 16 kHz give close, not equal, scores there.
"""

import math
import wave

import numpy as np

SAMPLE_RATE = 16000


class AudioFormatError(ValueError):
    """The audio cannot be read by this package (say, a WAV that is not 16-bit PCM)."""


def to_int16(samples, what="samples"):
    """A 1-D int16 array from int16 samples or floats in [-1, 1].

    Floats are scaled by 32768, clipped to the int16 range and rounded to the
    nearest integer, ties to even: the conversion of the qx-orb command, so
    both give the same frames, and a 16-bit sample s read as the float
    s/32768 comes back as s exactly.
    """
    array = np.asarray(samples)
    if array.dtype != np.int16 and not np.issubdtype(array.dtype, np.floating):
        raise TypeError(f"{what} must be int16 or floating point, got {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    if array.dtype == np.int16:
        return np.ascontiguousarray(array)
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{what} hold NaN or infinite values")
    scaled = np.clip(array.astype(np.float64) * 32768.0, -32768.0, 32767.0)
    return np.rint(scaled).astype(np.int16)


def resample(samples, rate_in, rate_out=SAMPLE_RATE):
    """Float samples at rate_in as float64 samples at rate_out (see the module text)."""
    x = np.asarray(samples, dtype=np.float64)
    if x.ndim != 1:
        raise ValueError(f"samples must be one-dimensional, got shape {x.shape}")
    rate_in, rate_out = int(rate_in), int(rate_out)
    if rate_in <= 0 or rate_out <= 0:
        raise ValueError(f"sample rates must be positive, got {rate_in} and {rate_out}")
    g = math.gcd(rate_in, rate_out)
    up, down = rate_out // g, rate_in // g
    if up == down:
        return x.copy()
    # The filter runs at rate_in * up; its cut-off is the lower Nyquist there.
    widest = max(up, down)
    half = 10 * widest
    taps = np.arange(-half, half + 1)
    h = np.sinc(taps / widest) / widest * np.kaiser(2 * half + 1, 5.0) * up
    # Phase p of the filter holds taps p, p + up, p + 2 up, ...
    per_phase = -(-(2 * half + 1) // up)
    h = np.concatenate([h, np.zeros(per_phase * up - h.size)])
    phases = h.reshape(per_phase, up).T
    count = -(-x.size * up // down)
    # Padding on the left by per_phase lets every output look back that far.
    padded = np.concatenate([np.zeros(per_phase), x, np.zeros(per_phase + 1)])
    out = np.empty(count)
    t = np.arange(per_phase)
    block = 1 << 14
    for start in range(0, count, block):
        k = np.arange(start, min(count, start + block))
        j = k * down + half          # index in the upsampled signal, filter centred
        newest = j // up             # newest input sample under the filter
        rows = padded[(newest + per_phase)[:, None] - t[None, :]]
        out[start:start + k.size] = np.einsum("ij,ij->i", rows, phases[j % up])
    return out


def read_wav(path):
    """(float64 mono samples in [-1, 1), sample rate) from a 16-bit PCM WAV file.

    Several channels are averaged. Other sample widths, and compressed or
    float WAV files, raise AudioFormatError.
    """
    try:
        with wave.open(str(path), "rb") as reader:
            channels, width, rate = reader.getnchannels(), reader.getsampwidth(), reader.getframerate()
            if width != 2:
                raise AudioFormatError(f"{path}: {8 * width}-bit WAV; only 16-bit PCM is read")
            data = reader.readframes(reader.getnframes())
    except wave.Error as error:
        raise AudioFormatError(f"{path}: not a 16-bit PCM WAV file ({error})") from None
    except EOFError:
        raise AudioFormatError(f"{path}: truncated WAV file") from None
    pcm = np.frombuffer(data, dtype="<i2")
    pcm = pcm[: pcm.size - pcm.size % channels].reshape(-1, channels)
    return pcm.astype(np.float64).mean(axis=1) / 32768.0, rate


def load(path):
    """A 16 kHz int16 mono array from a WAV file, resampled when needed."""
    samples, rate = read_wav(path)
    if rate != SAMPLE_RATE:
        samples = resample(samples, rate, SAMPLE_RATE)
    return to_int16(samples)
