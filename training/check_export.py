#!/usr/bin/env python3
"""Checks that the exported models compute in the library what they computed
in torch: the same audio through train-time emulation and through
qx_orb_train_tool evaluate (engine and detector).

    check_export.py WORK TOOL MODEL.qx
"""
import json
import subprocess
import sys
import tempfile

import numpy as np
import torch

import data
import qat
import train


def main():
    work, tool, model_path = sys.argv[1:4]
    torch.set_num_threads(1)
    rows = data.manifest(work, "test")[:3]
    x = np.concatenate([data.load_pcm(f"{work}/audio/test/{r['id']}.pcm") for r in rows])
    x = x / (data.active_rms(x) + 1e-9) * 10 ** (-25 / 20)
    n = len(x) // 32768 * 32768
    x = x[:n]
    with tempfile.TemporaryDirectory() as tmp:
        data.to_int16(x).tofile(f"{tmp}/a.pcm")
        out = subprocess.run([tool, "evaluate", model_path, "0", f"{tmp}/a.pcm"], check=True,
                             capture_output=True, text=True).stdout
    lib_frames = np.array([[float(v) for v in l.split()[3:]] for l in out.splitlines() if l.startswith("frame")])
    lib_chunks = np.array([float(l.split()[2]) for l in out.splitlines() if l.startswith("chunk")])
    mel, vad = data.run_tool(tool, x, 32768)

    state = torch.load(f"{work}/models/classifier.pt")
    meta = json.load(open(f"{work}/models/meta.json"))
    model = qat.Classifier(hidden=meta["hidden"], eps=meta["eps"])
    model.load_state_dict(state)
    with torch.no_grad():
        p = torch.softmax(model(torch.tensor(train.rows_of(mel))), 1).numpy()
    print("classifier: max |torch - library| over", len(p), "frames:", float(np.abs(p - lib_frames).max()),
          "argmax agreement:", float((p.argmax(1) == lib_frames.argmax(1)).mean()))

    weights = json.load(open(f"{work}/models/vad_weights.json"))
    det = qat.Detector()
    sd = {"w1": "QX_VAD_LAYER1_INPUT_WEIGHTS", "b1": "QX_VAD_LAYER1_INPUT_BIAS",
          "u1": "QX_VAD_LAYER1_RECURRENT_WEIGHTS", "c1": "QX_VAD_LAYER1_RECURRENT_BIAS",
          "w2": "QX_VAD_LAYER2_INPUT_WEIGHTS", "b2": "QX_VAD_LAYER2_INPUT_BIAS",
          "u2": "QX_VAD_LAYER2_RECURRENT_WEIGHTS", "c2": "QX_VAD_LAYER2_RECURRENT_BIAS",
          "wo": "QX_VAD_OUTPUT_WEIGHTS", "bo": "QX_VAD_OUTPUT_BIAS"}
    with torch.no_grad():
        for name, key in sd.items():
            p_ = getattr(det, name)
            p_.copy_(torch.tensor(weights[key], dtype=torch.float32).reshape(p_.shape) / 128.0)
        shift = np.array(weights["QX_VAD_STANDARDIZE_SHIFT"], np.int16)
        scale = np.array(weights["QX_VAD_STANDARDIZE_SCALE"], np.int16)
        m = len(vad) // 2
        xin = torch.tensor(train.detector_inputs(vad[:2 * m].reshape(m, 80), shift, scale))[None]
        logits, _ = det(xin)
        pv = torch.softmax(logits[0], 1)[:, 1].numpy()
    k = min(len(pv), len(lib_chunks))
    print("detector: max |torch - library| over", k, "chunks:", float(np.abs(pv[:k] - lib_chunks[:k]).max()),
          "decision agreement:", float(((pv[:k] >= 0.5) == (lib_chunks[:k] >= 0.5)).mean()))


if __name__ == "__main__":
    main()
