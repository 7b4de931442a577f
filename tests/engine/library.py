#!/usr/bin/python3
"""A whole music library through sonavert-cli: a generated tree of album folders with tags
(missing tags, a '/' inside a tag, two albums with the same track names) converted with the
folders below the added one kept and with names from tags, re-run with --update, interrupted
and re-run, split over three shards run as separate processes, into a folder that cannot be
made, and with --json.

Usage: library.py PATH/TO/sonavert-cli [--measure ALBUMS]

With --measure, only times a first run and an update re-run of a library of ALBUMS albums of
three 0.2 s tracks and prints the figures. Exits 1 when a check fails."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile as sf
from mutagen.flac import FLAC

CLI = sys.argv[1]
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def flac(path, tags, seconds=0.2):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    t = np.arange(int(44100 * seconds)) / 44100.0
    tone = 0.3 * np.sin(2 * np.pi * (330 + 7 * (hash(path) % 50)) * t)
    sf.write(path, np.stack([tone, tone], axis=1).astype("float32"), 44100, subtype="PCM_16", format="FLAC")
    if tags:
        f = FLAC(path)
        for key, value in tags.items():
            f[key] = value
        f.save()


def make_library(root, albums):
    """Album folders Artist N/Album N/NN - Track.flac; every album has the same track names.
    Returns {relative path: tags or None}."""
    made = {}
    for a in range(albums):
        for t in range(1, 3 if albums < 50 else 4):
            rel = "Artist %d/Album %d/%02d - Track.flac" % (a % 5, a, t)
            tags = {"artist": "Artist %d" % (a % 5), "album": "Album %d" % a, "title": "Track %d" % t,
                    "tracknumber": "%d/9" % t}
            flac(os.path.join(root, rel), tags)
            made[rel] = tags
    if albums < 50:
        # A '/' inside tags, an album artist and a disc; a file without tags; a deeper folder.
        special = {
            "AC/DC/Back/01 - Intro.flac": {"artist": "AC/DC", "albumartist": "AC/DC", "album": "Back / Black",
                                          "title": "Intro: Part?", "tracknumber": "1", "discnumber": "2"},
            "Loose/no tags.flac": None,
            "Various/Deep/Deeper/01 - Intro.flac": {"artist": "V", "album": "..", "title": "Intro",
                                                    "tracknumber": "1"},
        }
        for rel, tags in special.items():
            flac(os.path.join(root, rel), tags)
            made[rel] = tags
    return made


class Run:
    def __init__(self, home):
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                        XDG_DOCUMENTS_DIR=os.path.join(home, "Documents"))

    def __call__(self, *args):
        p = subprocess.run([CLI, "-f", "mp3", *args], env=self.env, capture_output=True, text=True)
        return p.returncode, p.stdout, p.stderr

    def start(self, *args):
        return subprocess.Popen([CLI, "-f", "mp3", *args], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)


def lines(out):
    return [line.split("\t") for line in out.splitlines()]


def files_below(folder):
    found = []
    for dirpath, _, names in os.walk(folder):
        found += [os.path.relpath(os.path.join(dirpath, n), folder) for n in names]
    return sorted(found)


def measure(albums):
    with tempfile.TemporaryDirectory() as tmp:
        lib, out = os.path.join(tmp, "lib"), os.path.join(tmp, "out")
        make_library(lib, albums)
        run = Run(tmp)
        args = ["--update", "-o", out, "--set", "KeepAddedFolderTree=1", "--set",
                "TargetNamePattern={albumartist|artist}/{album}/{track:02} {title}", lib]
        start = time.monotonic()
        code, first, _ = run(*args)
        first_time = time.monotonic() - start
        start = time.monotonic()
        code2, second, _ = run(*args)
        rerun_time = time.monotonic() - start
        rows = len(first.splitlines())
        up = sum(1 for _, status in lines(second) if status == "Target is up to date")
        print("%d albums, %d files: first run %.2f s (exit %d), update re-run %.2f s (exit %d, %d up to date), "
              "ratio %.3f" % (albums, rows, first_time, code, rerun_time, code2, up, rerun_time / first_time))
        return 0 if code == 0 and code2 == 0 and up == rows and rerun_time < first_time / 10 else 1


def main():
    if len(sys.argv) > 3 and sys.argv[2] == "--measure":
        return measure(int(sys.argv[3]))
    with tempfile.TemporaryDirectory() as tmp:
        lib = os.path.join(tmp, "Music")
        made = make_library(lib, 12)
        rels = sorted(made)
        run = Run(tmp)

        # Structure: the path below the added folder, mirrored.
        out = os.path.join(tmp, "tree")
        code, text, err = run("--update", "-o", out, "--set", "KeepAddedFolderTree=1", lib)
        check(code == 0, "structure run exits 0: %s" % err)
        expected = sorted(r[:-5] + ".mp3" for r in rels)
        check(files_below(out) == expected, "structure targets mirror the library: %s" % files_below(out))

        # Names from tags, never outside the output folder; no tags: the source's own name.
        out = os.path.join(tmp, "named")
        pattern = "{albumartist|artist}/{album}/{disc|1}-{track:02} {title}"
        code, text, err = run("-o", out, "--set", "TargetNamePattern=" + pattern, lib)
        check(code == 0, "pattern run exits 0: %s" % err)
        named = files_below(out)
        check("AC_DC/Back _ Black/2-01 Intro_ Part_.mp3" in named, "a '/' in a tag is no folder: %s" % named)
        check("no tags.mp3" in named, "a file without tags keeps its name: %s" % named)
        check("Artist 0/Album 5/1-02 Track 2.mp3" in named, "fields, fallback and padding: %s" % named)
        check("V/__/1-01 Intro.mp3" in named, "a tag of dots is no folder step: %s" % named)
        check(len(named) == len(rels), "one target per source: %d of %d" % (len(named), len(rels)))
        for _, target in lines(text):
            check(os.path.realpath(target).startswith(os.path.realpath(out) + "/"), "inside: " + target)

        # Flat output: the albums' "01 - Track" clash. An update run numbers them by their paths
        # below the folder named, and every later run maps each source to the same target.
        flat = os.path.join(tmp, "flat")
        code, first, _ = run("--update", "-o", flat, lib)
        mapping = dict(lines(first))
        check(code == 0 and len(set(mapping.values())) == len(rels), "flat names are distinct")
        check(mapping[os.path.join(lib, "Artist 0/Album 0/01 - Track.flac")] == os.path.join(flat, "01 - Track.mp3") and
              mapping[os.path.join(lib, "Artist 0/Album 10/01 - Track.flac")] == os.path.join(flat, "01 - Track_1.mp3"),
              "clashing names are numbered in byte order of their paths")
        code, second, _ = run("--update", "--json", "-o", flat, lib)
        rows = [json.loads(line) for line in second.splitlines()]
        check(code == 0 and all(r["status"] == "up-to-date" for r in rows), "a second update run converts nothing")
        check({r["source"]: r["target"] for r in rows} == mapping, "each source keeps its target across runs")
        touched = os.path.join(lib, "Artist 1/Album 1/01 - Track.flac")
        later = time.time() + 5
        os.utime(touched, (later, later))
        code, third, _ = run("--update", "-o", flat, lib)
        converted = [src for src, status in lines(third) if status != "Target is up to date"]
        check(code == 0 and converted == [touched], "touching one source converts only it: %s" % converted)
        check(mapping[touched] == dict(lines(third))[touched], "the touched source keeps its numbered target")
        check(len(files_below(flat)) == len(rels), "no extra target in the flat folder: %s" % files_below(flat))

        # A run killed midway, then run again: the rest is converted, nothing twice.
        out = os.path.join(tmp, "killed")
        args = ["--update", "-j", "1", "-o", out, "--set", "KeepAddedFolderTree=1", lib]
        proc = run.start(*args)
        done = [proc.stdout.readline() for _ in range(5)]
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        proc.stdout.close()
        code, again, _ = run(*args)
        statuses = lines(again)
        fresh = [s for s, status in statuses if status != "Target is up to date"]
        check(code == 0 and len(statuses) == len(rels), "the re-run of a killed run finishes: exit %d" % code)
        check(len(done) == 5 and len(fresh) <= len(rels) - 5, "the re-run converts only what is missing (%d)" % len(fresh))
        visible = [f for f in files_below(out) if not os.path.basename(f).startswith(".")]
        check(visible == expected, "after the re-run every source has its one target: %s" % visible)

        # Three shards as separate processes at once: the union is the batch, no row twice.
        out = os.path.join(tmp, "shards")
        procs = [run.start("--update", "--json", "-o", out, "--set", "KeepAddedFolderTree=1", "--shard",
                           "%d/3" % k, lib) for k in (1, 2, 3)]
        outputs = [p.communicate()[0] for p in procs]
        check(all(p.returncode == 0 for p in procs), "every shard exits 0")
        sources = [json.loads(line)["source"] for o in outputs for line in o.splitlines()]
        check(sorted(sources) == sorted(os.path.join(lib, r) for r in rels),
              "the shards' union is the whole batch, no row twice")
        check(all(len(o.splitlines()) > 0 for o in outputs), "every shard has rows")
        check(files_below(out) == expected, "the shards wrote every target once")

        # A folder named with -o that cannot be made fails every row with the cause, exit 1.
        blocker = os.path.join(tmp, "blocker")
        open(blocker, "w").close()
        code, text, _ = run("-o", os.path.join(blocker, "out"), os.path.join(lib, "Loose"))
        check(code == 1 and text.endswith("(Not a directory)\n") and "Failed to create folder" in text,
              "an unwritable -o folder fails with the cause: %r" % text)
        check(not os.path.exists(os.path.join(tmp, "Documents", "no tags.mp3")), "no retry in the documents folder")

        # --json: one object per row, parsing, telling what the text lines tell.
        out = os.path.join(tmp, "json")
        code, text, _ = run("-o", out, lib)
        os.system("rm -rf '%s'" % out)
        code2, js, _ = run("--json", "-o", out, lib)
        rows = [json.loads(line) for line in js.splitlines()]
        check(code == code2 == 0 and len(rows) == len(lines(text)), "as many objects as lines")
        for (src, status), row in zip(lines(text), rows):
            check(row["source"] == src and row["target"] == status and row["status"] == "converted" and
                  row["bytes"] == os.path.getsize(status) and row["seconds"] >= 0,
                  "the object matches its line: %s" % row)
        code, js, _ = run("--json", "--skip", "-o", out, os.path.join(lib, "Loose"))
        row = json.loads(js)
        check(code == 0 and row["status"] == "skipped" and row["reason"] == "Target exists and skipped" and
              row["target"] == "", "a skipped row exits 0: %s" % row)

    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
