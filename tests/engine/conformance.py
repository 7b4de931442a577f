#!/usr/bin/python3
"""Audio conformance of sonavert-cli: every input kind the installed tools make, through every
output family, decoded by an independent decoder (libsndfile for PCM containers, ffmpeg for the
rest), aligned by cross-correlation and checked for delay, length, level, clipping, bursts and
the multichannel downmix.

Usage: conformance.py PATH/TO/sonavert-cli

Prints one line per conversion, a summary per output family and a last line "N passed, N failed"
counting checks. A check listed in PENDING that fails is reported as an expected failure and does
not fail the run; one that passes is reported too, so its entry can be removed."""

import ctypes
import ctypes.util
import fnmatch
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile as sf

# Known failures waiting for their fixes: (family, input, property, why); family, input and
# property take shell wildcards, and the first matching entry counts. Such a check is run and its
# failure printed as expected, but does not fail the suite; the end of the output says which
# entries no longer fail. Empty this table as the fixes land.
PENDING = []

RATE = 44100          # rate of the generated sources (except the 8 kHz one)
SECONDS = 2.0
BLOCK = 256           # block of the burst check
ACTIVE_DBFS = -40.0   # blocks of the reference below this level are not checked for bursts
BURST_SNR_DB = 10.0   # a burst block is below this SNR against the reference mix ...
BURST_MARGIN_DB = 20.0  # ... and this much below the reference encoder in the same block
LEVEL_TOLERANCE_DB = 0.5
DOWNMIX_TOLERANCE = 0.03  # absolute, on each coefficient of the stereo downmix
C = 1.0 / np.sqrt(2.0)
BS775 = np.array([[1.0, 0.0, C, 0.0, C, 0.0],   # L' from FL FR FC LFE BL BR
                  [0.0, 1.0, C, 0.0, 0.0, C]]) / (1.0 + 2.0 * C)

# Output families, each converted in one batch: the name the summary gives it, the -f format and
# --set overrides; the codec frame in samples at the target rate (the tolerance of delay and
# length where the format carries no gapless information); whether the format carries gapless
# information (delay 0, exact length) or only an exact start; whether the container states a
# sample-exact duration ("exact"; "cut": the decoded length is cut there, as players do with an
# MPEG-4 edit list), one within a frame ("approx"), or none ffprobe reads reliably (None: ADTS and
# AMR have no duration field, and ffprobe states an MP3's frames without the encoder's delay and
# padding); and the ffmpeg encoder of the block check's reference.
# `tail` counts the whole frames a decoder gives beyond the padded end where the format has no
# end trim (the Windows Media encoder's last, overlap-completing frame).
def family(name, fmt, frame, gapless, exact_start, ref, stated="approx", sets=(), tail=0):
    return {"name": name, "format": fmt, "frame": frame, "gapless": gapless, "exact_start": exact_start,
            "ref": ref, "stated": stated, "sets": list(sets), "tail": tail}


FAMILIES = [
    family("wav", "wav", 0, True, True, None, stated="exact"),
    # 24-bit stereo through the wide read (every input mixed down by the wide converter).
    family("wav24", "wav", 0, True, True, None, stated="exact",
           sets=["AutoDestWAVEncodingParam=0", "WAVBitsPerSample=24", "WAVSampleRate=0", "WAVChannelNum=2"]),
    family("mp3", "mp3", 1152, True, True, "libmp3lame", stated=None),
    family("ogg", "ogg", 2048, True, True, "libvorbis", stated="exact"),
    family("aac", "aac", 1024, False, False, "aac", stated=None),
    family("m4a", "m4a", 1024, True, True, "aac", stated="cut"),
    family("amr", "amr", 160, False, False, "amr", stated=None),
    family("wma", "wma", 2048, False, True, "wmav2", tail=1),
    # A mono target mixed from stereo by the Windows Media writer itself.
    family("wma-mono", "wma", 2048, False, True, "wmav2",
           sets=["AutoDestWMAEncodingParam=0", "WMASampleRate=44100", "WMABitRate=48000", "WMAChannels=1",
                 "MonoType=0"], tail=1),
    # Lossless: the reference encoders at their usual settings.
    family("flac", "flac", 0, True, True, "flac-5", stated="exact"),
    family("alac", "alac", 0, True, True, "alac", stated="exact"),
    # Opus decodes at 48 kHz whatever the source's rate; the pre-skip and the end granule trim it.
    family("opus", "opus", 960, True, True, "opusenc"),
    family("mp3-vbr", "mp3", 1152, True, True, "lame-V2", stated=None, sets=["MP3BitRateMode=1"]),
]
# Only the families named in SONAVERT_CONFORMANCE_FAMILIES (comma-separated) when it is set.
if os.environ.get("SONAVERT_CONFORMANCE_FAMILIES"):
    _only = os.environ["SONAVERT_CONFORMANCE_FAMILIES"].split(",")
    FAMILIES = [f for f in FAMILIES if f["name"] in _only]
    PENDING = [p for p in PENDING if any(fnmatch.fnmatch(f, p[0]) for f in _only)]


def run(argv, env=None, stdin=None, check=True):
    p = subprocess.run(argv, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    if check and p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (argv[0], p.stderr.decode(errors="replace")[-500:]))
    return p


def ffmpeg(*args, stdin=None):
    return run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin" if stdin is None else "-y"]
               + list(args), stdin=stdin).stdout


# --- signals -----------------------------------------------------------------------------------

def music(rate, seconds, channels, seed):
    """Music-like material: a chord with vibrato under a slow envelope, percussive decaying bursts
    (sharp transients), then quiet passages with clicks, and a little noise; about -3 dBFS at the
    peaks. Each
    channel gets its own notes so a downmix can be measured channel by channel."""
    rng = np.random.default_rng(seed)
    n = int(rate * seconds)
    t = np.arange(n) / rate
    out = np.zeros((n, channels))
    for ch in range(channels):
        x = np.zeros(n)
        base = 110.0 * 2 ** ((ch * 3 + rng.integers(0, 5)) / 12.0)
        for k, ratio in enumerate((1.0, 1.25, 1.5, 2.0, 3.0)):
            f = base * ratio * (1 + 0.003 * np.sin(2 * np.pi * (4.5 + ch) * t))
            phase = 2 * np.pi * np.cumsum(f) / rate
            x += 0.12 / (k + 1) * np.sin(phase + rng.uniform(0, 6.28))
        x *= 0.6 + 0.4 * np.sin(2 * np.pi * 0.7 * t + ch)
        # From 55 % on, the chord drops to about -35 dBFS under sharp clicks: the quiet blocks
        # before each attack show any pre-echo.
        quiet = int(0.55 * n)
        x[quiet:] *= 0.05
        for h in np.arange(quiet + int(0.05 * rate) + ch * 331, n - 2000, int(0.12 * rate)):
            m = min(1500, n - h)
            x[h:h + m] += (0.5 * rng.standard_normal(m) + 0.3 * np.sin(2 * np.pi * 2500 * np.arange(m) / rate)) \
                * np.exp(-np.arange(m) / (0.002 * rate))
        # Transients: a click-started burst of a few kHz tone and noise, every ~0.3 s.
        hits = np.arange(int(0.1 * rate) + ch * 997, int(0.5 * n), int(0.31 * rate))
        env = np.exp(-np.arange(3000) / (0.008 * rate))
        for h in hits:
            burst = (0.35 * np.sin(2 * np.pi * rng.uniform(1500, 3500) * np.arange(3000) / rate)
                     + 0.12 * rng.standard_normal(3000)) * env
            x[h:h + 3000] += burst
        x += 0.004 * rng.standard_normal(n)
        out[:, ch] = x
    out *= 0.7 / np.max(np.abs(out))
    # The last quarter: short loud noise clicks in digital silence, as of castanets, the right-hand
    # channels hearing them 300 samples after the left-hand ones.
    tail = int(0.75 * n)
    out[tail:] = 0
    for h in np.arange(tail + 500, n - 2300, 3000):
        click = np.clip(0.5 * rng.standard_normal(2000) * np.exp(-np.arange(2000) / 200.0), -0.8, 0.8)
        for ch in range(channels):
            at = h + 300 * (ch % 2)
            out[at:at + 2000, ch] = click
    return out.astype(np.float32)


# --- decoding and resampling -------------------------------------------------------------------

def decode(path):
    """(samples float64 [n, channels], rate) by libsndfile for PCM containers, else ffmpeg."""
    if path.endswith((".wav", ".aif", ".aiff", ".flac")):
        try:
            x, rate = sf.read(path, dtype="float64", always_2d=True)
            return x, rate
        except RuntimeError:
            pass
    info = probe(path)
    raw = ffmpeg("-i", path, "-map", "0:a:0", "-f", "f32le", "-acodec", "pcm_f32le", "-")
    x = np.frombuffer(raw, dtype="<f4").astype(np.float64)
    return x.reshape(-1, info["channels"]), info["rate"]


PROBED = {}


def probe(path):
    """Rate, channels, bit rate and stated duration of the first audio stream (ffprobe), once a file."""
    if path not in PROBED:
        PROBED[path] = probe_once(path)
    return PROBED[path]


def probe_once(path):
    out = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
               "stream=sample_rate,channels,bit_rate,duration_ts,time_base:format=bit_rate",
               "-of", "default=nw=1", path]).stdout
    info = {"rate": 0, "channels": 0, "bit_rate": 0, "duration": None, "duration_ms": False}
    fields = dict(line.partition("=")[::2] for line in out.decode().splitlines())
    num, _, den = fields.get("time_base", "").partition("/")
    if fields.get("duration_ts", "").isdigit() and num.isdigit() and den.isdigit() and int(den):
        info["duration"] = int(fields["duration_ts"]) * int(num) / int(den)
        info["duration_ms"] = int(den) <= 1000
    for line in out.decode().splitlines():
        k, _, v = line.partition("=")
        if not v.isdigit():
            continue
        if k == "sample_rate":
            info["rate"] = int(v)
        elif k == "channels":
            info["channels"] = int(v)
        elif k == "bit_rate" and not info["bit_rate"]:
            info["bit_rate"] = int(v)
    return info


def resample(x, rate_in, rate_out):
    if rate_in == rate_out:
        return x
    ch = x.shape[1]
    raw = ffmpeg("-f", "f64le", "-ar", str(rate_in), "-ac", str(ch), "-i", "-",
                 "-af", "aresample=resampler=soxr:precision=28", "-ar", str(rate_out),
                 "-f", "f64le", "-", stdin=np.ascontiguousarray(x, dtype="<f8").tobytes())
    return np.frombuffer(raw, dtype="<f8").reshape(-1, ch)


def reference_mix(src, channels):
    """The source as a target of `channels` channels should sound: itself, the stereo downmix for
    more channels, (L+R)/2 for mono."""
    n = src.shape[1]
    if channels == n:
        return src
    stereo = src
    if n == 1:
        stereo = np.repeat(src, 2, axis=1)
    elif n == 6:
        stereo = src @ BS775.T
    elif n != 2:
        return None
    if channels == 2:
        return stereo
    if channels == 1:
        return stereo.mean(axis=1, keepdims=True)
    return None


# --- measurements ------------------------------------------------------------------------------

def band(x, rate, lo, hi):
    """x filtered to lo..hi Hz (a brick wall in the frequency domain, per channel)."""
    spectrum = np.fft.rfft(x, axis=0)
    f = np.fft.rfftfreq(x.shape[0], 1.0 / rate)
    spectrum[(f < lo) | (f > hi)] = 0
    return np.fft.irfft(spectrum, n=x.shape[0], axis=0)


def find_delay(out, ref, max_lag):
    """Lag (samples) by which `out` trails `ref`, by cross-correlation of the channel sums."""
    a = out.sum(axis=1)
    b = ref.sum(axis=1)
    n = 1 << int(np.ceil(np.log2(len(a) + len(b))))
    xc = np.fft.irfft(np.fft.rfft(a, n) * np.conj(np.fft.rfft(b, n)), n)
    lags = np.concatenate([np.arange(0, max_lag + 1), np.arange(-max_lag, 0)])
    vals = np.concatenate([xc[:max_lag + 1], xc[n - max_lag:]])
    return int(lags[np.argmax(vals)])


def on_grid(x, delay, n):
    """x shifted back by `delay` onto the reference's n samples (zeros where x has none) and the
    mask of the samples it covers."""
    y = np.zeros((n, x.shape[1]))
    have = np.zeros(n, bool)
    lo, hi = max(0, -delay), min(n, len(x) - delay)
    if hi > lo:
        y[lo:hi] = x[lo + delay:hi + delay]
        have[lo:hi] = True
    return y, have


def block_snr(out, ref, have):
    """Per 256-sample block of the reference: SNR (dB) of out against ref, channels pooled, the
    ref level (dBFS), and whether out covers the whole block."""
    nb = len(ref) // BLOCK
    o = out[:nb * BLOCK].reshape(nb, -1)
    r = ref[:nb * BLOCK].reshape(nb, -1)
    sig = np.sum(r * r, axis=1)
    err = np.sum((o - r) ** 2, axis=1)
    snr = 10 * np.log10((sig + 1e-20) / (err + 1e-20))
    level = 10 * np.log10(sig / r.shape[1] + 1e-20)
    return snr, level, have[:nb * BLOCK].reshape(nb, BLOCK).all(axis=1)


# --- reference encoders -----------------------------------------------------------------------

MP3_RATES = [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320]
AMR_NB_MODES = [4750, 5150, 5900, 6700, 7400, 7950, 10200, 12200]


def amr_reference(mix, bit_rate, work):
    """Encodes a mono 8 kHz signal with the AMR narrow-band library called directly and decodes
    it with ffmpeg; None when the library is missing."""
    name = ctypes.util.find_library("opencore-amrnb")
    if not name:
        return None
    lib = ctypes.CDLL(name)
    lib.Encoder_Interface_init.restype = ctypes.c_void_p
    lib.Encoder_Interface_Encode.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_short),
                                             ctypes.POINTER(ctypes.c_ubyte), ctypes.c_int]
    lib.Encoder_Interface_exit.argtypes = [ctypes.c_void_p]
    mode = int(np.argmin([abs(m - bit_rate) for m in AMR_NB_MODES]))
    state = lib.Encoder_Interface_init(0)
    pcm = np.clip(np.round(mix[:, 0] * 32768), -32768, 32767).astype(np.int16)
    pcm = np.concatenate([pcm, np.zeros((-len(pcm)) % 160, np.int16)])
    data = bytearray(b"#!AMR\n")
    outbuf = (ctypes.c_ubyte * 64)()
    for at in range(0, len(pcm), 160):
        frame = np.ascontiguousarray(pcm[at:at + 160])
        n = lib.Encoder_Interface_Encode(state, mode, frame.ctypes.data_as(ctypes.POINTER(ctypes.c_short)),
                                         outbuf, 0)
        data += bytes(outbuf[:n])
    lib.Encoder_Interface_exit(state)
    path = os.path.join(work, "ref-%d.amr" % len(PROBED))
    with open(path, "wb") as f:
        f.write(data)
    return decode(path)[0]


def reference_encode(codec, mix, rate, info, work):
    """The reference mix through the reference encoder at the target's rate, channels and bit
    rate, decoded again; None when there is no reference."""
    if codec is None:
        return None
    if codec == "amr":
        return amr_reference(mix, info["bit_rate"], work) if rate == 8000 else None
    ch = mix.shape[1]
    raw = np.ascontiguousarray(mix, dtype="<f8").tobytes()
    if codec in ("flac-5", "alac"):
        # The lossless references take the mix as 24-bit integers.
        pcm = os.path.join(work, "ref-%d.wav" % len(PROBED))
        ffmpeg("-f", "f64le", "-ar", str(rate), "-ac", str(ch), "-i", "-", "-c:a", "pcm_s24le", "-y", pcm, stdin=raw)
        path = pcm[:-4] + (".flac" if codec == "flac-5" else ".m4a")
        if codec == "flac-5":
            run(["flac", "-5", "-s", "-f", "-o", path, pcm])
        else:
            ffmpeg("-i", pcm, "-c:a", "alac", "-y", path)
        return decode(path)[0]
    if codec in ("opusenc", "lame-V2"):
        # The command-line encoders at their usual settings: opusenc at the stereo bit rate of
        # 128 kbps scaled by channels as the program does, LAME at VBR quality 2.
        wav = os.path.join(work, "ref-%d.wav" % len(PROBED))
        sf.write(wav, np.clip(mix, -1.0, 1.0), rate, subtype="FLOAT" if codec == "opusenc" else "PCM_16")
        if codec == "opusenc":
            path = wav[:-4] + ".opus"
            run(["opusenc", "--quiet", "--bitrate", "%g" % (64 * ch), wav, path])
        else:
            path = wav[:-4] + ".mp3"
            run(["lame", "--quiet", "-V2", wav, path])
        return decode(path)[0]
    bit_rate = info["bit_rate"] or 128000
    args = ["-f", "f64le", "-ar", str(rate), "-ac", str(ch), "-i", "-", "-c:a", codec]
    ext = {"libmp3lame": ".mp3", "libvorbis": ".ogg", "aac": ".m4a", "wmav2": ".wma"}[codec]
    if codec == "libmp3lame":
        kbps = min(MP3_RATES, key=lambda k: abs(k * 1000 - bit_rate))
        args += ["-b:a", "%dk" % kbps]
    else:
        args += ["-b:a", str(bit_rate)]
    path = os.path.join(work, "ref-%d%s" % (len(PROBED), ext))
    ffmpeg(*(args + ["-y", path]), stdin=np.ascontiguousarray(mix, dtype="<f8").tobytes())
    return decode(path)[0]


# --- inputs ------------------------------------------------------------------------------------

def make_inputs(work):
    """Writes every input kind; returns [(label, path, reference samples, rate)]. The reference is
    the input as decoded by the independent decoder (what the program is meant to read)."""
    os.makedirs(os.path.join(work, "in"))
    stereo = music(RATE, SECONDS, 2, 1)
    master = os.path.join(work, "master.wav")
    sf.write(master, stereo, RATE, subtype="FLOAT")
    master16 = os.path.join(work, "master16.wav")
    sf.write(master16, stereo, RATE, subtype="PCM_16")
    made = []

    def add(label, ext, maker):
        path = os.path.join(work, "in", label + ext)
        maker(path)
        made.append((label, path))

    for sub, label in (("PCM_U8", "wav8"), ("PCM_16", "wav16"), ("PCM_24", "wav24"), ("FLOAT", "wavfloat")):
        add(label, ".wav", lambda p, s=sub: sf.write(p, stereo, RATE, subtype=s))
    add("flac", ".flac", lambda p: run(["flac", "-s", "-f", "-o", p, master16]))
    add("mp3-lame", ".mp3", lambda p: run(["lame", "--quiet", "-b", "192", master16, p]))
    add("mp3-nolame", ".mp3", lambda p: run(["lame", "--quiet", "-t", "-b", "192", master16, p]))
    add("vorbis", ".ogg", lambda p: ffmpeg("-i", master, "-c:a", "libvorbis", "-q:a", "6", p))
    add("opus", ".opus", lambda p: ffmpeg("-i", master, "-c:a", "libopus", "-b:a", "128k", p))
    add("m4a", ".m4a", lambda p: ffmpeg("-i", master, "-c:a", "aac", "-b:a", "160k", p))
    add("wma", ".wma", lambda p: ffmpeg("-i", master, "-c:a", "wmav2", "-b:a", "128k", p))
    add("aiff", ".aiff", lambda p: sf.write(p, stereo, RATE, subtype="PCM_16", format="AIFF"))
    add("5.1", ".wav", lambda p: sf.write(p, music(RATE, SECONDS, 6, 2), RATE, subtype="PCM_16"))
    add("8k-mono", ".wav", lambda p: sf.write(p, music(8000, SECONDS, 1, 3), 8000, subtype="PCM_16"))
    inputs = []
    for label, path in made:
        x, rate = decode(path)
        inputs.append((label, path, x, rate))

    # Chained Ogg Vorbis: a 44.1 kHz link followed by a 22.05 kHz one. The reference is the links
    # decoded one by one, the second resampled to the first one's rate.
    half = len(stereo) // 2
    links = []
    for i, (part, rate) in enumerate(((stereo[:half], RATE), (resample(stereo[half:], RATE, RATE // 2), RATE // 2))):
        wav = os.path.join(work, "link%d.wav" % i)
        sf.write(wav, part, rate, subtype="PCM_16")
        ogg = os.path.join(work, "link%d.ogg" % i)
        run(["oggenc", "-Q", "-q", "5", "-o", ogg, wav])
        links.append((ogg, decode(ogg)))
    path = os.path.join(work, "in", "vorbis-chained.ogg")
    with open(path, "wb") as f:
        for ogg, _ in links:
            with open(ogg, "rb") as part:
                f.write(part.read())
    ref = np.concatenate([links[0][1][0], resample(links[1][1][0], RATE // 2, RATE)])
    inputs.append(("vorbis-chained", path, ref, RATE))
    return inputs


# --- the checks --------------------------------------------------------------------------------

class Tally:
    def __init__(self):
        self.passed = self.failed = self.expected = 0
        self.lines = []
        self.pending = {entry: [0, 0] for entry in PENDING}  # expected failures, passes

    def check(self, family, label, prop, ok, detail):
        pending = next((p for p in PENDING if fnmatch.fnmatch(family, p[0]) and fnmatch.fnmatch(label, p[1])
                        and fnmatch.fnmatch(prop, p[2])), None)
        if ok:
            self.passed += 1
            if pending:
                self.pending[pending][1] += 1
        elif pending:
            self.expected += 1
            self.pending[pending][0] += 1
            self.lines.append("  EXPECTED FAILURE, pending %s: %s <- %s: %s (%s)" %
                              (pending[3], family, label, prop, detail))
        else:
            self.failed += 1
            self.lines.append("  FAIL %s <- %s: %s (%s)" % (family, label, prop, detail))

    def pending_report(self):
        print("\nPending entries (family, input, property: expected failures, checks that passed):")
        for entry, (failed, passed) in self.pending.items():
            note = "" if failed else "   <- no failure left: remove this entry"
            print("  %-10s %-16s %-9s %-30s %3d failed, %3d passed%s" %
                  (entry[0], entry[1], entry[2], entry[3], failed, passed, note))


def convert_family(cli, fam, inputs, work, env):
    outdir = os.path.join(work, "out-" + fam["name"])
    argv = [cli, "-y", "-f", fam["format"], "-o", outdir, "--jobs", "2"]
    for setting in fam["sets"]:
        argv += ["--set", setting]
    argv += [p for _, p, _, _ in inputs]
    p = run(argv, env=env, check=False)
    targets = {}
    for line in p.stdout.decode(errors="replace").splitlines():
        src, _, rest = line.partition("\t")
        targets[src] = rest
    return targets, p.stderr.decode(errors="replace")


def check_row(tally, fam, label, src, src_rate, target, work, stats):
    family, frame, gapless, exact_start = fam["name"], fam["frame"], fam["gapless"], fam["exact_start"]
    ref_codec = fam["ref"]
    out, rate = decode(target)
    info = probe(target)
    n_expected = int(round(len(src) * rate / src_rate))
    resampled = rate != src_rate
    # The duration the container states, in target samples.
    if fam["stated"] and info["duration"] is not None:
        stated = int(round(info["duration"] * rate))
        tol = (1 if resampled else 0) if fam["stated"] in ("exact", "cut") else frame
        if info["duration_ms"]:
            tol = max(tol, int(np.ceil(rate / 1000.0)))
        tally.check(family, label, "duration", abs(stated - n_expected) <= tol,
                    "states %d samples for %d, allowed +-%d" % (stated, n_expected, tol))
        if fam["stated"] == "cut":
            out = out[:stated]
    ch = out.shape[1]
    # The reference mix at the target's channels and rate.
    mix = reference_mix(src, ch)
    if mix is None:
        tally.check(family, label, "channels", False, "%d-channel target from %d channels" % (ch, src.shape[1]))
        return
    mix = resample(mix, src_rate, rate)
    row = {"delay": 0, "len": 0, "level": 0.0, "snr": np.inf, "margin": np.inf}

    # Delay and length.
    delay = find_delay(out, mix, min(max(4096, 4 * frame), len(mix) // 2))
    length_error = len(out) - n_expected
    row["delay"], row["len"] = delay, length_error
    delay_tol = 0 if exact_start else frame
    len_tol = (1 if resampled else 0) if gapless else frame * (1 + fam["tail"]) + (frame if not exact_start else 0)
    tally.check(family, label, "delay", abs(delay) <= delay_tol, "delay %d, allowed %d" % (delay, delay_tol))
    tally.check(family, label, "length", abs(length_error) <= len_tol,
                "%d samples for %d, allowed +-%d" % (len(out), n_expected, len_tol))

    o, have = on_grid(out, delay, len(mix))
    # Level in a band every family carries, over the part the target covers.
    ob, rb = band(o, rate, 100.0, 3000.0), band(mix, rate, 100.0, 3000.0)
    level = 10 * np.log10(np.sum(ob[have] ** 2) / np.sum(rb[have] ** 2))
    row["level"] = level

    # Clipping: samples at full scale beyond what the source or the reference encoder has.
    clip_out = int(np.sum(np.abs(out) >= 0.999))
    clip_ref = int(np.sum(np.abs(mix) >= 0.999))

    # Bursts: 256-sample blocks far below the reference mix, and far below the reference encoder.
    edge = min(0.45 * rate, 7000.0 if family != "amr" else 3400.0)
    rb = band(mix, rate, 60.0, edge)
    snr, lvl, covered = block_snr(band(o, rate, 60.0, edge), rb, have)
    active = (lvl > ACTIVE_DBFS) & covered
    worst = float(np.min(snr[active])) if active.any() else np.inf
    row["snr"] = worst
    ref = reference_encode(ref_codec, mix, rate, info, work)
    if ref is not None:
        clip_ref = max(clip_ref, int(np.sum(np.abs(ref) >= 0.999)))
        rdelay = find_delay(ref, mix, min(8192, len(mix) // 2))
        ro, rhave = on_grid(ref, rdelay, len(mix))
        rob = band(ro, rate, 100.0, 3000.0)
        rbl = band(mix, rate, 100.0, 3000.0)
        row["ref_level"] = 10 * np.log10(np.sum(rob[rhave] ** 2) / np.sum(rbl[rhave] ** 2))
        rsnr, _, rcovered = block_snr(band(ro, rate, 60.0, edge), rb, rhave)
        act = active & rcovered
        margin = snr - rsnr
        bursts = act & (snr < BURST_SNR_DB) & (margin < -BURST_MARGIN_DB)
        at = int(np.argmin(np.where(act, margin, np.inf)))
        row["margin"] = float(margin[at]) if act.any() else np.inf
        tally.check(family, label, "burst", not bursts.any(),
                    "%d burst blocks; worst margin %.1f dB at %.3f s (%.1f dB, reference encoder %.1f dB)" %
                    (int(bursts.sum()), row["margin"], at * BLOCK / rate, snr[at], rsnr[at]))
    if ref is not None:
        # What the codec itself loses of this material (AMR's speech coder about half a dB) is
        # taken out: the reference encoder's level change at the same settings.
        tally.check(family, label, "level", abs(level - row["ref_level"]) <= LEVEL_TOLERANCE_DB,
                    "%+.2f dB; the reference encoder %+.2f dB" % (level, row["ref_level"]))
    else:
        tally.check(family, label, "level", abs(level) <= LEVEL_TOLERANCE_DB, "%+.2f dB" % level)
    if ref is None and ref_codec is None:
        # PCM: the target must match the source itself block by block.
        tally.check(family, label, "burst", worst >= BURST_SNR_DB or not active.any(),
                    "worst block %.1f dB" % worst)
    tally.check(family, label, "clipping", clip_out <= clip_ref + 2,
                "%d full-scale samples, reference %d" % (clip_out, clip_ref))

    # Downmix coefficients: each target channel regressed on the source channels.
    if src.shape[1] > 2 and ch <= 2:
        srs = resample(src, src_rate, rate)
        so, shave = on_grid(out, delay, len(srs))
        # Lossy coders drop the top of the band, which would shrink every coefficient alike:
        # regress within the band each of them keeps.
        so, ss = band(so[shave], rate, 50.0, 4000.0), band(srs[shave], rate, 50.0, 4000.0)
        want = BS775 if ch == 2 else BS775.mean(axis=0, keepdims=True)
        got = np.linalg.lstsq(ss, so, rcond=None)[0].T
        if ref is not None:
            # A lossy coder shrinks what it codes coarsely; the reference mix through the
            # reference encoder shows by how much, so that is what the target is held to.
            ro, rshave = on_grid(ref, rdelay, len(srs))
            both = shave & rshave
            rs = band(ro[both], rate, 50.0, 4000.0)
            sb = band(srs[both], rate, 50.0, 4000.0)
            want = np.linalg.lstsq(sb, rs, rcond=None)[0].T
        err = float(np.max(np.abs(got - want)))
        row["downmix"] = err
        tally.check(family, label, "downmix", err <= DOWNMIX_TOLERANCE,
                    "largest coefficient error %.3f; L' = %s" %
                    (err, " ".join("%.3f" % v for v in got[0])))
    stats.setdefault(family, []).append((label, rate, ch, row))


# --- loudness ----------------------------------------------------------------------------------

LOUDNESS_FAMILIES = ("mp3", "ogg", "m4a", "wma")  # targets whose gain tags are read back


def ebur128(path):
    """Integrated loudness (LUFS) and true peak (dBTP) as ffmpeg's ebur128 filter measures them."""
    err = subprocess.run(["ffmpeg", "-nostats", "-hide_banner", "-i", path, "-af", "ebur128=peak=true",
                          "-f", "null", "-"], capture_output=True).stderr.decode(errors="replace")
    summary = err[err.rfind("Summary:"):]
    loud = float(summary.split("I:")[1].split("LUFS")[0])
    peak = float(summary.split("True peak:")[1].split("Peak:")[1].split("dBFS")[0])
    return loud, peak


def ebur128_joined(paths):
    """Integrated loudness and true peak of several files played one after the other (48 kHz)."""
    inputs = sum((["-i", p] for p in paths), [])
    graph = "".join("[%d:a]aresample=48000,aformat=channel_layouts=stereo[a%d];" % (i, i) for i in range(len(paths)))
    graph += "".join("[a%d]" % i for i in range(len(paths))) + "concat=n=%d:v=0:a=1,ebur128=peak=true" % len(paths)
    err = subprocess.run(["ffmpeg", "-nostats", "-hide_banner"] + inputs + ["-filter_complex", graph, "-f", "null", "-"],
                         capture_output=True).stderr.decode(errors="replace")
    summary = err[err.rfind("Summary:"):]
    loud = float(summary.split("I:")[1].split("LUFS")[0])
    peak = float(summary.split("True peak:")[1].split("Peak:")[1].split("dBFS")[0])
    return loud, peak


def gain_tags(path):
    """The ReplayGain texts of a target by mutagen, upper-case names without the MP4 and ID3 prefixes."""
    import mutagen
    tags = mutagen.File(path).tags
    out = {}
    for key, value in tags.items():
        name = key.split(":")[-1].upper()
        if not name.startswith("REPLAYGAIN_"):
            continue
        if isinstance(value, list):
            value = value[0]
        value = getattr(value, "value", value)  # an ASF attribute holds its text
        out[name] = bytes(value).decode() if isinstance(value, bytes) else str(value)
    return out


def check_loudness(tally, cli, work, env):
    """Reference sines measured within 0.1 LU, ReplayGain track and album tags read back, and
    normalised targets at their loudness within 0.5 LU and under their true-peak ceiling."""
    album = os.path.join(work, "album")
    os.makedirs(album)
    t = np.arange(48000 * 10) / 48000.0
    levels = {"sine-23": -23.0, "sine-20": -20.0}
    for label, dbfs in levels.items():
        x = 10 ** (dbfs / 20.0) * np.sin(2 * np.pi * 1000.0 * t)
        sf.write(os.path.join(album, label + ".wav"), np.stack([x, x], axis=1), 48000, subtype="PCM_16")
    sources = [os.path.join(album, label + ".wav") for label in levels]
    # ReplayGain 2.0: gain = -18 LUFS - loudness; the album's loudness is the gated loudness of both.
    album_loudness = 10 * np.log10(np.mean([10 ** (l / 10.0) for l in levels.values()]))
    for fmt in LOUDNESS_FAMILIES:
        outdir = os.path.join(work, "loud-" + fmt)
        p = run([cli, "-y", "-f", fmt, "-o", outdir, "--set", "LoudnessAnalysis=1"] + sources, env=env, check=False)
        rows = dict((line.split("\t")[0], line.split("\t")[1:]) for line in p.stdout.decode().splitlines())
        album_gains = set()
        for label, dbfs in levels.items():
            fields = rows.get(os.path.join(album, label + ".wav"), [])
            name = "loudness-" + fmt
            if len(fields) != 2:
                tally.check(name, label, "measured", False, " ".join(fields) or p.stderr.decode()[-200:])
                continue
            measured = float(fields[1].split(" LUFS")[0])
            tally.check(name, label, "loudness", abs(measured - dbfs) <= 0.1, "%.1f LUFS" % measured)
            tags = gain_tags(fields[0])
            track = float(tags.get("REPLAYGAIN_TRACK_GAIN", "nan dB").split()[0])
            peak = float(tags.get("REPLAYGAIN_TRACK_PEAK", "nan"))
            tally.check(name, label, "track gain", abs(track - (-18.0 - dbfs)) <= 0.1, str(tags))
            tally.check(name, label, "track peak", abs(peak - 10 ** (dbfs / 20.0)) <= 0.002, str(tags))
            album_gains.add(tags.get("REPLAYGAIN_ALBUM_GAIN"))
            gain = float((tags.get("REPLAYGAIN_ALBUM_GAIN") or "nan dB").split()[0])
            tally.check(name, label, "album gain", abs(gain - (-18.0 - album_loudness)) <= 0.1, str(tags))
        tally.check("loudness-" + fmt, "album", "album gain equal", len(album_gains) == 1, str(album_gains))

    # A batch that converts only part of a folder (the other target exists and is skipped) writes
    # no album gain: it would be the gain of part of the album.
    outdir = os.path.join(work, "loud-ogg")
    os.remove(os.path.join(outdir, "sine-20.ogg"))
    run([cli, "-y", "-f", "ogg", "-o", outdir, "--set", "LoudnessAnalysis=1", "--set", "TargetExistsOpt=33"] + sources,
        env=env, check=False)
    tags = gain_tags(os.path.join(outdir, "sine-20.ogg"))
    tally.check("loudness-ogg", "part of an album", "no album gain",
                "REPLAYGAIN_TRACK_GAIN" in tags and "REPLAYGAIN_ALBUM_GAIN" not in tags, str(tags))

    # An MP3 source's ID3v2 tag, copied as it is, gains the gain frames and keeps its own.
    tagged = os.path.join(work, "tagged.mp3")
    ffmpeg("-i", sources[0], "-c:a", "libmp3lame", "-b:a", "128k", "-metadata", "title=Kept title",
           "-id3v2_version", "3", tagged)
    outdir = os.path.join(work, "loud-id3")
    p = run([cli, "-y", "-f", "mp3", "-o", outdir, "--set", "LoudnessAnalysis=1", "--set", "MP3ID3TagType=1", tagged],
            env=env, check=False)
    target = os.path.join(outdir, "tagged.mp3")
    import mutagen
    tags = mutagen.File(target).tags if os.path.isfile(target) else {}
    tally.check("loudness-mp3", "id3v2 copy", "gain frames added",
                "TXXX:REPLAYGAIN_TRACK_GAIN" in tags and str(tags.get("TIT2")) == "Kept title", str(tags)[:200])

    # Normalisation: a quiet sine brought up, music with high peaks held under the ceiling. The
    # gain is set on the samples handed to the encoder; a lossy encoder's low-pass takes a part of
    # the synthetic music's loudness (2 dB at 128 kbps MP3), so lossy targets are checked on the sine.
    x = music(RATE, 6.0, 2, 7)
    sf.write(os.path.join(work, "music.wav"), x, RATE, subtype="PCM_16")
    norm_sources = sources[:1] + [os.path.join(work, "music.wav")]
    for fmt, target, ceiling in (("wav", -14, -1.0), ("wav", -23, -1.0), ("mp3", -16, -1.0), ("wav", -14, -6.0)):
        outdir = os.path.join(work, "norm-%s%d%d" % (fmt, target, ceiling))
        p = run([cli, "-y", "-f", fmt, "-o", outdir, "--set", "LoudnessGainMode=1", "--set",
                 "LoudnessTarget=%d" % target, "--set", "LoudnessPeakCeiling=%d" % int(ceiling * 10)] + norm_sources,
                env=env, check=False)
        rows = dict((line.split("\t")[0], line.split("\t")[1:]) for line in p.stdout.decode().splitlines())
        for src in norm_sources if fmt == "wav" else sources[:1]:
            name, label = "normalise-" + fmt, "%s %d/%g" % (os.path.basename(src), target, ceiling)
            fields = rows.get(src, [])
            if not fields or not os.path.isfile(fields[0]):
                tally.check(name, label, "converts", False, p.stderr.decode()[-200:])
                continue
            loud, peak = ebur128(fields[0])
            _, src_peak = ebur128(src)
            src_loud, _ = ebur128(src)
            # The gain the target asks for, unless the ceiling holds it back.
            expected = min(float(target), src_loud + (ceiling - src_peak))
            tally.check(name, label, "loudness", abs(loud - expected) <= 0.5, "%.2f LUFS, expected %.2f" % (loud, expected))
            # Lossy coding moves peaks a little; the samples handed to the encoder stay under it.
            slack = 0.1 if fmt == "wav" else 0.5
            tally.check(name, label, "ceiling", peak <= ceiling + slack, "%.2f dBTP" % peak)
            print("%-12s %-22s %7.2f LUFS (expected %7.2f)  true peak %6.2f dBTP" % (name, label, loud, expected, peak))

    # Album normalisation: one gain for every file of the album, bringing the album (all its files
    # as one programme) to the target or its loudest true peak to the ceiling, whichever is lower.
    # The quiet and the loud sine reach the target; with the music the ceiling holds the gain back.
    shutil.copy(os.path.join(work, "music.wav"), os.path.join(album, "music.wav"))
    for members, target, ceiling in ((sources, -14, -1.0), (sources[:1] + [os.path.join(album, "music.wav")], -16, -3.0)):
        outdir = os.path.join(work, "norm-album%d" % len(os.listdir(work)))
        p = run([cli, "-y", "-f", "wav", "-o", outdir, "--set", "LoudnessGainMode=2", "--set",
                 "LoudnessTarget=%d" % target, "--set", "LoudnessPeakCeiling=%d" % int(ceiling * 10)] + members,
                env=env, check=False)
        rows = dict((line.split("\t")[0], line.split("\t")[1:]) for line in p.stdout.decode().splitlines())
        name, label = "normalise-album", "%s %d/%g" % ("+".join(os.path.basename(m) for m in members), target, ceiling)
        targets = [rows.get(m, [""])[0] for m in members]
        if not all(os.path.isfile(t) for t in targets):
            tally.check(name, label, "converts", False, p.stderr.decode()[-200:])
            continue
        src_loud, _ = ebur128_joined(members)
        src_peak = max(ebur128(m)[1] for m in members)
        expected = min(float(target), src_loud + (ceiling - src_peak))
        loud, _ = ebur128_joined(targets)
        tally.check(name, label, "album loudness", abs(loud - expected) <= 0.5, "%.2f LUFS, expected %.2f" % (loud, expected))
        gains = [ebur128(t)[0] - ebur128(m)[0] for m, t in zip(members, targets)]
        # ffmpeg prints tenths: two readings of one gain differ by up to 0.1 and a little.
        tally.check(name, label, "one gain", max(gains) - min(gains) <= 0.15, str(gains))
        peaks = [ebur128(t)[1] for t in targets]
        tally.check(name, label, "ceiling", max(peaks) <= ceiling + 0.1, str(peaks))
        print("%-12s %-22s %7.2f LUFS (expected %7.2f)  true peaks %s dBTP" % (name, label, loud, expected, peaks))

    # Albums by tag: the two discs of one album in two folders share one album gain; a file of the
    # second folder without an album tag is an album of its own folder. By folder the discs differ.
    discs = []
    for folder, label, dbfs, tagged in (("disc1", "a", -23.0, True), ("disc2", "b", -17.0, True),
                                        ("disc2", "c", -20.0, False)):
        os.makedirs(os.path.join(work, folder), exist_ok=True)
        path = os.path.join(work, folder, label + ".flac")
        meta = ["-metadata", "album=Two Discs", "-metadata", "album_artist=Someone"] if tagged else []
        wave = "%g*sin(2*PI*1000*t)" % 10 ** (dbfs / 20.0)
        ffmpeg("-f", "lavfi", "-i", "aevalsrc=%s|%s:s=48000:d=6" % (wave, wave), *meta, path)
        discs.append(path)
    for grouping in (1, 0):
        outdir = os.path.join(work, "by-tag%d" % grouping)
        p = run([cli, "-y", "-f", "ogg", "-o", outdir, "--set", "LoudnessAnalysis=1", "--set",
                 "LoudnessAlbumGrouping=%d" % grouping] + discs, env=env, check=False)
        rows = dict((line.split("\t")[0], line.split("\t")[1:]) for line in p.stdout.decode().splitlines())
        gains = []
        for d in discs:
            t = rows.get(d, [""])[0]
            gains.append(gain_tags(t).get("REPLAYGAIN_ALBUM_GAIN") if os.path.isfile(t) else None)
        name = "album-by-tag" if grouping else "album-by-folder"
        if grouping:
            joined, _ = ebur128_joined(discs[:2])
            gain = float((gains[0] or "nan dB").split()[0])
            tally.check(name, "two folders", "album gain equal", gains[0] is not None and gains[0] == gains[1], str(gains))
            tally.check(name, "two folders", "album gain", abs(gain - (-18.0 - joined)) <= 0.1, "%s, expected %.2f" % (gains, -18.0 - joined))
            tally.check(name, "untagged", "own folder's", abs(float((gains[2] or "nan dB").split()[0]) - 2.0) <= 0.1, str(gains))
        else:
            tally.check(name, "two folders", "album gains differ", None not in gains and gains[0] != gains[1], str(gains))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    cli = os.path.abspath(sys.argv[1])
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="sonavert-conformance-")
    try:
        env = dict(os.environ)
        for k, sub in (("XDG_CONFIG_HOME", "config"), ("HOME", "home"), ("XDG_DOCUMENTS_DIR", "documents")):
            env[k] = os.path.join(work, sub)
            os.makedirs(env[k])
        inputs = make_inputs(work)
        tally = Tally()
        stats = {}
        for fam in FAMILIES:
            family = fam["name"]
            t0 = time.monotonic()
            targets, stderr = convert_family(cli, fam, inputs, work, env)
            for label, path, src, src_rate in inputs:
                target = targets.get(path, "")
                converted = target.startswith("/") and os.path.isfile(target)
                tally.check(family, label, "converts", converted, target or stderr.strip()[-200:])
                if converted:
                    try:
                        check_row(tally, fam, label, src, src_rate, target, work, stats)
                    except Exception as e:  # a target the decoder cannot read is a failure
                        tally.check(family, label, "decodes", False, str(e)[-200:])
            print("%-8s converted and checked in %.1f s" % (family, time.monotonic() - t0), flush=True)
        check_loudness(tally, cli, work, env)
        report(stats, tally)
        tally.pending_report()
        elapsed = time.monotonic() - started
        print("run time %.1f s" % elapsed)
        print("%d expected failures pending" % tally.expected)
        print("%d passed, %d failed" % (tally.passed, tally.failed))
        return 0 if tally.failed == 0 else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(stats, tally):
    print("\nPer conversion: delay and length error in target samples, level error of the target and of "
          "the reference encoder (dB), worst block SNR against the reference mix and worst margin against "
          "the reference encoder (dB), largest downmix coefficient error")
    print("%-8s %-14s %6s %2s %6s %6s %7s %7s %7s %7s %6s" %
          ("family", "input", "rate", "ch", "delay", "len", "level", "ref lvl", "snr", "vs ref", "dmix"))
    for family, rows in stats.items():
        for label, rate, ch, r in rows:
            print("%-8s %-14s %6d %2d %6d %6d %+7.2f %7s %7.1f %7.1f %6s" %
                  (family, label, rate, ch, r["delay"], r["len"], r["level"],
                   "%+.2f" % r["ref_level"] if "ref_level" in r else "-", r["snr"], r["margin"],
                   "%.3f" % r["downmix"] if "downmix" in r else "-"))
    print("\nPer family, worst over all inputs / over the inputs other than 5.1 and chained Ogg (level "
          "less the reference encoder's own change):")
    print("%-8s %13s %13s %13s %13s %13s" % ("family", "|delay|", "|len|", "|level| dB", "snr dB", "vs ref dB"))
    for family, rows in stats.items():
        cols = []
        for pick in (lambda l: True, lambda l: l not in ("5.1", "vorbis-chained")):
            rs = [r for label, _, _, r in rows if pick(label)]
            cols.append((max(abs(r["delay"]) for r in rs), max(abs(r["len"]) for r in rs),
                         max(abs(r["level"] - r.get("ref_level", 0.0)) for r in rs), min(r["snr"] for r in rs),
                         min(r["margin"] for r in rs)))
        a, b = cols
        print("%-8s %6d/%-6d %6d/%-6d %6.2f/%-6.2f %6.1f/%-6.1f %6.1f/%-6.1f" %
              (family, a[0], b[0], a[1], b[1], a[2], b[2], a[3], b[3], a[4], b[4]))
    print("\nChecks:")
    for line in tally.lines:
        print(line)


if __name__ == "__main__":
    sys.exit(main())
