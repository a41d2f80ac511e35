"""Audio in: float conversion, WAV reading, resampling, identify on files."""

import numpy as np
import pytest

import qx_orb
from qx_orb import audio
from conftest import speech_like, write_wav


@pytest.mark.parametrize("value, expected", [
    (0.0, 0), (1 / 32768, 1), (-1 / 32768, -1),
    (0.5 / 32768, 0), (-0.5 / 32768, 0), (1.5 / 32768, 2), (2.5 / 32768, 2),    # ties to even,
    (-1.5 / 32768, -2), (0.51 / 32768, 1), (0.49 / 32768, 0),                     # as qx-orb does
    (1.0, 32767), (-1.0, -32768), (1.7, 32767), (-3.0, -32768),                   # clipped
])
def test_float_to_int16(value, expected):
    assert audio.to_int16(np.array([value]))[0] == expected


def test_int16_samples_round_trip_through_floats():
    pcm = np.arange(-32768, 32768, dtype=np.int16)
    assert np.array_equal(audio.to_int16(pcm / 32768.0), pcm)
    assert np.array_equal(audio.to_int16(pcm.astype(np.float32) / np.float32(32768)), pcm)


@pytest.mark.parametrize("channels", [1, 2, 3])
def test_read_wav_averages_channels(tmp_path, channels):
    left = np.linspace(-0.5, 0.5, 1000)
    columns = np.stack([left * (c + 1) / channels for c in range(channels)], axis=1)
    samples, rate = audio.read_wav(write_wav(tmp_path / "a.wav", columns, rate=22050))
    expected = np.round(columns * 32768).mean(axis=1) / 32768
    assert rate == 22050
    assert np.allclose(samples, expected, atol=1e-12)


@pytest.mark.parametrize("make, fragment", [
    (lambda p: write_wav(p, np.zeros(100), width=1), "8-bit"),
    (lambda p: p.write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunk"), "not a 16-bit PCM WAV"),
    (lambda p: p.write_bytes(b"fLaC\x00\x00\x00\x22" + bytes(40)), "not a 16-bit PCM WAV"),
    (lambda p: p.write_bytes(b""), "WAV"),
])
def test_unreadable_audio_raises_format_errors(tmp_path, make, fragment):
    path = tmp_path / "bad.wav"
    make(path)
    with pytest.raises(qx_orb.AudioFormatError, match=fragment):
        audio.read_wav(path)


@pytest.mark.parametrize("rate_in, frequency", [
    (8000, 440.0), (8000, 3000.0), (11025, 1000.0), (22050, 5000.0), (32000, 6000.0),
    (44100, 440.0), (44100, 6000.0), (48000, 2500.0), (96000, 1234.5), (16001, 3000.0),
])
def test_resampling_keeps_tones_below_8khz(rate_in, frequency):
    seconds = 0.5
    t_in = np.arange(int(seconds * rate_in)) / rate_in
    out = audio.resample(np.sin(2 * np.pi * frequency * t_in), rate_in, 16000)
    assert out.size == -(-t_in.size * 16000 // rate_in)
    t_out = np.arange(out.size) / 16000
    middle = slice(out.size // 4, 3 * out.size // 4)  # clear of the filter's edges
    error = out[middle] - np.sin(2 * np.pi * frequency * t_out[middle])
    assert np.max(np.abs(error)) < 0.01


@pytest.mark.parametrize("rate_in, frequency", [(44100, 10000.0), (48000, 12000.0), (32000, 9500.0)])
def test_resampling_removes_tones_above_8khz(rate_in, frequency):
    t_in = np.arange(rate_in // 2) / rate_in
    out = audio.resample(np.sin(2 * np.pi * frequency * t_in), rate_in, 16000)
    middle = out[out.size // 4: 3 * out.size // 4]
    assert np.max(np.abs(middle)) < 0.01  # would fold back to an audible tone unfiltered


def test_identify_reads_a_16khz_wav_like_the_array(tmp_path, engine, speech):
    path = write_wav(tmp_path / "speech.wav", speech)
    from_file = engine.identify(path)
    from_array = engine.identify(audio.to_int16(speech))
    assert from_file.frames == from_array.frames and from_file.source == str(path)
    assert from_file.verdict is not None


def test_identify_mixes_stereo_down(tmp_path, engine, speech):
    other = speech_like(speech.size / 16000, seed=5)
    stereo = np.stack([speech, other], axis=1)
    from_file = engine.identify(write_wav(tmp_path / "stereo.wav", stereo))
    mixed = (np.rint(speech * 32768) + np.rint(other * 32768)) / 2 / 32768
    assert from_file.frames == engine.identify(mixed).frames


@pytest.mark.parametrize("rate", [8000, 44100, 48000])
def test_other_rates_give_close_scores(tmp_path, engine, rate):
    # The same synthetic sound made at each rate: after resampling the frames
    # match the 16 kHz ones up to the resampler's small error.
    seconds = 4.096
    sound = dict(seconds=seconds, seed=2, noise=0.0, harmonics=20)
    reference = engine.identify(speech_like(rate=16000, **sound)).frames
    wav = write_wav(tmp_path / f"{rate}.wav", speech_like(rate=rate, **sound), rate=rate)
    from_file = engine.identify(wav)
    assert [f.voiced for f in from_file.frames] == [f.voiced for f in reference]
    for got, want in zip(from_file.frames, reference):
        if want.voiced:
            assert max(abs(got.scores[k] - want.scores[k]) for k in want.scores) < 0.03


def test_arrays_at_other_rates_are_resampled(engine):
    at_48k = speech_like(4.096, seed=2, rate=48000)
    from_int16 = engine.identify(audio.to_int16(at_48k), sample_rate=48000)
    from_float = engine.identify(at_48k, sample_rate=48000)
    assert len(from_float.frames) == 2
    assert [f.voiced for f in from_int16.frames] == [f.voiced for f in from_float.frames]


def test_empty_input_has_no_frames(engine):
    result = engine.identify(np.zeros(0, np.int16))
    assert result.frames == [] and result.verdict is None and result.duration == 0.0
