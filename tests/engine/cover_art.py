#!/usr/bin/python3
"""Cover pictures through sonavert-cli: a picture put into each source kind with the usual tools
arrives byte for byte in each target kind that holds one (read back with mutagen), none arrives
in the kinds that hold none, with typed tags or with cover art off; a picture above the size
bound is left out with a warning; pictures are scaled down when asked; the folder's image file
is copied beside the targets without replacing an existing file.

Usage: cover_art.py PATH/TO/sonavert-cli     (prints failures, ends with "N passed, N failed")"""

import base64
import os
import struct
import subprocess
import sys
import tempfile

from mutagen.apev2 import APEValue, BINARY
from mutagen.asf import ASF, ASFByteArrayAttribute
from mutagen.flac import FLAC, Picture
from mutagen.id3 import ID3
from mutagen.mp4 import MP4
from mutagen.oggopus import OggOpus
from mutagen.oggvorbis import OggVorbis
from mutagen.wavpack import WavPack

PASSED = 0
FAILED = 0


def check(ok, what):
    global PASSED, FAILED
    if ok:
        PASSED += 1
    else:
        FAILED += 1
        print("FAIL:", what)


def run(argv):
    p = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (argv[0], p.stderr.decode(errors="replace")[-400:]))
    return p


def ffmpeg(*args):
    return run(["ffmpeg", "-v", "error", "-nostdin", "-y"] + list(args))


def asf_picture(data, mime="image/jpeg", kind=3):
    """The WM/Picture value: type, 32-bit size, UTF-16 MIME type and description, the bytes."""
    return (struct.pack("<BI", kind, len(data)) + (mime + "\0").encode("utf-16-le") +
            "\0".encode("utf-16-le") + data)


def parse_asf_picture(value):
    size = struct.unpack_from("<I", value, 1)[0]
    pos = 5
    for _ in range(2):  # MIME type and description, each ending in a 16-bit zero
        while value[pos:pos + 2] != b"\0\0":
            pos += 2
        pos += 2
    return value[pos:pos + size]


def target_picture(path):
    """The picture bytes mutagen reads from a target, or None."""
    ext = os.path.splitext(path)[1].lower()
    if ext == ".mp3":
        try:
            frames = ID3(path).getall("APIC")
        except Exception:
            return None
        return frames[0].data if frames else None
    if ext == ".ogg":
        values = OggVorbis(path).get("METADATA_BLOCK_PICTURE", [])
        return Picture(base64.b64decode(values[0])).data if values else None
    if ext == ".m4a":
        covers = (MP4(path).tags or {}).get("covr", [])
        return bytes(covers[0]) if covers else None
    if ext == ".flac":
        pictures = FLAC(path).pictures
        return pictures[0].data if pictures else None
    if ext == ".opus":
        values = OggOpus(path).get("METADATA_BLOCK_PICTURE", [])
        return Picture(base64.b64decode(values[0])).data if values else None
    if ext == ".wma":
        pictures = ASF(path).get("WM/Picture", [])
        return parse_asf_picture(pictures[0].value) if pictures else None
    raise ValueError(ext)


def jpeg_size(data):
    """(width, height) from a JPEG's first frame header."""
    i = 2
    while i + 9 < len(data):
        marker, length = data[i + 1], struct.unpack(">H", data[i + 2:i + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            h, w = struct.unpack(">HH", data[i + 5:i + 9])
            return w, h
        i += 2 + length
    return None


def convert(cli, fmt, inputs, outdir, sets=()):
    os.makedirs(outdir, exist_ok=True)
    argv = [cli, "-y", "-f", fmt, "-o", outdir, "--jobs", "2"]
    for s in sets:
        argv += ["--set", s]
    p = subprocess.run(argv + list(inputs), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p.returncode, p.stderr.decode(errors="replace")


def out_path(outdir, source, fmt):
    return os.path.join(outdir, os.path.splitext(os.path.basename(source))[0] + "." + fmt)


def main():
    cli = sys.argv[1]
    work = tempfile.mkdtemp(prefix="sonavert-cover-")
    src = os.path.join(work, "src")
    os.makedirs(src)
    tone = os.path.join(work, "tone.wav")
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-ac", "2", "-ar", "44100", tone)
    jpg = os.path.join(work, "a.jpg")
    png = os.path.join(work, "b.png")
    big = os.path.join(work, "big.jpg")
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=64x48", "-frames:v", "1", jpg)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=40x40", "-frames:v", "1", png)
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=800x600", "-frames:v", "1", big)
    pictures = {}

    def picture_of(path):
        with open(path, "rb") as f:
            return f.read()

    # One source of each kind, each with its own picture.
    s = os.path.join(src, "mp3src.mp3")
    ffmpeg("-i", tone, "-i", jpg, "-map", "0", "-map", "1", "-c:a", "libmp3lame", "-c:v", "copy",
           "-id3v2_version", "3", "-disposition:v", "attached_pic", "-metadata", "title=MP3", s)
    pictures[s] = picture_of(jpg)
    s = os.path.join(src, "m4asrc.m4a")
    ffmpeg("-i", tone, "-i", png, "-map", "0", "-map", "1", "-c:a", "aac", "-c:v", "copy",
           "-disposition:v", "attached_pic", "-metadata", "title=M4A", s)
    pictures[s] = picture_of(png)
    s = os.path.join(src, "flacsrc.flac")
    run(["flac", "-s", "-f", "-o", s, tone])
    run(["metaflac", "--set-tag=TITLE=FLAC", "--import-picture-from=" + big, s])
    pictures[s] = picture_of(big)
    s = os.path.join(src, "oggsrc.ogg")
    ffmpeg("-i", tone, "-c:a", "libvorbis", s)
    ogg = OggVorbis(s)
    p = Picture()
    p.type, p.mime, p.data = 3, "image/png", picture_of(png)
    ogg["METADATA_BLOCK_PICTURE"] = [base64.b64encode(p.write()).decode("ascii")]
    ogg["TITLE"] = ["OGG"]
    ogg.save()
    pictures[s] = picture_of(png)
    s = os.path.join(src, "wmasrc.wma")
    ffmpeg("-i", tone, "-c:a", "wmav2", s)
    asf = ASF(s)
    asf["WM/Picture"] = [ASFByteArrayAttribute(asf_picture(picture_of(jpg)))]
    asf["Title"] = ["WMA"]
    asf.save()
    pictures[s] = picture_of(jpg)
    s = os.path.join(src, "wvsrc.wv")
    run(["wavpack", "-q", "-y", tone, "-o", s])
    wv = WavPack(s)
    wv.add_tags()
    wv.tags["Title"] = "WV"
    wv.tags["Cover Art (Front)"] = APEValue(b"cover.png\0" + picture_of(png), BINARY)
    wv.save()
    pictures[s] = picture_of(png)
    sources = list(pictures)

    # Every picture into every target kind that holds one; none into those that do not.
    for fmt in ("mp3", "ogg", "m4a", "wma", "flac", "opus"):
        outdir = os.path.join(work, "out-" + fmt)
        code, err = convert(cli, fmt, sources, outdir)
        check(code == 0, "%s: exit %d %s" % (fmt, code, err))
        for source in sources:
            target = out_path(outdir, source, fmt)
            got = target_picture(target) if os.path.exists(target) else None
            check(got == pictures[source], "%s -> %s: picture %s" % (
                os.path.basename(source), fmt, "missing" if got is None else "differs (%d bytes)" % len(got)))
            # The picture added to the finished file leaves its stated length (and size) right.
            if got and fmt in ("wma", "m4a"):
                probe = run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                             target])
                seconds = float(probe.stdout.decode().strip() or 0)
                check(abs(seconds - 1.0) < 0.1, "%s -> %s: stated %.2f s" % (os.path.basename(source), fmt, seconds))
    for fmt in ("wav", "aac", "amr"):
        outdir = os.path.join(work, "out-" + fmt)
        code, err = convert(cli, fmt, sources, outdir)
        check(code == 0, "%s: exit %d %s" % (fmt, code, err))
        for source in sources:
            data = picture_of(out_path(outdir, source, fmt))
            check(pictures[source] not in data, "%s -> %s holds the picture" % (os.path.basename(source), fmt))

    # Typed tags, or cover art off: no picture (the MP3 source's ID3v2 block is copied as it is
    # under the transfer policy, so it is left out of the second run).
    others = [x for x in sources if not x.endswith(".mp3")]
    runs = [("typed", ["MP3ID3TagType=0", "OGGID3TagType=0", "M4AID3TagType=0", "WMAID3TagType=0",
                       "FLACID3TagType=0", "OPUSID3TagType=0"], sources),
            ("off", ["CoverArt=0"], others)]
    for name, sets, inputs in runs:
        for fmt in ("mp3", "ogg", "m4a", "wma", "flac", "opus"):
            outdir = os.path.join(work, name + "-" + fmt)
            code, err = convert(cli, fmt, inputs, outdir, sets)
            check(code == 0, "%s %s: exit %d %s" % (name, fmt, code, err))
            for source in inputs:
                target = out_path(outdir, source, fmt)
                check(os.path.exists(target), "%s: %s -> %s missing" % (name, os.path.basename(source), fmt))
                got = target_picture(target) if os.path.exists(target) else None
                check(got is None, "%s: %s -> %s has a picture" % (name, os.path.basename(source), fmt))

    # A picture above 16 MB stays behind, with a warning; the conversion goes through.
    huge = os.path.join(work, "huge.jpg")
    with open(huge, "wb") as f:
        f.write(picture_of(jpg) + b"\0" * (16000001 - len(picture_of(jpg))))
    hsrc = os.path.join(work, "hugesrc.flac")
    run(["flac", "-s", "-f", "-o", hsrc, tone])
    run(["metaflac", "--set-tag=TITLE=HUGE", "--import-picture-from=3|image/jpeg||64x48x24|" + huge, hsrc])
    outdir = os.path.join(work, "huge")
    code, err = convert(cli, "mp3", [hsrc], outdir)
    target = out_path(outdir, hsrc, "mp3")
    check(code == 0 and os.path.exists(target), "oversized picture: conversion failed (%s)" % err)
    check(target_picture(target) is None, "oversized picture was copied")
    check("larger than 16 MB" in err, "oversized picture: no warning (%s)" % err)

    # Scaling down: the 800x600 JPEG of the FLAC source becomes 200x150, still a JPEG.
    flac = [x for x in sources if x.endswith(".flac")][0]
    for fmt in ("mp3", "m4a"):
        outdir = os.path.join(work, "scaled-" + fmt)
        code, err = convert(cli, fmt, [flac], outdir, ["CoverArtMaxPixels=200"])
        target = out_path(outdir, flac, fmt)
        got = (target_picture(target) if os.path.exists(target) else None) or b""
        check(got[:3] == b"\xff\xd8\xff" and jpeg_size(got) == (200, 150),
              "scaled %s: %r (%s)" % (fmt, jpeg_size(got) if got else None, err))

    # A source without a picture takes its folder's image when asked; the image file is copied
    # beside the targets once, and an existing file is never replaced.
    folder = os.path.join(work, "album")
    os.makedirs(folder)
    plain = os.path.join(folder, "plain.flac")
    run(["flac", "-s", "-f", "-o", plain, tone])
    run(["metaflac", "--set-tag=TITLE=PLAIN", plain])
    with open(os.path.join(folder, "Folder.JPG"), "wb") as f:
        f.write(picture_of(jpg))
    outdir = os.path.join(work, "folder-off")
    convert(cli, "mp3", [plain], outdir)
    check(target_picture(out_path(outdir, plain, "mp3")) is None, "folder image used though not asked")
    check(not os.path.exists(os.path.join(outdir, "Folder.JPG")), "folder image copied though not asked")
    outdir = os.path.join(work, "folder-on")
    code, err = convert(cli, "ogg", [plain], outdir, ["CoverArtFromFolder=1", "CoverArtCopyFolderImage=1"])
    target = out_path(outdir, plain, "ogg")
    check(os.path.exists(target) and target_picture(target) == picture_of(jpg), "folder image not in the target")
    copied = os.path.join(outdir, "Folder.JPG")
    check(os.path.exists(copied) and picture_of(copied) == picture_of(jpg), "folder image not copied")
    check(os.path.isdir(outdir) and not [n for n in os.listdir(outdir) if n.startswith(".")], "temporaries left")
    os.makedirs(outdir, exist_ok=True)
    with open(copied, "wb") as f:
        f.write(b"the user's own")
    convert(cli, "ogg", [plain], outdir, ["CoverArtCopyFolderImage=1"])
    check(picture_of(copied) == b"the user's own", "an existing image file was replaced")

    print("%d passed, %d failed" % (PASSED, FAILED))
    return 1 if FAILED else 0


if __name__ == "__main__":
    sys.exit(main())
