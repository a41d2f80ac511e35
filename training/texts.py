#!/usr/bin/env python3
"""Running text per language from Debian's translated documentation.

Writes WORK/texts/<lang>.tsv: one sentence a line, "package<TAB>sentence",
deduplicated, shuffled with a fixed seed. Sources: manpages-<lang>,
fortunes-<lang>, debian-reference-<lang>, libreoffice-help-<lang>.
Lines that are untranslated English fallbacks or in the wrong script are
dropped.
"""
import glob
import gzip
import html
import os
import random
import re
import subprocess
import sys
import zipfile

TARGETS = ["de", "en", "es", "fr", "it", "ja", "ko", "pt"]
# Languages of the "unknown" class: each must be spoken by espeak-ng.
UNKNOWN = ["ru", "pl", "nl", "cs", "hu", "tr", "el", "ro", "sv", "fi", "uk", "ca", "da", "id"]
MAN_DIRS = {"pt": ["pt", "pt_BR"], "en": ["man1", "man5", "man7", "man8"]}

EN_WORDS = set("the and of to is with this that you are be for from which will can not by "
               "it this these when use used file files see option options default".split())


_OWNERS = {}


def package_of(path):
    """The package that installed path (from dpkg's file lists, read once)."""
    if not _OWNERS:
        for lst in glob.glob("/var/lib/dpkg/info/*.list"):
            pkg = os.path.basename(lst)[:-5].split(":")[0]
            for line in open(lst, encoding="utf-8", errors="replace"):
                if line.startswith(("/usr/share/man/", "/usr/share/games/", "/usr/share/debian-reference/",
                                    "/usr/share/libreoffice/help/")):
                    _OWNERS[line.rstrip("\n")] = pkg
    # debian-reference's documents are reached through a link to a shared folder
    return _OWNERS.get(path) or _OWNERS.get(os.path.realpath(path), "unknown")


def script_ok(lang, s):
    letters = [c for c in s if c.isalpha()]
    if len(letters) < 10:
        return False
    if lang == "ja":
        return sum("\u3040" <= c <= "\u30ff" for c in s) >= 3 and not re.search("[\uac00-\ud7af]", s)
    if lang == "ko":
        return sum("\uac00" <= c <= "\ud7af" for c in letters) >= 0.7 * len(letters)
    if lang in ("ru", "uk"):
        return sum("\u0400" <= c <= "\u04ff" for c in letters) >= 0.8 * len(letters)
    if lang == "el":
        return sum("\u0370" <= c <= "\u03ff" or "\u1f00" <= c <= "\u1fff" for c in letters) >= 0.8 * len(letters)
    return sum(c < "\u0250" for c in letters) >= 0.95 * len(letters)


def english_fallback(lang, s):
    if lang == "en":
        return False
    words = re.findall(r"[A-Za-z]+", s.lower())
    return len(words) >= 3 and sum(w in EN_WORDS for w in words) >= 0.2 * len(words)


def clean(s):
    s = re.sub(r"\s+", " ", s).strip()
    return s


def sentences_of(text, lang):
    text = clean(text)
    if lang in ("ja",):
        parts = re.split(r"(?<=[。！？])", text)
    else:
        parts = re.split(r"(?<=[.!?。])\s+", text)
    for p in parts:
        p = p.strip(" -*•·\"'")
        if not 15 <= len(p) <= 220 or re.search(r"[<>{}\\|=_#@/\[\]]|\$|\bhttps?\b|--", p):
            continue
        if lang not in ("ja", "ko") and len(p.split()) < 4:
            continue  # headings, command names
        yield p


def man_text(path):
    raw = gzip.open(path).read().decode("utf-8", "replace")
    keep = []
    for line in raw.splitlines():
        if line.startswith((".\\\"", "'\\\"")):
            continue
        m = re.match(r"^\.(B|I|BI|IB|BR|RB|IR|RI|SM|SB)\s+(.*)", line)
        if m:
            line = m.group(2).replace('"', "")
        elif line.startswith((".", "'")):
            keep.append("\n")
            continue
        line = re.sub(r"\\f(\[[A-Z]*\]|\(..|.)", "", line)
        line = re.sub(r"\\\((..)", " ", line)
        line = re.sub(r"\\\[[^\]]*\]", " ", line)
        line = re.sub(r"\\[*n]\(..|\\[*n].", "", line)
        line = line.replace("\\-", "-").replace("\\&", "").replace("\\e", "").replace("\\ ", " ")
        line = re.sub(r"\\.", "", line)
        keep.append(line)
    return " ".join(keep).split("\n")


def html_text(data):
    data = re.sub(r"(?s)<(script|style|pre|code|tt)[^>]*>.*?</\1>", " ", data)
    data = re.sub(r"(?s)<[^>]+>", " ", data)
    return [html.unescape(data)]


def sources(lang):
    """(package, list of text blocks) per source file."""
    dirs = MAN_DIRS.get(lang, [lang])
    for d in dirs:
        pattern = f"/usr/share/man/{d}/man*/*.gz" if d.startswith("man") is False else f"/usr/share/man/{d}/*.gz"
        for path in sorted(glob.glob(pattern)):
            yield path, man_text(path)
    for path in sorted(glob.glob(f"/usr/share/games/fortunes/{lang}/*")):
        if path.endswith((".dat", ".u8")) or os.path.isdir(path):
            continue
        data = open(path, "rb").read()
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            text = data.decode("latin-1")
        yield path, text.split("\n%\n")
    for path in sorted(glob.glob(f"/usr/share/doc/debian-reference-{lang}/docs/*.{lang}.html")):
        yield path, html_text(open(path, encoding="utf-8", errors="replace").read())
    lo = {"pt": "pt", "ko": "ko", "ja": "ja"}.get(lang, lang)
    for path in sorted(glob.glob(f"/usr/share/libreoffice/help/{lo}/**/*.html", recursive=True))[:6000]:
        yield path, html_text(open(path, encoding="utf-8", errors="replace").read())


# Packages added after the first corpora: their sentences are appended to
# a language's list, and its held-out tenth is topped up from them alone, so
# that every sentence held out before stays held out (and every earlier
# training sentence stays in training) for models trained further.
LATER_PACKAGES = {f"libreoffice-help-{l}" for l in ("el", "da", "nl", "sv", "fi", "hu", "id")} | {
    "manpages-da", "manpages-id", "debian-reference-id"}


def collect(lang, later, seen, limit):
    rows = []
    for path, blocks in sources(lang):
        if (package_of(path) in LATER_PACKAGES) != later:
            continue
        pkg = None
        for block in blocks:
            for s in sentences_of(block, lang):
                if s in seen or not script_ok(lang, s) or english_fallback(lang, s):
                    continue
                seen.add(s)
                if pkg is None:
                    pkg = package_of(path)
                rows.append((pkg, s))
        if len(rows) >= limit * 2:
            break
    return rows


def held_out_count(n):
    """How many of a language's n sentences, from the top of its file, feed
    only held-out utterances."""
    return max(1, n // 10)


def build(lang, out_path, limit=60000):
    seen = set()
    first = collect(lang, False, seen, limit)
    random.Random(1234).shuffle(first)
    first = first[:limit]
    later = collect(lang, True, seen, limit - len(first))
    random.Random(4321).shuffle(later)
    later = later[:limit - len(first)]
    cut_first = min(len(first), held_out_count(len(first)))
    cut_later = held_out_count(len(first) + len(later)) - cut_first
    rows = first[:cut_first] + later[:cut_later] + first[cut_first:] + later[cut_later:]
    with open(out_path + ".tmp", "w", encoding="utf-8") as f:
        for pkg, s in rows:
            f.write(f"{pkg}\t{s}\n")
    os.replace(out_path + ".tmp", out_path)
    return len(rows)


def main():
    work = sys.argv[1]
    langs = sys.argv[2:] or TARGETS + UNKNOWN
    os.makedirs(f"{work}/texts", exist_ok=True)
    for lang in langs:
        out = f"{work}/texts/{lang}.tsv"
        if os.path.exists(out):
            continue
        n = build(lang, out)
        print(lang, n, flush=True)


if __name__ == "__main__":
    main()
