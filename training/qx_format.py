"""The .qx model file, read and written for the training code and its tests.

Little-endian throughout; i32 and f32 take 4 bytes, i8 one:

    "orb" "1.0.0"
    feature settings  i32 window_length, hop_length, num_mel_bands B; f32 log_floor;
                      f32 feature_mean[B], feature_std[B]
    output layer      i32 num_languages K, input_size E; f32 weights[K][E], bias[K]
    recurrent stack   i32 num_layers L; f32 norm_epsilon;
                      L forward layers, then L backward layers, each:
                        i32 hidden_size H, input_size I; i8 weights[3H][H + I], bias[3H]
                      i32 embedding_size E, pooled_size P, has_projection;
                      f32 projection[E][P] when has_projection is not 0

Only the layout lives here. Which shapes fit together is the library's rule
(src/engine/model_validation.cc), so the reader takes any file whose counts
its bytes back, and bytes after the stack are ignored, as the library does.
"""
import dataclasses
import struct
from typing import List, Optional

import numpy as np

MAGIC = b"orb"
VERSION = b"1.0.0"


@dataclasses.dataclass
class Layer:
    """One direction of one recurrent level: gate rows z, u, o of H each,
    columns [h, x] (H recurrent, then I input)."""
    hidden_size: int
    input_size: int
    weights: np.ndarray  # int8 [3H, H + I]
    bias: np.ndarray  # int8 [3H]


@dataclasses.dataclass
class Model:
    window_length: int
    hop_length: int
    log_floor: float
    feature_mean: np.ndarray  # float32 [B]
    feature_std: np.ndarray  # float32 [B]
    output_weights: np.ndarray  # float32 [K, E], a row per language
    output_bias: np.ndarray  # float32 [K]
    norm_epsilon: float
    forward: List[Layer]
    backward: List[Layer]
    embedding_size: int
    pooled_size: int
    has_projection: int = 0
    projection_weights: Optional[np.ndarray] = None  # float32 [E, P] when has_projection

    @property
    def num_mel_bands(self):
        return int(np.size(self.feature_mean))

    @property
    def num_languages(self):
        return int(np.shape(self.output_weights)[0])

    @property
    def num_layers(self):
        return len(self.forward)


class _Bytes:
    """A cursor over the file's bytes; a read past the end is a ValueError."""

    def __init__(self, data, name):
        self.data, self.at, self.name = data, 0, name

    def take(self, dtype, count):
        if count < 0:  # np.frombuffer would read a count of -1 as "all the rest"
            raise ValueError(f"{self.name}: negative count {count} at byte {self.at}")
        size = np.dtype(dtype).itemsize * count
        if self.at + size > len(self.data):
            raise ValueError(f"{self.name}: ends at byte {len(self.data)}, {size} more needed at {self.at}")
        values = np.frombuffer(self.data, dtype=dtype, count=count, offset=self.at)
        self.at += size
        return values.copy()  # writable, as torch expects of what it wraps

    def i32(self, count=1):
        return [int(v) for v in self.take("<i4", count)]

    def counts(self, count):
        """Sizes and counts, none negative (a negative level count would
        read the levels as absent and go on)."""
        values = self.i32(count)
        if min(values) < 0:
            raise ValueError(f"{self.name}: negative count {min(values)} before byte {self.at}")
        return values

    def f32(self, count):
        return self.take("<f4", count).astype(np.float32)


def parse(data, name="model"):
    """A Model from the bytes of a .qx file."""
    if data[:len(MAGIC)] != MAGIC:
        raise ValueError(f"{name}: not a model file")
    if data[len(MAGIC):len(MAGIC) + len(VERSION)] != VERSION:
        raise ValueError(f"{name}: version {data[len(MAGIC):len(MAGIC) + len(VERSION)]!r}, not {VERSION!r}")
    r = _Bytes(data, name)
    r.at = len(MAGIC) + len(VERSION)
    window_length, hop_length = r.i32(2)
    (bands,) = r.counts(1)
    log_floor = float(r.f32(1)[0])
    mean, std = r.f32(bands), r.f32(bands)
    languages, width = r.counts(2)
    output_weights = r.f32(languages * width).reshape(languages, width)
    output_bias = r.f32(languages)
    (levels,) = r.counts(1)
    norm_epsilon = float(r.f32(1)[0])

    def layer():
        H, I = r.counts(2)
        return Layer(H, I, r.take("i1", 3 * H * (H + I)).reshape(3 * H, H + I), r.take("i1", 3 * H))

    forward = [layer() for _ in range(levels)]
    backward = [layer() for _ in range(levels)]
    embedding, pooled = r.counts(2)
    (has_projection,) = r.i32()
    projection = r.f32(embedding * pooled).reshape(embedding, pooled) if has_projection else None
    return Model(window_length, hop_length, log_floor, mean, std, output_weights, output_bias, norm_epsilon,
                 forward, backward, embedding, pooled, has_projection, projection)


def read(path):
    with open(path, "rb") as f:
        return parse(f.read(), str(path))


def _i32(*values):
    return struct.pack("<" + "i" * len(values), *values)


def _f32(values):
    return np.asarray(values, dtype="<f4").tobytes()


def _i8(values):
    """int8 bytes of integer values; anything else is refused rather than cast."""
    a = np.asarray(values)
    if not np.issubdtype(a.dtype, np.integer) or (a.size and (a.min() < -128 or a.max() > 127)):
        raise ValueError(f"int8 weights expected, got {a.dtype} values")
    return a.astype("i1").tobytes()


def _check(condition, what):
    if not condition:
        raise ValueError(f"inconsistent model: {what}")


def encode(model):
    """The bytes of a .qx file. Counts are taken from the arrays, so each
    count and the array it sizes always agree."""
    m = model
    ow = np.asarray(m.output_weights)
    _check(ow.ndim == 2, "output_weights is not a matrix")
    _check(np.size(m.feature_std) == m.num_mel_bands, "feature_mean and feature_std differ in length")
    _check(np.size(m.output_bias) == ow.shape[0], "output_bias is not one per language")
    _check(len(m.forward) == len(m.backward), "forward and backward level counts differ")
    out = [MAGIC, VERSION, _i32(m.window_length, m.hop_length, m.num_mel_bands), _f32([m.log_floor]),
           _f32(m.feature_mean), _f32(m.feature_std),
           _i32(*ow.shape), _f32(ow.reshape(-1)), _f32(m.output_bias),
           _i32(m.num_layers), _f32([m.norm_epsilon])]
    for layer in m.forward + m.backward:
        H, I = layer.hidden_size, layer.input_size
        _check(np.shape(layer.weights) == (3 * H, H + I), f"layer weights {np.shape(layer.weights)} for H {H}, I {I}")
        _check(np.shape(layer.bias) == (3 * H,), f"layer bias {np.shape(layer.bias)} for H {H}")
        out += [_i32(H, I), _i8(layer.weights), _i8(layer.bias)]
    out.append(_i32(m.embedding_size, m.pooled_size, m.has_projection))
    if m.has_projection:
        p = np.asarray(m.projection_weights)
        _check(p.shape == (m.embedding_size, m.pooled_size), "projection is not embedding_size x pooled_size")
        out.append(_f32(p.reshape(-1)))
    return b"".join(out)


def write(path, model):
    data = encode(model)  # whole before the file is opened: a refused model leaves no file
    with open(path, "wb") as f:
        f.write(data)
