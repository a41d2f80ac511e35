"""Plain results: frames, segments of one language and a file's verdict."""

import dataclasses
import math
from typing import Dict, List, Optional

FRAME_LENGTH = 32768
SAMPLE_RATE = 16000
# A floor keeps one zero score from making a language's sum -inf; the same
# as the qx-orb command's, so both name the same verdict.
_FLOOR = 1e-30


@dataclasses.dataclass
class Frame:
    """One frame: its place, and the scores of a voiced frame (None when unvoiced)."""
    index: int
    start: float
    end: float
    scores: Optional[Dict[str, float]]

    @property
    def voiced(self) -> bool:
        return self.scores is not None

    @property
    def language(self) -> Optional[str]:
        """The most likely language (the first of equals, as in the C programs)."""
        if self.scores is None:
            return None
        return max(self.scores, key=self.scores.get)

    @property
    def probability(self) -> Optional[float]:
        return None if self.scores is None else self.scores[self.language]


@dataclasses.dataclass
class Segment:
    """Consecutive voiced frames whose most likely language is the same."""
    start: float
    end: float
    language: str
    probability: float  # that language's mean score over the segment's seconds
    frames: int


@dataclasses.dataclass
class Verdict:
    """The language of the whole input.

    The language with the highest sum of log-probabilities over the voiced
    frames; ``probability`` is its share after a softmax over those sums, and
    ``speech_seconds`` the voiced audio it rests on.
    """
    language: str
    probability: float
    speech_seconds: float
    voiced_frames: int


@dataclasses.dataclass
class Identification:
    frames: List[Frame]
    segments: List[Segment]
    verdict: Optional[Verdict]  # None when no frame was voiced
    duration: float
    source: Optional[str] = None

    def to_dict(self):
        """Plain dicts and lists, ready for json.dumps."""
        result = dataclasses.asdict(self)
        for frame, row in zip(self.frames, result["frames"]):
            row.update(voiced=frame.voiced, language=frame.language, probability=frame.probability)
        return result


def frame_bounds(index, total_samples):
    """(start, end) in seconds; the last frame ends where the audio does."""
    start = index * FRAME_LENGTH
    end = min(start + FRAME_LENGTH, max(total_samples, start))
    return start / SAMPLE_RATE, end / SAMPLE_RATE


def segments_of(frames):
    runs = []
    for frame in frames:
        if not frame.voiced:
            continue
        last = runs[-1][-1] if runs else None
        # An unvoiced or missing frame in between breaks the run.
        if last is not None and last.index == frame.index - 1 and last.language == frame.language:
            runs[-1].append(frame)
        else:
            runs.append([frame])
    return [_segment(run) for run in runs]


def _segment(run):
    language = run[0].language
    # Weighted by seconds: a short last frame counts for the audio it holds.
    seconds = sum(frame.end - frame.start for frame in run)
    mean = (sum(frame.scores[language] * (frame.end - frame.start) for frame in run) / seconds
            if seconds > 0 else sum(frame.scores[language] for frame in run) / len(run))
    return Segment(run[0].start, run[-1].end, language, mean, len(run))


def verdict_of(frames):
    voiced = [frame for frame in frames if frame.voiced]
    if not voiced:
        return None
    languages = list(voiced[0].scores)
    sums = {language: sum(math.log(max(frame.scores[language], _FLOOR)) for frame in voiced)
            for language in languages}
    best = max(languages, key=sums.get)
    share = 1.0 / sum(math.exp(sums[language] - sums[best]) for language in languages)
    speech = sum(frame.end - frame.start for frame in voiced)
    return Verdict(best, share, speech, len(voiced))


def summarise(frames, source=None):
    """Segments and verdict of a list of frames (say, collected from a stream)."""
    frames = list(frames)
    duration = frames[-1].end if frames else 0.0
    return Identification(frames, segments_of(frames), verdict_of(frames), duration, source)
