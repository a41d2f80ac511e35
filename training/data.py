#!/usr/bin/env python3
"""Augmented examples and their features, through the library's own code.

    data.py WORK TOOL classifier SPLIT CROPS_PER_UTTERANCE
    data.py WORK TOOL detector SPLIT SECONDS

classifier: 2.048 s crops of each utterance of SPLIT (train, test), augmented
for train, and their log-mel rows -> WORK/features/cls-SPLIT.npz
  (mel float16 [n, 128, 40], label int8 [n], lang, id). SPLIT recorded-train
  and recorded-val: the recorded clips of that part (recorded.py), joined
  into utterances CROPS times over in new orders, 3 crops each, with corpus
  and speaker per crop. SPLIT phrases: the short phrases of phrases.py, each
  whole inside silence in every crop, with its phonemes per crop.
detector: long streams of speech and non-speech segments, their front-end
values and per-chunk labels -> WORK/features/vad-SPLIT.npz
  (vad int16 [n_chunks, 80], label int8 [n_chunks], kind int8 [n_chunks]).
Fixed seeds throughout; an existing output is kept (resumable). Training
utterances added to the corpus later get their own cls-train-N.npz.
"""
import glob
import json
import multiprocessing
import os
import subprocess
import sys
import tempfile

import numpy as np

import recorded

LABELS = ["unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt"]
FRAME = 32768
SR = 16000


def load_pcm(path):
    return np.fromfile(path, dtype="<i2").astype(np.float32) / 32768.0


def manifest(work, split):
    rows = [json.loads(l) for l in open(f"{work}/audio/manifest.jsonl")]
    return [r for r in rows if r["split"] == split]


# ---- Noise and music pools ---------------------------------------------------

def colored_noise(rng, n, kind):
    white = rng.standard_normal(n).astype(np.float32)
    if kind == "white":
        return white
    spec = np.fft.rfft(white)
    f = np.arange(len(spec), dtype=np.float32) + 1.0
    spec /= np.sqrt(f) if kind == "pink" else f
    x = np.fft.irfft(spec, n).astype(np.float32)
    return x / (np.std(x) + 1e-9)


def decode_files(files, path, gap=0):
    """Decodes files to one 16 kHz int16 stream, with `gap` samples of
    digital silence after each."""
    parts = []
    with tempfile.TemporaryDirectory() as tmp:
        for i, p in enumerate(files):
            raw = f"{tmp}/{i}.raw"
            r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", p, "-ar", "16000", "-ac", "1",
                                "-f", "s16le", raw])
            if r.returncode == 0:
                parts.append(open(raw, "rb").read() + bytes(2 * gap))
    # Workers may decode the same pool at once: each writes its own file and
    # the identical results replace one another atomically.
    tmp_path = f"{path}.{os.getpid()}.tmp"
    with open(tmp_path, "wb") as f:
        f.write(b"".join(parts))
    os.replace(tmp_path, path)


def music_pool(work, part="train"):
    """Music (music on hold, game music) decoded once to 16 kHz; files
    alternate between the training and the held-out part."""
    path = f"{work}/audio/music2-{part}.pcm"
    if not os.path.exists(path):
        files = sorted(glob.glob("/usr/share/asterisk/moh/**/*.g722", recursive=True))
        files += sorted(glob.glob("/usr/share/games/supertux2/music/**/*.ogg", recursive=True))
        files += sorted(glob.glob("/usr/share/games/hedgewars/Data/Music/*.ogg"))
        decode_files(files[0::2] if part == "train" else files[1::2], path)
    x = load_pcm(path)
    return x / (np.std(x) + 1e-9) if len(x) else colored_noise(np.random.default_rng(0), SR * 10, "pink")


def effects_pool(work, part="train"):
    """Game sound effects (no voices), alternating files as for music."""
    path = f"{work}/audio/effects2-{part}.pcm"
    if not os.path.exists(path):
        files = sorted(glob.glob("/usr/share/games/supertux2/sounds/*.wav"))
        files += sorted(glob.glob("/usr/share/games/supertux2/sounds/*.ogg"))
        files += sorted(glob.glob("/usr/share/games/hedgewars/Data/Sounds/*.ogg"))
        # effects that may hold a voice stay out (speech/ and voices/ are never read)
        vocal = ("excellent", "welldone", "grunts", "hurt", "yeti", "mr_tree", "tree_howling",
                 "Hellish", "Kiss", "Yoohoo", "hell_", "hogchant", "countdown")
        files = [f for f in files if not os.path.basename(f).startswith(vocal)]
        decode_files(files[0::2] if part == "train" else files[1::2], path)
    x = load_pcm(path)
    return x if len(x) else colored_noise(np.random.default_rng(0), SR, "white")


def words_pool(work, part="train"):
    """Recorded letters, syllables and words (klettres, ktuberling), one
    file after another with short pauses: speech for the detector."""
    path = f"{work}/audio/words-{part}.pcm"
    if not os.path.exists(path):
        files = sorted(glob.glob("/usr/share/klettres/**/*.ogg", recursive=True))
        files += sorted(glob.glob("/usr/share/ktuberling/sounds/**/*.ogg", recursive=True))
        decode_files(files[0::2] if part == "train" else files[1::2], path, gap=SR // 8)
    return load_pcm(path)


def add_effects(rng, x, effects, count, low_db, high_db):
    """Adds `count` sound effects of 1/8 to 1 s to x in place, each at a
    random place and a random level from low_db to high_db (RMS)."""
    for _ in range(count):
        s0 = rng.integers(0, max(1, len(effects) - SR))
        e = effects[s0:s0 + rng.integers(SR // 8, SR)]
        at = rng.integers(0, max(1, len(x) - len(e)))
        e = e[:len(x) - at] / (rms(e) + 1e-9) * 10 ** (rng.uniform(low_db, high_db) / 20)
        x[at:at + len(e)] += e


def tone_or_clicks(rng, n):
    t = np.arange(n) / SR
    kind = rng.integers(3)
    if kind == 0:  # steady or beeping tones
        x = np.sin(2 * np.pi * rng.uniform(100, 4000) * t)
        if rng.random() < 0.5:
            x *= (np.sin(2 * np.pi * rng.uniform(0.5, 4) * t) > 0)
    elif kind == 1:  # clicks
        x = np.zeros(n)
        for pos in rng.integers(0, n, size=rng.integers(1, 40)):
            x[pos:pos + 40] += rng.standard_normal(min(40, n - pos)) * np.exp(-np.arange(min(40, n - pos)) / 8)
    else:  # hum with harmonics
        f0 = rng.choice([50.0, 60.0])
        x = sum(np.sin(2 * np.pi * f0 * k * t) / k for k in range(1, 8))
    x = x.astype(np.float32)
    return x / (np.std(x) + 1e-9)


# ---- Augmentation ------------------------------------------------------------

def rms(x):
    return float(np.sqrt(np.mean(x ** 2) + 1e-12))


def active_rms(x):
    """RMS over the louder chunks, a speech level that ignores pauses."""
    n = len(x) // 512
    if n == 0:
        return rms(x)
    e = np.sqrt(np.mean(x[:n * 512].reshape(n, 512) ** 2, 1) + 1e-12)
    return float(np.sqrt(np.mean(e[e > 0.1 * e.max()] ** 2)))


def lowpass(x, cutoff, rng=None):
    spec = np.fft.rfft(x)
    f = np.fft.rfftfreq(len(x), 1 / SR)
    spec *= 1.0 / (1.0 + (f / cutoff) ** 16)
    return np.fft.irfft(spec, len(x)).astype(np.float32)


def highpass(x, cutoff):
    spec = np.fft.rfft(x)
    f = np.fft.rfftfreq(len(x), 1 / SR)
    spec *= 1.0 / (1.0 + (cutoff / np.maximum(f, 1.0)) ** 8)
    return np.fft.irfft(spec, len(x)).astype(np.float32)


def reverb(rng, x):
    rt60 = rng.uniform(0.15, 0.7)
    n = int(rt60 * SR)
    ir = rng.standard_normal(n).astype(np.float32) * np.exp(-6.9 * np.arange(n) / n)
    ir[0] = 1.0 / rng.uniform(0.3, 1.0)
    y = np.fft.irfft(np.fft.rfft(x, len(x) + n) * np.fft.rfft(ir, len(x) + n))[:len(x)]
    return (y * active_rms(x) / (active_rms(y) + 1e-9)).astype(np.float32)


def mulaw(x):
    """G.711 mu-law at 8 kHz: band-limit, decimate, 8-bit companding, back up."""
    y = lowpass(x, 3600)[::2]
    mu = 255.0
    c = np.sign(y) * np.log1p(mu * np.minimum(np.abs(y), 1.0)) / np.log1p(mu)
    c = np.round(c * 127) / 127
    y = np.sign(c) * ((1 + mu) ** np.abs(c) - 1) / mu
    up = np.zeros(len(x), dtype=np.float32)
    up[::2] = y[:len(up[::2])]
    return lowpass(up * 2, 3800)


def codec(x, kind):
    """x through a telephone codec and back: GSM 06.10 at 8 kHz (sox) or
    G.722 at 16 kHz (ffmpeg; sox has no G.722)."""
    with tempfile.TemporaryDirectory() as tmp:
        to_int16(x).tofile(f"{tmp}/in.raw")
        raw = ["-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1"]
        if kind == "gsm":
            cmds = [["sox", *raw, f"{tmp}/in.raw", "-r", "8000", "-t", "gsm", f"{tmp}/c.gsm"],
                    ["sox", "-t", "gsm", f"{tmp}/c.gsm", *raw, f"{tmp}/out.raw"]]
        else:
            pcm = ["-f", "s16le", "-ar", "16000", "-ac", "1"]
            cmds = [["ffmpeg", "-v", "error", "-y", *pcm, "-i", f"{tmp}/in.raw", "-c:a", "g722", "-f", "g722",
                     f"{tmp}/c.g722"],
                    ["ffmpeg", "-v", "error", "-y", "-f", "g722", "-i", f"{tmp}/c.g722", *pcm, f"{tmp}/out.raw"]]
        for cmd in cmds:
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        y = load_pcm(f"{tmp}/out.raw")
    if kind == "g722":
        y = y[22:]  # the codec's delay
    return np.pad(y, (0, max(0, len(x) - len(y))))[:len(x)]


def speed(rng, x):
    factor = rng.uniform(0.88, 1.12)
    pos = np.arange(0, len(x) - 1, factor)
    return np.interp(pos, np.arange(len(x)), x).astype(np.float32)


def noise_of(rng, kind, n, music, babble_src):
    if kind in ("white", "pink", "brown"):
        return colored_noise(rng, n, kind)
    if kind == "music":
        start = rng.integers(0, max(1, len(music) - n))
        seg = music[start:start + n]
        return np.pad(seg, (0, n - len(seg)))
    if kind == "babble":
        x = np.zeros(n, dtype=np.float32)
        for _ in range(rng.integers(3, 7)):
            u = babble_src[rng.integers(len(babble_src))]
            u = np.tile(u, 1 + n // max(1, len(u)))[:n]
            x += np.roll(u, rng.integers(n)) / (rms(u) + 1e-9)
        return x / (rms(x) + 1e-9)
    return tone_or_clicks(rng, n)


def augment(rng, x, music, babble_src, strength=1.0, keep_timing=False):
    """Speech x (float, any level) -> augmented signal at a random level.
    keep_timing: no speed change, so per-chunk labels stay aligned."""
    if not keep_timing and rng.random() < 0.3 * strength:
        x = speed(rng, x)
    if rng.random() < 0.25 * strength:
        x = reverb(rng, x)
    if rng.random() < 0.3 * strength:
        x = lowpass(x, rng.uniform(3400, 4000))
    if rng.random() < 0.3 * strength:
        x = highpass(x, rng.uniform(80, 300))
    if rng.random() < 0.12 * strength:
        x = mulaw(x / (np.abs(x).max() + 1e-9) * 0.5)
    elif rng.random() < 0.1 * strength:
        x = codec(x / (np.abs(x).max() + 1e-9) * 0.5, rng.choice(["gsm", "g722"]))
    x = x / (active_rms(x) + 1e-9)
    if rng.random() < 0.6 * strength:
        kind = rng.choice(["white", "pink", "brown", "music", "babble", "tone"],
                          p=[0.15, 0.2, 0.15, 0.25, 0.2, 0.05])
        snr = rng.uniform(0, 30)
        x = x + noise_of(rng, kind, len(x), music, babble_src) * 10 ** (-snr / 20)
    level = rng.uniform(-45, -10)  # dBFS RMS of the speech
    return x * 10 ** (level / 20)


def to_int16(x):
    return np.clip(np.round(x * 32768), -32768, 32767).astype("<i2")


def run_tool(tool, pcm, stride):
    with tempfile.TemporaryDirectory() as tmp:
        to_int16(pcm).tofile(f"{tmp}/in.pcm")
        subprocess.run([tool, "features", f"{tmp}/in.pcm", f"{tmp}/out", str(stride)], check=True)
        mel = np.fromfile(f"{tmp}/out.mel", dtype=np.float32).reshape(-1, 128, 40)
        vad = np.fromfile(f"{tmp}/out.vad", dtype=np.int16).reshape(-1, 40)
    return mel, vad


# ---- Classifier examples -----------------------------------------------------

CHUNK = 400  # utterances per unit of work; each chunk has its own seed


def classifier_set(work, tool, split, crops, rows=None, first_chunk=0):
    if rows is None and split.startswith("recorded-"):  # crops: how often each clip is heard
        rows, crops = recorded_utterances(work, split[len("recorded-"):], crops), 3
    elif rows is None and split == "phrases":
        rows = [r for r in map(json.loads, open(f"{work}/audio/phrases.jsonl")) if "phones" in r]
    elif rows is None:
        rows = manifest(work, split)
    chunks = [(work, tool, split, crops, first_chunk + k, rows[k * CHUNK:(k + 1) * CHUNK])
              for k in range((len(rows) + CHUNK - 1) // CHUNK)]
    # Chunks are independent (own seed), so the worker count changes nothing
    # but the time.
    workers = int(os.environ.get("QX_TRAINING_JOBS", "2"))
    with multiprocessing.Pool(workers) as pool:
        parts = []
        for k, part in enumerate(pool.imap(classifier_chunk, chunks)):
            if part is not None:
                parts.append(part)
            print(f"{split}: {min(len(rows), (k + 1) * CHUNK)}/{len(rows)} utterances", flush=True)
    return {key: np.concatenate([p[key] for p in parts]) for key in parts[0]}


_POOLS = {}


def training_noise(work):
    """Music and babble sources, loaded once per worker process."""
    if work not in _POOLS:
        babble = [load_pcm(f"{work}/audio/train/{r['id']}.pcm") for r in manifest(work, "train")[::97][:60]]
        _POOLS[work] = (music_pool(work), babble)
    return _POOLS[work]


SEEDS = {"train": 1, "test": 2, "recorded-train": 4, "recorded-val": 5, "phrases": 6}
GAP = SR // 4  # between recorded clips, as in the evaluation streams


def load_utterance(work, r):
    """A corpus utterance, or recorded clips joined by short gaps."""
    if "clips" not in r:
        return load_pcm(f"{work}/audio/{r['split']}/{r['id']}.pcm")
    gap = np.zeros(GAP, np.float32)
    return np.concatenate([part for c in r["clips"] for part in (load_pcm(f"{work}/{c}"), gap)])


def classifier_chunk(args):
    work, tool, split, crops, chunk, rows = args
    rng = np.random.default_rng([SEEDS[split], chunk])
    music, babble = training_noise(work)
    frames, labels, keep = [], [], []
    for r in rows:
        x = load_utterance(work, r)
        if len(x) < (4000 if split == "phrases" else 8000):  # a phrase may be one short word
            continue
        for _ in range(crops):
            if len(x) >= FRAME:
                s = rng.integers(0, len(x) - FRAME + 1)
                seg = x[s:s + FRAME]
            else:  # partial-speech frame: the utterance inside silence
                seg = np.zeros(FRAME, dtype=np.float32)
                # a phrase must survive the slowest speed change whole: its phonemes are all labelled
                room = int(FRAME * 0.88) if split == "phrases" else FRAME
                s = rng.integers(0, max(0, room - len(x)) + 1)
                seg[s:s + len(x)] = x
            if active_rms(seg) < 1e-4:
                continue
            strength = 1.0 if split in ("train", "recorded-train", "phrases") else 0.0
            y = augment(rng, seg, music, babble, strength) if strength else \
                seg / (active_rms(seg) + 1e-9) * 10 ** (rng.uniform(-35, -15) / 20)
            frames.append(y[:FRAME] if len(y) >= FRAME else np.pad(y, (0, FRAME - len(y))))
            labels.append(LABELS.index(r["label"]))
            keep.append(r)
    if not frames:  # every utterance of the chunk too short or silent
        return None
    mel, _ = run_tool(tool, np.concatenate(frames), FRAME)
    out = {"mel": mel.astype(np.float16), "label": np.array(labels, np.int8),
           "lang": np.array([r["lang"] for r in keep]), "id": np.array([r["id"] for r in keep])}
    if "corpus" in rows[0]:
        out["corpus"] = np.array([r["corpus"] for r in keep])
        out["speaker"] = np.array([r["speaker"] for r in keep])
    if "phones" in rows[0]:  # a phrase is shorter than a frame: every crop holds all of it
        out["phones"] = np.array([" ".join(r["phones"]) for r in keep])
        out["voice"] = np.array([f"espeak-ng+{r['variant']}" if r["variant"] else f"{r['engine']}:{r['voice']}"
                                 for r in keep])
    return out


def recorded_utterances(work, part, repeats, seconds=8.0):
    """Each speaker's clips of PART, shuffled `repeats` times and joined
    into utterances of about `seconds`: every clip is heard beside several
    neighbours, and a speaker with few clips still fills a crop."""
    by_speaker = {}
    for c in recorded.clips(work):
        if c["part"] == part:
            by_speaker.setdefault(c["speaker"], []).append(c)
    rows = []
    for speaker, clips in sorted(by_speaker.items()):
        rng = np.random.default_rng(list(speaker.encode()))
        for rep in range(repeats):
            order = rng.permutation(len(clips))
            group, length = [], 0.0
            for k in order:
                group.append(clips[k])
                length += clips[k]["seconds"] + GAP / SR
                if length >= seconds or k == order[-1]:
                    rows.append({"id": f"{speaker}-{len(rows):05d}", "lang": group[0]["lang"],
                                 "label": group[0]["label"], "corpus": group[0]["corpus"],
                                 "speaker": speaker, "clips": [g["path"] for g in group]})
                    group, length = [], 0.0
    return rows


# ---- Detector streams --------------------------------------------------------

def active_chunks(x):
    """Per 512-sample chunk: where the clean utterance is active."""
    n = len(x) // 512
    e = np.sqrt(np.mean(x[:n * 512].reshape(n, 512) ** 2, 1) + 1e-12)
    return e > 10 ** (-35 / 20) * e.max()


def hold(active, bridge, hangover=0):
    """Chunk labels from activity: a pause of fewer than `bridge` chunks
    counts as speech, and so do `hangover` chunks after each stretch of
    speech (a detector should hold through the pauses between words)."""
    label = active.copy()
    idx = np.flatnonzero(active)
    for a, b in zip(idx[:-1], idx[1:]):
        if b - a <= bridge:
            label[a:b] = True
    ends = np.flatnonzero(label[:-1] & ~label[1:]) + 1
    for e in ends:
        label[e:e + hangover] = True
    return label


KINDS = ["speech", "silence", "noise", "music", "tone", "effects"]
RECORDED = len(KINDS)  # kind of the held-out streams of recorded validation clips


def recorded_groups(work, part, rng):
    """Each speaker's clips of PART in a random order, in groups of one to
    six: joined by the evaluation streams' gaps, as a host would hear them."""
    by_speaker = {}
    for c in recorded.clips(work):
        if c["part"] == part:
            by_speaker.setdefault(c["speaker"], []).append(c["path"])
    rows = []
    for speaker, paths in sorted(by_speaker.items()):
        order = list(rng.permutation(len(paths)))
        while order:
            k = int(rng.integers(1, 7))
            rows.append({"clips": [paths[i] for i in order[:k]]})
            order = order[k:]
    return rows


def detector_set(work, tool, split, seconds):
    rng = np.random.default_rng({"train": 11, "test": 12, "real": 13}[split])
    rows = manifest(work, split)
    if split == "train":  # recorded speech is speech, whatever its language (validation clips stay out)
        rows += recorded_groups(work, "train", rng)[::2]
    part = "test" if split == "test" else "train"  # held out: music and effects never heard
    music = music_pool(work, part)
    effects = effects_pool(work, part)
    words = words_pool(work, part)
    babble = [load_pcm(f"{work}/audio/train/{r['id']}.pcm") for r in manifest(work, "train")[::89][:60]]
    streams, labels, actives, kinds = [], [], [], []
    total = 0
    while total < seconds * SR:
        kind = rng.choice(KINDS, p=[0.36, 0.07, 0.13, 0.3, 0.06, 0.08])
        if kind == "speech" and len(words) > 10 * SR and rng.random() < 0.2:
            n = int(rng.uniform(1, 6) * SR) // 512 * 512
            s0 = rng.integers(0, len(words) - n)
            x = words[s0:s0 + n]
            x = x / (active_rms(x) + 1e-9) * 0.1
            active = active_chunks(x)
            x = augment(rng, x, music, babble, 0.7, keep_timing=True)
        elif kind == "speech":
            r = rows[rng.integers(len(rows))]
            x = load_utterance(work, r)
            active = active_chunks(x)
            x = x[:len(active) * 512]
            x = augment(rng, x, music, babble, 0.7, keep_timing=True)
        else:
            # A host hears minutes of music: a detector that only ever heard
            # a few seconds of it drifts into voicing it after a while.
            seconds = rng.uniform(0.5, 6) if rng.random() < 0.75 else rng.uniform(6, 24)
            n = int(seconds * SR) // 512 * 512
            if kind == "effects":  # sound effects with gaps of faint noise
                x = colored_noise(rng, n, "pink") * 10 ** (rng.uniform(-80, -55) / 20)
                add_effects(rng, x, effects, rng.integers(1, 6), -40, -10)
            elif kind == "silence":
                x = np.zeros(n, np.float32) if rng.random() < 0.5 else \
                    colored_noise(rng, n, "white") * 10 ** (rng.uniform(-90, -70) / 20)
            else:
                nk = {"noise": rng.choice(["white", "pink", "brown"]), "music": "music",
                      "tone": "tone"}[kind]
                x = noise_of(rng, nk, n, music, babble) * 10 ** (rng.uniform(-65, -8) / 20)
            active = np.zeros(n // 512, bool)
        streams.append(x)
        actives.append(active)
        kinds.append(np.full(len(active), KINDS.index(kind), np.int8))
        total += len(x)
    if split == "test":  # recorded validation clips at their own level, as the evaluation streams join them
        for r in recorded_groups(work, "val", rng):
            x = load_utterance(work, r)
            active = active_chunks(x)
            streams.append(x[:len(active) * 512])
            actives.append(active)
            kinds.append(np.full(len(active), RECORDED, np.int8))
    pcm = np.concatenate(streams)
    _, vad = run_tool(tool, pcm, 1 << 30)
    n = len(vad) // 2
    # labels per segment, so that no pause is bridged across two segments
    return {"vad": vad[:2 * n].reshape(n, 80),
            "label": np.concatenate([hold(a, 10) for a in actives]).astype(np.int8)[:n],
            "active": np.concatenate(actives).astype(np.int8)[:n],
            "segment": np.concatenate([np.full(len(a), i, np.int32) for i, a in enumerate(actives)])[:n],
            "kind": np.concatenate(kinds)[:n]}


def added_training_batch(work, tool, crops):
    """Utterances added to the corpus after its training features were made
    get a feature file of their own, cls-train-N.npz, with chunk seeds
    after the earlier ones: earlier files stay valid and are not redone."""
    files = sorted(glob.glob(f"{work}/features/cls-train*.npz"))
    seen = set()
    for path in files:
        seen.update(np.load(path)["id"].tolist())
    rows = manifest(work, "train")
    # utterances too short or silent for a crop are never seen: only ids
    # after the last seen one count as added
    last = max((i for i, r in enumerate(rows) if r["id"] in seen), default=-1)
    added = rows[last + 1:]
    if not added:
        return None, None
    first_chunk = (last + 1 + CHUNK - 1) // CHUNK
    return f"{work}/features/cls-train-{len(files) + 1}.npz", \
        classifier_set(work, tool, "train", crops, added, first_chunk)


def main():
    work, tool, what, split, amount = sys.argv[1:6]
    os.makedirs(f"{work}/features", exist_ok=True)
    out = f"{work}/features/{'cls' if what == 'classifier' else 'vad'}-{split}.npz"
    if os.path.exists(out):
        if what == "classifier" and split == "train":
            out, data = added_training_batch(work, tool, int(amount))
            if out is not None:
                save(out, data)
        return
    save(out, classifier_set(work, tool, split, int(amount)) if what == "classifier" else
         detector_set(work, tool, split, float(amount)))


def save(out, data):
    np.savez(out + ".tmp.npz", **data)
    os.replace(out + ".tmp.npz", out)
    print("wrote", out, {k: v.shape for k, v in data.items()}, flush=True)


if __name__ == "__main__":
    main()
