"""The binding over the C API: errors, input checks, scores, lifetime."""

import os
import shutil
import threading

import numpy as np
import pytest

import qx_orb
from qx_orb import _native
from conftest import REPO, speech_like

FRAME = qx_orb.FRAME_LENGTH


@pytest.mark.parametrize("kwargs, status, fragment", [
    (dict(model="/nonexistent/model.qx"), "IO_ERROR", "Failed to open file"),
    (dict(device="gpux:7"), "INVALID_ARGUMENT", "gpux:7 is not a valid device string"),
    (dict(device="bogus"), "INVALID_ARGUMENT", "bogus is not a valid device string"),
    (dict(threshold=1.5), "INVALID_ARGUMENT", "out of range"),
    (dict(threshold=-0.1), "INVALID_ARGUMENT", "out of range"),
    (dict(threshold=float("nan")), "INVALID_ARGUMENT", "out of range"),
])
def test_library_errors_carry_status_and_messages(kwargs, status, fragment):
    with pytest.raises(qx_orb.QxOrbError) as caught:
        qx_orb.Engine(**kwargs)
    error = caught.value
    assert error.status_name == status
    assert any(fragment in message for message in error.messages), error.messages
    assert fragment in str(error)


def test_a_truncated_model_fails_with_messages(tmp_path):
    cut = tmp_path / "cut.qx"
    cut.write_bytes((REPO / "models" / "default.qx").read_bytes()[:1000])
    with pytest.raises(qx_orb.QxOrbError) as caught:
        qx_orb.Engine(model=cut)
    assert caught.value.messages


def test_each_failure_reports_only_its_own_messages():
    with pytest.raises(qx_orb.QxOrbError):
        qx_orb.Engine(model="/nonexistent/model.qx")
    with pytest.raises(qx_orb.QxOrbError) as caught:
        qx_orb.Engine(device="bogus")
    assert not any("Failed to open file" in m for m in caught.value.messages)
    assert _native.error_messages() == []


def test_threads_see_their_own_error_stacks():
    """The library keeps messages per thread; the binding must collect them there."""
    seen = {}

    def fail(name, kwargs):
        try:
            qx_orb.Engine(**kwargs)
        except qx_orb.QxOrbError as error:
            seen[name] = error.messages

    threads = [threading.Thread(target=fail, args=("model", dict(model="/nonexistent.qx"))),
               threading.Thread(target=fail, args=("device", dict(device="bogus")))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert any("Failed to open file" in m for m in seen["model"])
    assert any("bogus" in m for m in seen["device"]) and not any("open" in m for m in seen["device"])


@pytest.mark.parametrize("kwargs, exception", [
    (dict(device=3), TypeError),
    (dict(device="cpu\0:2"), ValueError),        # C would read "cpu" alone
    (dict(model="models/default.qx\0x"), ValueError),
    (dict(threshold="0.5"), TypeError),
    (dict(threshold=True), TypeError),
])
def test_arguments_checked_before_the_library(kwargs, exception):
    with pytest.raises(exception):
        qx_orb.Engine(**kwargs)


BAD_INPUT = [
    pytest.param(np.zeros(FRAME + 1, np.int16), ValueError, id="too-long"),
    pytest.param(np.full(100, np.nan), ValueError, id="nan"),
    pytest.param(np.array([0.0, np.inf]), ValueError, id="inf"),
    pytest.param(np.zeros((2, 100), np.int16), ValueError, id="2-d"),
    pytest.param(np.zeros(100, np.int32), TypeError, id="int32"),
    pytest.param(np.zeros(100, np.complex64), TypeError, id="complex"),
    pytest.param(np.zeros(100, bool), TypeError, id="bool"),
    pytest.param("text", TypeError, id="str"),
]


@pytest.mark.parametrize("frame, exception", BAD_INPUT)
def test_process_rejects_bad_frames(engine, frame, exception):
    with pytest.raises(exception):
        engine.process(frame)


@pytest.mark.parametrize("chunk, exception", [p for p in BAD_INPUT if p.id != "too-long"])
def test_stream_rejects_bad_chunks(engine, chunk, exception):
    with pytest.raises(exception):
        engine.stream().feed(chunk)


def test_voiced_scores_are_nine_named_probabilities():
    scores = fresh_process(speech_like(2.048, seed=3))
    assert list(scores) == ["unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt"]
    assert sum(scores.values()) == pytest.approx(1.0, abs=1e-4)
    assert all(0.0 <= p <= 1.0 for p in scores.values())


def test_silence_is_unvoiced(engine):
    assert engine.process(np.zeros(FRAME, np.int16)) is None


def fresh_process(frame):
    # The detector's state carries between frames: compare first frames only.
    with qx_orb.Engine() as engine:
        return engine.process(frame)


@pytest.mark.parametrize("form", ["float64", "float32", "list"])
def test_floats_are_scaled_like_16_bit_samples(form):
    pcm = qx_orb.audio.to_int16(speech_like(2.048, seed=3))
    floats = pcm / 32768.0
    given = floats.tolist() if form == "list" else floats.astype(form)
    assert fresh_process(given) == fresh_process(pcm) is not None


def test_short_frames_are_zero_padded():
    pcm = qx_orb.audio.to_int16(speech_like(2.048, seed=3))
    short = pcm[:30000]
    padded = np.concatenate([short, np.zeros(FRAME - short.size, np.int16)])
    assert fresh_process(short) == fresh_process(padded) != fresh_process(pcm)


def test_identify_does_not_depend_on_earlier_audio(speech):
    with qx_orb.Engine() as fresh:
        expected = fresh.identify(speech)
    with qx_orb.Engine() as used:
        for _ in used.frames(speech_like(6.0, seed=4)):
            pass
        used.identify(speech_like(3.0, seed=7))
        assert used.identify(speech) == expected


def test_context_manager_deletes_the_engine_once():
    deleted = []
    real = _native.load().qx_orb_delete

    class Spy:
        def __init__(self, lib):
            self._lib = lib

        def __getattr__(self, name):
            return getattr(self._lib, name)

        def qx_orb_delete(self, handle):
            deleted.append(handle.value)
            real(handle)

    with pytest.raises(KeyError):
        with qx_orb.Engine() as engine:
            engine._lib = Spy(engine._lib)
            handle = engine._handle.value
            raise KeyError("leaving the block by an exception still frees")
    assert deleted == [handle]
    assert engine.closed
    engine.close()
    assert deleted == [handle]
    with pytest.raises(ValueError, match="closed"):
        engine.process(np.zeros(10, np.int16))


def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_closing_returns_the_engines_memory():
    # An engine holds about 0.4 MB; 200 unfreed ones would add some 80 MB.
    qx_orb.Engine().close()
    before = _resident_bytes()
    for _ in range(200):
        with qx_orb.Engine():
            pass
    assert _resident_bytes() - before < 16 * 1024 * 1024


def test_engines_on_threads_match_serial_results(speech):
    serial = [f.scores for f in qx_orb.identify(speech).frames]
    results = [None, None]

    def run(slot):
        with qx_orb.Engine() as engine:
            results[slot] = [f.scores for f in engine.identify(speech).frames]

    threads = [threading.Thread(target=run, args=(slot,)) for slot in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [serial, serial]


def test_device_listing_names_the_cpu():
    devices = qx_orb.list_devices()
    assert devices and any(d.startswith("cpu") for d in devices)


def test_model_paths_need_not_be_utf8(tmp_path):
    name = os.fsdecode(b"model-\xff.qx")  # a byte no UTF-8 text holds
    shutil.copy(REPO / "models" / "default.qx", tmp_path / name)
    with qx_orb.Engine(model=tmp_path / name) as engine:
        assert engine.model.endswith(name)
