#!/usr/bin/env python3
"""Synthesises the soundtrack "Artifacts/Audio/velksmör.mp3".

Everything is made here from oscillators and noise: no samples, no recordings.
The piece runs at about 138 BPM in A minor. Its sections change exactly on the
music cues of Shaders/demo.hlsl.json (13.900, 41.733, 62.600 and 90.433 s):
each stretch between two cues holds a whole number of bars (8, 16, 12, 16), so
the tempo of each stretch is nudged by less than 0.2 % to put the cues on bar
lines. After the last cue the tempo stays at 138 BPM; the track ends calmly
and lasts 155 s.

Usage: make_music.py [output.mp3]   (needs python3-numpy and lame)
"""

import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

SR = 48000
LENGTH = 155.0
BPM = 138.0
BAR = 240.0 / BPM
# Bar lines pinned to the music cues: (bar, seconds).
ANCHORS = [(0, 0.0), (8, 13.900), (24, 41.733), (36, 62.600), (52, 90.433)]
STAMP_TIME = 6.5  # the intro's title stamp (STAMP_TIME of the settings file)
RNG = np.random.default_rng(1138)


def bar_time(bar):
    """Seconds at a (fractional) bar position, following the pinned tempo map."""
    for (b0, t0), (b1, t1) in zip(ANCHORS, ANCHORS[1:]):
        if bar <= b1:
            return t0 + (bar - b0) * (t1 - t0) / (b1 - b0)
    b0, t0 = ANCHORS[-1]
    return t0 + (bar - b0) * BAR


def beat_time(beat):
    return bar_time(beat / 4.0)


def midi_hz(m):
    return 440.0 * 2.0 ** ((m - 69) / 12.0)


N = int(LENGTH * SR)
bus = {name: np.zeros((2, N)) for name in ("drums", "bass", "pad", "arp", "lead", "fx")}
send = {"drums": 0.08, "bass": 0.0, "pad": 0.35, "arp": 0.3, "lead": 0.3, "fx": 0.45}

# ---------------------------------------------------------------- oscillators

TABLE = 4096
_tables = {}


def table(kind, nharm):
    """One band-limited cycle: 'saw', 'square' or 'tri' with nharm harmonics."""
    key = (kind, nharm)
    if key not in _tables:
        ph = np.arange(TABLE) / TABLE * 2 * np.pi
        w = np.zeros(TABLE)
        for n in range(1, nharm + 1):
            if kind == "saw":
                a = 1.0 / n
            elif kind == "square":
                a = 1.0 / n if n % 2 else 0.0
            else:
                a = (1.0 / n ** 2) * (-1) ** ((n - 1) // 2) if n % 2 else 0.0
            # gentle roll-off, as if a soft low-pass followed the oscillator
            a *= 1.0 / (1.0 + (n / (0.6 * nharm + 1)) ** 2)
            if a:
                w += a * np.sin(n * ph)
        w /= np.max(np.abs(w))
        _tables[key] = w
    return _tables[key]


def osc(kind, freq, n, bright=1.0, phase0=0.0, vib=0.0, vib_rate=5.5, t_offset=0.0):
    """n samples of a table oscillator; freq may be a scalar or an array."""
    nyq_harm = int(18000 / np.max(freq))
    nharm = max(1, min(int(40 * bright), nyq_harm))
    w = table(kind, nharm)
    f = np.broadcast_to(np.asarray(freq, float), (n,)).copy()
    if vib:
        t = np.arange(n) / SR + t_offset
        depth = vib * np.clip(t / 0.35, 0, 1)
        f = f * 2.0 ** (depth * np.sin(2 * np.pi * vib_rate * t) / 12.0)
    ph = phase0 + np.cumsum(f) / SR
    x = (ph % 1.0) * TABLE
    i = x.astype(int)
    fr = x - i
    return w[i] * (1 - fr) + w[(i + 1) % TABLE] * fr


def env(n, a, d, s, r, hold):
    """Attack/decay/sustain/release envelope; hold = samples before release."""
    t = np.arange(n) / SR
    e = np.where(t < a, t / max(a, 1e-6), s + (1 - s) * np.exp(-(t - a) / max(d, 1e-6)))
    ht = hold / SR
    if hold < n:
        at_rel = e[min(hold, n - 1)]
        e = np.where(t < ht, e, at_rel * np.exp(-(t - ht) / max(r, 1e-6)))
    return e


def add(name, t0, sig, pan=0.0, gain=1.0):
    i0 = int(round(t0 * SR))
    if i0 >= N:
        return
    sig = sig[: N - i0]
    lg = np.cos((pan + 1) * np.pi / 4) * np.sqrt(2)
    rg = np.sin((pan + 1) * np.pi / 4) * np.sqrt(2)
    bus[name][0, i0 : i0 + len(sig)] += sig * gain * lg
    bus[name][1, i0 : i0 + len(sig)] += sig * gain * rg


def smooth(x, k):
    if k <= 1:
        return x
    return np.convolve(x, np.ones(k) / k, mode="same")


# ---------------------------------------------------------------- instruments


def kick(t0, vel=1.0):
    n = int(0.45 * SR)
    t = np.arange(n) / SR
    f = 45 + 110 * np.exp(-t / 0.035)
    ph = np.cumsum(f) / SR
    s = np.sin(2 * np.pi * ph) * np.exp(-t / 0.22)
    click = RNG.standard_normal(n) * np.exp(-t / 0.003) * 0.25
    add("drums", t0, np.tanh(1.6 * (s + click)) * 0.9 * vel)


def snare(t0, vel=1.0, pan=0.0):
    n = int(0.35 * SR)
    t = np.arange(n) / SR
    noise = RNG.standard_normal(n)
    noise = noise - smooth(noise, 6)
    body = np.sin(2 * np.pi * (185 * t + 30 * (1 - np.exp(-t / 0.01)))) * np.exp(-t / 0.06)
    s = 0.55 * noise * np.exp(-t / 0.09) + 0.6 * body
    add("drums", t0, s * 0.5 * vel, pan)


def clap(t0, vel=1.0):
    n = int(0.3 * SR)
    t = np.arange(n) / SR
    noise = RNG.standard_normal(n)
    noise = smooth(noise - smooth(noise, 3), 2)
    e = np.zeros(n)
    for k, dt in enumerate((0.0, 0.011, 0.022)):
        e += np.where(t >= dt, np.exp(-(t - dt) / (0.012 if k < 2 else 0.11)), 0)
    add("drums", t0, noise * e * 0.28 * vel, 0.1)


def hat(t0, vel=1.0, open_=False, pan=0.25):
    n = int((0.32 if open_ else 0.06) * SR)
    t = np.arange(n) / SR
    noise = RNG.standard_normal(n)
    noise = noise - smooth(noise, 2)
    noise = noise - smooth(noise, 2)
    s = noise * np.exp(-t / (0.09 if open_ else 0.018))
    add("drums", t0, s * 0.13 * vel, pan)


def crash(t0, vel=1.0):
    n = int(2.8 * SR)
    t = np.arange(n) / SR
    noise = RNG.standard_normal((2, n))
    for c in range(2):
        noise[c] = noise[c] - smooth(noise[c], 3)
        noise[c] *= np.exp(-t / 0.9) * (1 - np.exp(-t / 0.002))
    i0 = int(round(t0 * SR))
    m = min(n, N - i0)
    bus["fx"][:, i0 : i0 + m] += noise[:, :m] * 0.16 * vel


def stamp(t0, vel=1.0):
    """A heavy wooden thud: the title stamped onto the crate in the intro."""
    n = int(1.2 * SR)
    t = np.arange(n) / SR
    boom = np.sin(2 * np.pi * np.cumsum(38 + 50 * np.exp(-t / 0.06)) / SR) * np.exp(-t / 0.35)
    noise = RNG.standard_normal(n)
    knock = smooth(noise, 5) * np.exp(-t / 0.025) * 2.0
    body = np.sin(2 * np.pi * 210 * t) * np.exp(-t / 0.05) * 0.4
    add("fx", t0, np.tanh(1.5 * (boom + knock + body)) * 0.7 * vel)


def riser(t0, t1, vel=1.0):
    """Filtered noise swelling up into the next section."""
    n = int((t1 - t0) * SR)
    t = np.arange(n) / SR
    x = t / (t1 - t0)
    noise = RNG.standard_normal(n)
    lo = smooth(noise, 24)
    hi = noise - smooth(noise, 4)
    s = (lo * (1 - x) * 2.5 + hi * x) * x ** 2
    add("fx", t0, s * 0.1 * vel, 0.0)


def bass(t0, t1, m, vel=1.0, bright=0.35):
    n = int((t1 - t0 + 0.08) * SR)
    hold = int((t1 - t0) * SR)
    f = midi_hz(m)
    s = 0.7 * osc("saw", f, n, bright) + 0.6 * np.sin(2 * np.pi * f * np.arange(n) / SR)
    s *= env(n, 0.004, 0.18, 0.55, 0.04, hold)
    add("bass", t0, np.tanh(1.3 * s) * 0.42 * vel)


def pad(t0, t1, notes, vel=1.0, bright=0.25, attack=0.25):
    n = int((t1 - t0 + 0.9) * SR)
    hold = int((t1 - t0) * SR)
    e = env(n, attack, 0.8, 0.8, 0.45, hold)
    for k, m in enumerate(notes):
        f = midi_hz(m)
        for det, pan in ((-0.09, -0.6), (0.0, 0.0), (0.1, 0.6)):
            s = osc("saw", f * 2 ** (det / 12), n, bright, phase0=RNG.random())
            add("pad", t0, s * e * 0.045 * vel, pan)


def pluck(t0, m, vel=1.0, pan=0.0, dur=0.22):
    n = int((dur + 0.25) * SR)
    f = midi_hz(m)
    t = np.arange(n) / SR
    s = 0.6 * osc("square", f, n, 0.5) + 0.4 * osc("saw", f * 1.003, n, 0.3)
    s *= np.exp(-t / dur) * (1 - np.exp(-t / 0.002))
    add("arp", t0, s * 0.11 * vel, pan)


def lead(t0, t1, m, vel=1.0, glide_from=None):
    n = int((t1 - t0 + 0.35) * SR)
    hold = int((t1 - t0) * SR)
    f = np.full(n, midi_hz(m))
    if glide_from is not None:
        g = np.clip(np.arange(n) / (0.045 * SR), 0, 1)
        f = midi_hz(glide_from) * (midi_hz(m) / midi_hz(glide_from)) ** g
    s = 0.55 * osc("square", f, n, 0.45, vib=0.22) + 0.45 * osc("saw", f * 1.004, n, 0.4, vib=0.22)
    s *= env(n, 0.012, 0.3, 0.7, 0.16, hold)
    add("lead", t0, s * 0.16 * vel, -0.1)
    # a quieter echo on the other side, an eighth later
    add("lead", t0 + beat_time(0.75) - beat_time(0), s * 0.055 * vel, 0.7)


# ---------------------------------------------------------------- harmony

A3, C4, E4 = 57, 60, 64
CH = {  # pad voicings (MIDI) and bass roots
    "Am": ([57, 60, 64, 69], 33),
    "F": ([57, 60, 65, 69], 29),
    "C": ([55, 60, 64, 67], 36),
    "G": ([55, 59, 62, 67], 31),
    "Dm": ([57, 62, 65, 69], 38),
    "E": ([56, 59, 64, 68], 28),
    "Em": ([55, 59, 64, 67], 28),
    "Bb": ([58, 62, 65, 70], 34),
}
ARP_TONES = {k: sorted(set(v[0] + [x + 12 for x in v[0][:2]])) for k, v in CH.items()}

# Lead phrases: (beat within 4-bar phrase, length in beats, MIDI note)
THEME_A = [(0, 1.5, 76), (1.5, .5, 74), (2, 1, 72), (3, .5, 71), (3.5, .5, 72),
           (4, 1.5, 69), (5.5, .5, 72), (6, 1, 77), (7, 1, 76),
           (8, 1.5, 79), (9.5, .5, 76), (10, 1, 72), (11, 1, 74),
           (12, 1.5, 71), (13.5, .5, 74), (14, 1.5, 79)]
THEME_A2 = THEME_A[:12] + [(12, 1, 74), (13, 1, 71), (14, 2, 69)]
THEME_B = [(0, 2, 74), (2, 1, 77), (3, 1, 81),
           (4, 1.5, 79), (5.5, .5, 77), (6, 1, 76), (7, 1, 72),
           (8, 2, 76), (10, 1, 69), (11, 1, 72),
           (12, 1, 71), (13, 1, 68), (14, 2, 76)]
THEME_C = [(0, .5, 81), (.5, .5, 76), (1, .5, 72), (1.5, .5, 76), (2, 1, 81), (3, 1, 83),
           (4, .5, 84), (4.5, .5, 81), (5, .5, 77), (5.5, .5, 81), (6, 2, 84),
           (8, .5, 84), (8.5, .5, 79), (9, .5, 76), (9.5, .5, 79), (10, 1, 84), (11, 1, 86),
           (12, 1.5, 83), (13.5, .5, 79), (14, 2, 74)]
THEME_D = [(0, 1, 81), (1, .5, 79), (1.5, .5, 77), (2, 1.5, 84), (3.5, .5, 81),
           (4, 1, 83), (5, .5, 81), (5.5, .5, 79), (6, 2, 74),
           (8, 1, 79), (9, 1, 76), (10, 1, 71), (11, 1, 76),
           (12, 3, 81)]
THEME_D2 = THEME_D[:9] + [(8, 1, 79), (9, .5, 81), (9.5, .5, 83), (10, 2, 84), (12, 1, 83), (13, 1, 79), (14, 2, 81)]
THEME_OUT = [(0, 3, 76), (3, 1, 74), (4, 3, 72), (7, 1, 71), (8, 4, 69), (12, 4, 64)]


def play_phrase(bar0, theme, vel=1.0, transpose=0):
    prev = None
    for b, length, m in theme:
        s = bar0 * 4 + b
        glide = prev if prev is not None and abs(m - prev) <= 2 and b % 1 else None
        lead(beat_time(s), beat_time(s + length * 0.92), m + transpose, vel, glide)
        prev = m


def chords_over(bar0, bars, prog, *, pad_vel=1.0, bright=0.25, bass_pat=None,
                bass_vel=1.0, arp=None, arp_vel=1.0, bars_per_chord=1):
    for k in range(bars):
        name = prog[(k // bars_per_chord) % len(prog)]
        notes, root = CH[name]
        b = bar0 + k
        if k % bars_per_chord == 0:
            pad(bar_time(b), bar_time(b + bars_per_chord), notes, pad_vel, bright)
        if bass_pat == "pulse":  # eighth notes, octave jump on the offbeats
            for e in range(8):
                m = root + (12 if e % 2 else 0)
                bass(beat_time(b * 4 + e / 2), beat_time(b * 4 + e / 2 + 0.42), m, bass_vel * (1 if e % 2 == 0 else 0.8))
        elif bass_pat == "roll":  # sixteenths, pushing
            for e in range(16):
                m = root + (12 if e % 4 == 2 else 0) + (7 if e % 8 == 7 else 0)
                bass(beat_time(b * 4 + e / 4), beat_time(b * 4 + e / 4 + 0.22), m, bass_vel * (1 if e % 4 == 0 else 0.75), 0.45)
        elif bass_pat == "half":
            bass(beat_time(b * 4), beat_time(b * 4 + 1.5), root, bass_vel)
            bass(beat_time(b * 4 + 2.5), beat_time(b * 4 + 3.5), root + 12, bass_vel * 0.8)
        elif bass_pat == "long":
            bass(bar_time(b), bar_time(b + 0.95), root, bass_vel, 0.2)
        if arp:
            tones = ARP_TONES[name]
            seq = tones + tones[-2:0:-1] if arp == "updown" else tones
            step = 0.25 if arp != "eighths" else 0.5
            for e in range(int(4 / step)):
                m = seq[e % len(seq)]  # below the lead's register
                pan = -0.5 + (e % 4) / 3.0
                pluck(beat_time(b * 4 + e * step), m, arp_vel * (1 if e % 2 == 0 else 0.7), pan)


def drums(bar0, bars, style, vel=1.0, fill=True):
    for k in range(bars):
        b4 = (bar0 + k) * 4
        last = k == bars - 1
        if style in ("four", "drive"):
            for q in range(4):
                kick(beat_time(b4 + q), vel)
            for q in (1, 3):
                clap(beat_time(b4 + q), vel)
                snare(beat_time(b4 + q), 0.6 * vel)
            for e in range(8):
                hat(beat_time(b4 + e / 2), vel * (1.0 if e % 2 else 0.45), open_=(e % 2 == 1 and style == "drive" and e == 7))
            if style == "drive":
                for e in range(16):
                    if e % 2:
                        hat(beat_time(b4 + e / 4), 0.35 * vel, pan=-0.3)
        elif style == "half":
            kick(beat_time(b4), vel)
            kick(beat_time(b4 + 2.5), 0.8 * vel)
            snare(beat_time(b4 + 2), vel)
            clap(beat_time(b4 + 2), 0.6 * vel)
            for e in range(8):
                hat(beat_time(b4 + e / 2), vel * (0.8 if e % 2 else 0.5))
        elif style == "light":
            kick(beat_time(b4), 0.7 * vel)
            kick(beat_time(b4 + 2), 0.55 * vel)
            for e in range(4):
                hat(beat_time(b4 + e + 0.5), 0.6 * vel)
        elif style == "hats":
            for e in range(8):
                hat(beat_time(b4 + e / 2), vel * (0.7 if e % 2 else 0.3))
        if last and fill:
            for e in range(8):
                snare(beat_time(b4 + 2 + e / 4), vel * (0.3 + 0.09 * e), pan=0.2 * ((-1) ** e))


# ---------------------------------------------------------------- arrangement
# bar  0- 8   0.000-13.900  intro: pad swells up, a thud at the title stamp (6.5 s), hats join,
#                           a riser into the cue
# bar  8-24  13.900-41.733  rotozoom: four-on-the-floor, pulse bass, arp, theme A
# bar 24-36  41.733-62.600  crew: half-time groove, new chords, theme B
# bar 36-52  62.600-90.433  tunnel: driving drums, rolling bass, fast arp, theme C;
#                           drums drop out from bar 48 (83.5 s) as the plasma fades in
# bar 52-68  90.433-118.26  scrollers: full chorus, theme D
# bar 68-76 118.26-132.17   finale: lighter drums, theme A again, softer
# bar 76-89 132.17-155.0    outro: drums gone, pad and a slow lead, last chord rings out

PROG_A = ["Am", "F", "C", "G"]
PROG_B = ["Dm", "F", "Am", "E"]
PROG_C = ["Am", "Am", "F", "G"]
PROG_D = ["F", "G", "Em", "Am"]


def arrange():
    # intro
    chords_over(0, 8, PROG_A, pad_vel=0.9, bright=0.12, bars_per_chord=2)
    for k in range(4, 8):
        bass(bar_time(k), bar_time(k + 0.9), CH[PROG_A[(k // 2) % 4]][1], 0.5, 0.15)
    drums(4, 4, "hats", 0.7, fill=False)
    for k in range(8):
        kick(bar_time(k), 0.35 + 0.05 * k)
    stamp(STAMP_TIME)
    riser(bar_time(6), bar_time(8), 1.0)
    drums(7, 1, "hats", 0.0, fill=True)

    # rotozoom
    crash(bar_time(8))
    chords_over(8, 16, PROG_A, bright=0.3, bass_pat="pulse", arp="updown", arp_vel=0.8)
    drums(8, 16, "four")
    play_phrase(16, THEME_A)
    play_phrase(20, THEME_A2)
    riser(bar_time(22), bar_time(24), 0.7)

    # crew
    crash(bar_time(24))
    chords_over(24, 12, PROG_B, bright=0.22, bass_pat="half", arp="eighths", arp_vel=0.6)
    drums(24, 12, "half", 0.9)
    play_phrase(28, THEME_B, 0.9)
    play_phrase(32, THEME_B, 0.9, transpose=0)
    riser(bar_time(34), bar_time(36), 1.2)

    # tunnel
    crash(bar_time(36))
    chords_over(36, 12, PROG_C, bright=0.35, bass_pat="roll", arp="updown", arp_vel=0.9)
    drums(36, 12, "drive")
    play_phrase(40, THEME_C)
    play_phrase(44, THEME_C, 0.95)
    # breakdown: the plasma fades in out of the key colour
    chords_over(48, 4, ["F", "G", "Em", "E"], pad_vel=1.1, bright=0.18, bass_pat="long", bass_vel=0.7)
    drums(50, 2, "hats", 0.8, fill=True)
    riser(bar_time(49), bar_time(52), 1.3)

    # scrollers
    crash(bar_time(52))
    chords_over(52, 16, PROG_D, bright=0.35, bass_pat="pulse", arp="updown", arp_vel=0.85)
    drums(52, 16, "drive")
    play_phrase(52, THEME_D)
    play_phrase(56, THEME_D2)
    play_phrase(60, THEME_D, 1.0, transpose=0)
    play_phrase(64, THEME_D2)

    # finale
    crash(bar_time(68), 0.8)
    chords_over(68, 8, PROG_A, bright=0.25, bass_pat="half", arp="eighths", arp_vel=0.55)
    drums(68, 8, "light", 0.9, fill=False)
    play_phrase(68, THEME_A, 0.8)
    play_phrase(72, THEME_A2, 0.75)

    # outro
    chords_over(76, 8, PROG_A, pad_vel=0.8, bright=0.14, bars_per_chord=2, bass_pat="long", bass_vel=0.45)
    play_phrase(76, THEME_OUT, 0.55)
    pad(bar_time(84), bar_time(87), CH["Am"][0], 0.8, 0.1, attack=0.6)
    bass(bar_time(84), bar_time(86.5), 33, 0.45, 0.12)


def reverb(x, seconds=2.2, seed=7):
    """Convolution with a synthetic decaying-noise impulse response (per channel)."""
    rng = np.random.default_rng(seed)
    n = int(seconds * SR)
    t = np.arange(n) / SR
    out = np.zeros_like(x)
    nfft = 1 << int(np.ceil(np.log2(x.shape[1] + n)))
    for c in range(2):
        ir = rng.standard_normal(n) * np.exp(-t / (seconds / 6.9))
        ir = smooth(ir, 3)
        ir[: int(0.012 * SR)] = 0  # pre-delay
        ir /= np.sqrt(np.sum(ir ** 2))
        y = np.fft.irfft(np.fft.rfft(x[c], nfft) * np.fft.rfft(ir, nfft), nfft)
        out[c] = y[: x.shape[1]]
    return out


def main():
    out_path = sys.argv[1] if len(sys.argv) > 1 else os.path.normpath(os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "Artifacts", "Audio", "velksmör.mp3"))
    arrange()
    gains = {"drums": 0.55, "bass": 0.8, "pad": 1.15, "arp": 1.1, "lead": 1.8, "fx": 0.8}
    dry = sum(bus[k] * gains[k] for k in bus)
    wet = reverb(sum(bus[k] * gains[k] * send[k] for k in bus))
    mix = dry + 0.6 * wet
    # gentle bus limiting: a soft curve that rounds off only the loudest peaks
    mix /= np.max(np.abs(mix))
    mix = np.tanh(1.4 * mix) / np.tanh(1.4)
    # end calmly: a long fade over the last eight seconds
    t = np.arange(N) / SR
    fade = np.clip((LENGTH - 0.5 - t) / 8.0, 0, 1) ** 2
    mix *= fade
    peak = np.max(np.abs(mix))
    mix *= 10 ** (-1.5 / 20) / peak  # -1.5 dBFS before encoding leaves room for the codec
    pcm = np.clip(np.round(mix.T * 32767), -32768, 32767).astype("<i2")

    with tempfile.TemporaryDirectory() as tmp:
        wav = os.path.join(tmp, "mix.wav")
        with wave.open(wav, "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(SR)
            w.writeframes(pcm.tobytes())
        os.makedirs(os.path.dirname(os.path.abspath(out_path)), exist_ok=True)
        subprocess.run(["lame", "--quiet", "-q", "0", "-b", "192", "--cbr", "-m", "j",
                        "--resample", "48", "--noreplaygain",
                        "--tt", "velksmör", "--ta", "tovelmark velk",
                        wav, out_path], check=True)
    print("wrote", out_path)
    for b0, t0 in ANCHORS:
        print(f"  bar {b0:3d} at {t0:8.3f} s")


if __name__ == "__main__":
    main()
