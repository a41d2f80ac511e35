"""Segments and verdict from frames."""

import math

import pytest

from qx_orb.results import Frame, summarise

NAMES = ["unknown", "de", "en", "es", "fr", "it", "ja", "ko", "pt"]


def scores(**given):
    rest = (1.0 - sum(given.values())) / (len(NAMES) - len(given))
    return {name: given.get(name, rest) for name in NAMES}


def frames(*rows, last_end=None):
    """rows: None (unvoiced) or scores dicts, one per 2.048 s frame."""
    out = [Frame(i, i * 2.048, (i + 1) * 2.048, row) for i, row in enumerate(rows)]
    if last_end is not None:
        out[-1].end = last_end
    return out


@pytest.mark.parametrize("rows, expected", [
    pytest.param([], [], id="nothing"),
    pytest.param([None, None], [], id="all-unvoiced"),
    pytest.param([scores(en=.9), scores(en=.7)], [(0, 4.096, "en", .8, 2)], id="merged"),
    pytest.param([scores(en=.9), None, scores(en=.7)],
                 [(0, 2.048, "en", .9, 1), (4.096, 6.144, "en", .7, 1)], id="gap-splits"),
    pytest.param([scores(en=.9), scores(de=.6), scores(de=.8), scores(en=.5)],
                 [(0, 2.048, "en", .9, 1), (2.048, 6.144, "de", .7, 2), (6.144, 8.192, "en", .5, 1)],
                 id="language-change-splits"),
    pytest.param([None, scores(unknown=.5), scores(unknown=.7)], [(2.048, 6.144, "unknown", .6, 2)],
                 id="unknown-is-a-language"),
])
def test_segments(rows, expected):
    found = [(s.start, s.end, s.language, s.probability, s.frames) for s in summarise(frames(*rows)).segments]
    assert len(found) == len(expected)
    for got, want in zip(found, expected):
        assert got[2] == want[2] and got[4] == want[4]
        assert got[:2] == pytest.approx(want[:2]) and got[3] == pytest.approx(want[3])


def test_a_short_last_frame_weighs_by_its_seconds():
    segment = summarise(frames(scores(es=.9), scores(es=.3), last_end=2.048 + 0.512)).segments[0]
    assert segment.probability == pytest.approx((.9 * 2.048 + .3 * 0.512) / 2.56)
    assert segment.end == pytest.approx(2.56)


def test_segments_skip_frames_missing_in_between():
    # Frames from a stream that dropped one: indices 0 and 2 are not consecutive.
    dropped = [Frame(0, 0.0, 2.048, scores(en=.9)), Frame(2, 4.096, 6.144, scores(en=.9))]
    assert len(summarise(dropped).segments) == 2


def test_verdict_sums_log_probabilities_not_frame_wins():
    # en wins two frames narrowly, de one by far: log-sums favour de.
    rows = [scores(en=.40, de=.35), scores(en=.40, de=.35), scores(de=.97, en=.005)]
    verdict = summarise(frames(*rows)).verdict
    assert verdict.language == "de"
    sums = {n: sum(math.log(r[n]) for r in rows) for n in NAMES}
    assert verdict.probability == pytest.approx(1 / sum(math.exp(s - sums["de"]) for s in sums.values()))


def test_verdict_survives_zero_scores():
    verdict = summarise(frames(scores(en=1.0), scores(en=1.0))).verdict
    assert verdict.language == "en"
    assert verdict.probability == pytest.approx(1.0)
    assert math.isfinite(verdict.probability)


def test_verdict_rests_on_the_voiced_seconds_only():
    result = summarise(frames(scores(fr=.9), None, scores(fr=.9), last_end=5.0))
    assert result.verdict.speech_seconds == pytest.approx(2.048 + (5.0 - 4.096))
    assert result.verdict.voiced_frames == 2
    assert result.duration == pytest.approx(5.0)


@pytest.mark.parametrize("rows", [[], [None, None]])
def test_no_voiced_frame_no_verdict(rows):
    assert summarise(frames(*rows)).verdict is None


def test_to_dict_is_plain_json():
    import json
    result = summarise(frames(scores(it=.8), None))
    data = json.loads(json.dumps(result.to_dict()))
    assert data["frames"][0]["language"] == "it" and data["frames"][1]["voiced"] is False
    assert data["verdict"]["language"] == "it"
