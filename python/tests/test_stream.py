"""Streaming in chunks gives the frames of processing the whole recording."""

import numpy as np
import pytest

import qx_orb
from conftest import speech_like

FRAME = qx_orb.FRAME_LENGTH


@pytest.fixture(scope="module")
def recording():
    # Voiced, silent, voiced; 4.3 frames so the last one is partial.
    return qx_orb.audio.to_int16(speech_like(4.3 * FRAME / 16000, seed=1, gaps=[(2.2, 4.5)]))


@pytest.fixture(scope="module")
def whole(recording):
    with qx_orb.Engine() as engine:
        return list(engine.frames(recording))


def _streamed(recording, sizes):
    with qx_orb.Engine() as engine:
        stream = engine.stream()
        frames, offset, turn = [], 0, 0
        while offset < recording.size:
            size = sizes[turn % len(sizes)]
            frames += stream.feed(recording[offset:offset + size])
            offset += size
            turn += 1
        return frames + stream.flush()


@pytest.mark.parametrize("sizes", [[160], [1], [1000], [FRAME - 1], [FRAME], [FRAME + 1], [50000],
                                   [10 * FRAME], [0, 7, 32761, 160, 65536]],
                         ids=lambda sizes: "+".join(map(str, sizes)))
def test_chunked_frames_equal_whole_frames(recording, whole, sizes):
    assert _streamed(recording, sizes) == whole


def test_whole_frames_include_voiced_and_unvoiced(recording, whole):
    assert len(whole) == 5
    assert any(f.voiced for f in whole) and any(not f.voiced for f in whole)
    assert whole[-1].end == recording.size / 16000


def test_frames_come_out_as_soon_as_complete(engine, recording):
    stream = engine.stream()
    assert stream.feed(recording[:FRAME - 1]) == []
    completed = stream.feed(recording[FRAME - 1:2 * FRAME + 5])
    assert [f.index for f in completed] == [0, 1]
    assert [f.index for f in stream.flush()] == [2]


@pytest.mark.parametrize("fed", [0, FRAME])
def test_flush_without_a_partial_frame_returns_nothing(engine, recording, fed):
    stream = engine.stream()
    stream.feed(recording[:fed])
    assert stream.flush() == []


def test_a_flushed_stream_takes_no_more_audio(engine):
    stream = engine.stream()
    stream.feed(np.zeros(10, np.int16))
    stream.flush()
    with pytest.raises(ValueError):
        stream.feed(np.zeros(10, np.int16))


def test_float_chunks_equal_int16_chunks(recording, whole):
    with qx_orb.Engine() as engine:
        stream = engine.stream()
        frames = []
        for start in range(0, recording.size, 4000):
            frames += stream.feed((recording[start:start + 4000] / 32768.0).astype(np.float32))
        frames += stream.flush()
    assert frames == whole
