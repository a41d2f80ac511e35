"""Quantisation-aware building blocks that follow the library's fixed point.

Values are carried as floats in real units; the forward pass rounds them to
the grids the integer operators use (Q7 weights and biases, Q10 activations
saturated to int16, Q15 gates) and gradients pass straight through the
rounding. Sigmoid and tanh are clamped where the table-based versions
saturate (sigmoid input to [-8, 8128/1024]; tanh input through sat16(2x)).
"""
import numpy as np
import torch

import qx_format

Q10_MIN, Q10_MAX = -32768 / 1024, 32767 / 1024
SIG_MIN, SIG_MAX = -8192 / 1024, 8128 / 1024


class _RoundSTE(torch.autograd.Function):
    @staticmethod
    def forward(ctx, x):
        return torch.round(x)

    @staticmethod
    def backward(ctx, g):
        return g


def rnd(x):
    return _RoundSTE.apply(x)


def q10(x):
    """A stored Q10 value: rounded and saturated to int16."""
    return torch.clamp(rnd(x * 1024.0), -32768, 32767) / 1024.0


def q7(w):
    """An int8 Q7 weight or bias."""
    return torch.clamp(rnd(w * 128.0), -128, 127) / 128.0


def q15(x):
    return rnd(x * 32768.0) / 32768.0


def sigmoid_q15(x):
    return q15(torch.sigmoid(torch.clamp(x, SIG_MIN, SIG_MAX)))


def tanh_q15(x):
    y = torch.clamp(2.0 * x, Q10_MIN, Q10_MAX)
    return 2.0 * sigmoid_q15(y) - 1.0


def cell_step(c, gates, width):
    """lstm_cell_i16: gates z, u, o; returns new cell and h (both Q10)."""
    z = sigmoid_q15(gates[..., :width])
    u = tanh_q15(gates[..., width:2 * width])
    o = sigmoid_q15(gates[..., 2 * width:])
    c = q10(c * (1.0 - z) + z * u)
    h = q10(tanh_q15(c) * o)
    return c, h


def to_q7_int(w):
    return np.clip(np.round(w.detach().cpu().numpy() * 128.0), -128, 127).astype(np.int8)


# ---- Voice detector ----------------------------------------------------------

class Detector(torch.nn.Module):
    """Two recurrent layers of 80 over two stacked rows of 40 standardised bands."""

    def __init__(self, units=80, inputs=80):
        super().__init__()
        self.units = units
        init = lambda *s, k: torch.nn.Parameter(torch.empty(*s).uniform_(-k, k))
        self.w1 = init(3 * units, inputs, k=0.25)
        self.b1 = torch.nn.Parameter(torch.zeros(3 * units))
        self.u1 = init(3 * units, units, k=0.25)
        self.c1 = torch.nn.Parameter(torch.zeros(3 * units))
        self.w2 = init(3 * units, units, k=0.25)
        self.b2 = torch.nn.Parameter(torch.zeros(3 * units))
        self.u2 = init(3 * units, units, k=0.25)
        self.c2 = torch.nn.Parameter(torch.zeros(3 * units))
        self.wo = init(2, units, k=0.25)
        self.bo = torch.nn.Parameter(torch.zeros(2))

    def forward(self, x, state=None):
        """x: [batch, steps, 80] standardised Q10 values; returns logits [batch, steps, 2]."""
        n, steps, _ = x.shape
        H = self.units
        if state is None:
            z = x.new_zeros(n, H)
            state = (z, z, z, z)
        h1, c1, h2, c2 = state
        w1, b1, u1, cb1 = q7(self.w1), q7(self.b1), q7(self.u1), q7(self.c1)
        w2, b2, u2, cb2 = q7(self.w2), q7(self.b2), q7(self.u2), q7(self.c2)
        wo, bo = q7(self.wo), q7(self.bo)
        # The input part of layer 1 does not depend on the state: all steps at once.
        g_in = q10(x @ w1.t() + b1).unbind(1)
        outs = []
        for t in range(steps):
            g = q10(g_in[t] + q10(h1 @ u1.t() + cb1))
            c1, h1 = cell_step(c1, g, H)
            g = q10(q10(h1 @ w2.t() + b2) + q10(h2 @ u2.t() + cb2))
            c2, h2 = cell_step(c2, g, H)
            outs.append(h2)
        hs = torch.stack(outs, 1)
        logits = q10(hs @ wo.t() + bo)
        return logits, (h1, c1, h2, c2)

    def export(self, shift, scale):
        """The 12 tables as the weights JSON of tools/generate_vad_weights.py."""
        flat = lambda p: [int(v) for v in to_q7_int(p).reshape(-1)]
        return {
            "QX_VAD_STANDARDIZE_SHIFT": [int(v) for v in shift],
            "QX_VAD_STANDARDIZE_SCALE": [int(v) for v in scale],
            "QX_VAD_LAYER1_INPUT_WEIGHTS": flat(self.w1),
            "QX_VAD_LAYER1_INPUT_BIAS": flat(self.b1),
            "QX_VAD_LAYER1_RECURRENT_WEIGHTS": flat(self.u1),
            "QX_VAD_LAYER1_RECURRENT_BIAS": flat(self.c1),
            "QX_VAD_LAYER2_INPUT_WEIGHTS": flat(self.w2),
            "QX_VAD_LAYER2_INPUT_BIAS": flat(self.b2),
            "QX_VAD_LAYER2_RECURRENT_WEIGHTS": flat(self.u2),
            "QX_VAD_LAYER2_RECURRENT_BIAS": flat(self.c2),
            "QX_VAD_OUTPUT_WEIGHTS": flat(self.wo),
            "QX_VAD_OUTPUT_BIAS": flat(self.bo),
        }


def standardize_i16(x, shift, scale):
    """standardize_i16 on int16 front-end values (exact, numpy int32)."""
    v = ((x.astype(np.int32) - shift.astype(np.int32)) * scale.astype(np.int32)) >> 10
    return np.clip(v, -32768, 32767).astype(np.int16)


# ---- Language classifier -----------------------------------------------------

def normalize_columns(x, eps):
    """normalize_f32_to_i16 over the rows of each column, as Q10 floats.
    x: [batch, T, I0] float features."""
    mean = x.mean(1, keepdim=True)
    var = ((x - mean) ** 2).mean(1, keepdim=True)
    y = (x - mean) / torch.sqrt(var + eps) * 1024.0
    return torch.clamp(torch.trunc(y), -32768, 32767) / 1024.0


class Classifier(torch.nn.Module):
    def __init__(self, inputs=80, hidden=(96, 96), classes=9, eps=1e-3):
        super().__init__()
        self.hidden = list(hidden)
        self.inputs = inputs
        self.eps = eps
        self.w = torch.nn.ParameterList()
        self.b = torch.nn.ParameterList()
        size = inputs
        for H in hidden:
            k = 1.0 / np.sqrt(H + size)
            # [2 directions, 3H, H + I]: columns [h, x] as in the file.
            self.w.append(torch.nn.Parameter(torch.empty(2, 3 * H, H + size).uniform_(-k, k) * 2))
            bias = torch.zeros(2, 3 * H)
            self.b.append(torch.nn.Parameter(bias))
            size = H
        self.out_w = torch.nn.Parameter(torch.empty(classes, size).uniform_(-0.05, 0.05))
        self.out_b = torch.nn.Parameter(torch.zeros(classes))

    def pooled(self, x):
        """x: [batch, T, I0] feature rows (file mean/std already applied)."""
        return self.steps(x).sum(1)

    def steps(self, x):
        """The last level's output per step, [batch, T, H], before the sum
        over time: what an auxiliary head reads in training."""
        x = normalize_columns(x, self.eps)
        n, T, _ = x.shape
        for level, H in enumerate(self.hidden):
            w, b = q7(self.w[level]), q7(self.b[level])
            I = x.shape[2]
            # Input part for all steps, both directions: [2, n, T, 3H] (summed in
            # int32 with the recurrent part inside dense_i8, so no rounding here).
            xin = torch.einsum("nti,dgi->dntg", x, w[:, :, H:]) + b[:, None, None, :]
            wh = w[:, :, :H]
            h = x.new_zeros(2, n, H)
            c = x.new_zeros(2, n, H)
            fw, bw = [None] * T, [None] * T
            # unbind once: indexing a step at a time costs a full-size
            # gradient buffer per step in the backward pass
            xin_f, xin_b = xin[0].unbind(1), xin[1].unbind(1)
            for k in range(T):
                t_b = T - 1 - k
                xi = torch.stack([xin_f[k], xin_b[t_b]])
                g = q10(torch.bmm(h, wh.transpose(1, 2)) + xi)
                c, h = cell_step(c, g, H)
                fw[k], bw[t_b] = h[0], h[1]
            x = q10(torch.stack(fw, 1) + torch.stack(bw, 1))
        return x

    def forward(self, x):
        return self.pooled(x) @ self.out_w.t() + self.out_b

    def export_qx(self, path, hop, bands, log_floor, mean, std):
        """Writes the model file: the feature settings given, the output
        layer, the recurrent stack; no projection."""
        if bands != len(mean):
            raise ValueError(f"{bands} bands but {len(mean)} feature means")
        directions = []
        for d in (0, 1):
            size, layers = self.inputs, []
            for level, H in enumerate(self.hidden):
                layers.append(qx_format.Layer(H, size, to_q7_int(self.w[level][d]), to_q7_int(self.b[level][d])))
                size = H
            directions.append(layers)
        P = self.hidden[-1]
        qx_format.write(path, qx_format.Model(
            window_length=512, hop_length=hop, log_floor=log_floor, feature_mean=mean, feature_std=std,
            output_weights=self.out_w.detach().numpy(), output_bias=self.out_b.detach().numpy(),
            norm_epsilon=self.eps, forward=directions[0], backward=directions[1],
            embedding_size=P, pooled_size=P, has_projection=0))


def read_qx_state(path):
    """The state dict of a model file written by export_qx, so that training
    can continue from a shipped model whose torch checkpoint is gone. Q7
    values come back exactly (int / 128); a projection is not read."""
    model = qx_format.read(path)
    state = {"out_w": torch.tensor(model.output_weights), "out_b": torch.tensor(model.output_bias)}
    for level in range(model.num_layers):
        layers = (model.forward[level], model.backward[level])
        state[f"w.{level}"] = torch.tensor(np.stack([l.weights for l in layers]) / 128.0, dtype=torch.float32)
        state[f"b.{level}"] = torch.tensor(np.stack([l.bias for l in layers]) / 128.0, dtype=torch.float32)
    return state
