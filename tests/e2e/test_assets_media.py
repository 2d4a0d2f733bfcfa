"""The committed soundtrack and pictures have the properties the program relies on:
picture sizes and kinds, equal portrait widths, the ink patch that the crew scene's
zoom ends on, and the soundtrack's format and length."""
import json
import os
import struct
import subprocess
import sys
import traceback

SOURCE = os.environ.get("VELK_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
GRAPHICS = os.path.join(SOURCE, "Artifacts", "Graphics")
MP3 = os.path.join(SOURCE, "Artifacts", "Audio", "velksmör.mp3")
PORTRAITS = ("tumlo.png", "q9.png", "vispel.png")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_header(name):
    """(width, height, colour type) from the IHDR chunk."""
    with open(os.path.join(GRAPHICS, name), "rb") as f:
        head = f.read(33)
    assert head[:8] == PNG_SIGNATURE, f"{name} is not a PNG"
    length, tag = struct.unpack(">I4s", head[8:16])
    assert tag == b"IHDR" and length == 13, f"{name}: first chunk is not IHDR"
    width, height, depth, colour = struct.unpack(">IIBB", head[16:26])
    assert depth == 8, f"{name}: bit depth {depth}"
    return width, height, colour


def rgba_pixels(name):
    """The picture as (width, height, RGBA bytes), decoded by ffmpeg."""
    w, h, _ = png_header(name)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(GRAPHICS, name),
                          "-f", "rawvideo", "-pix_fmt", "rgba", "-"], capture_output=True, check=True).stdout
    assert len(raw) == w * h * 4, f"{name}: decoded {len(raw)} bytes"
    return w, h, raw


def q9_dark_spot():
    """Q9_DARK_SPOT from the settings file when it is there, else the shipped value."""
    path = os.path.join(SOURCE, "Shaders", "demo.hlsl.json")
    if os.path.exists(path):
        text = open(path, encoding="utf-8").read()
        i = text.find('"Q9_DARK_SPOT"')
        if i >= 0:
            start = text.index("[", i)
            return tuple(json.loads(text[start : text.index("]", start) + 1]))
    return (0.80, 0.53)


def test_picture_sizes_and_kinds():
    cases = {
        # name: (min w, max w, min h, max h, must be portrait / landscape, alpha wanted)
        "tumlo.png": (800, 1200, None, None, "portrait", None),
        "q9.png": (800, 1200, None, None, "portrait", None),
        "vispel.png": (800, 1200, None, None, "portrait", None),
        "datavelk.png": (None, None, 450, 800, None, True),
        "tant_velk_alla_tre_v4.png": (1300, 2000, None, None, "landscape", False),
    }
    for name, (w0, w1, h0, h1, shape, alpha) in cases.items():
        w, h, colour = png_header(name)
        if w0 is not None:
            assert w0 <= w <= w1, f"{name}: width {w}"
        if h0 is not None:
            assert h0 <= h <= h1, f"{name}: height {h}"
        if shape == "portrait":
            assert h > w, f"{name}: {w}x{h} is not portrait"
        if shape == "landscape":
            assert w > h, f"{name}: {w}x{h} is not landscape"
        if alpha is not None:
            assert (colour in (4, 6)) == alpha, f"{name}: colour type {colour}"


def test_portraits_share_one_width():
    widths = {name: png_header(name)[0] for name in PORTRAITS}
    assert len(set(widths.values())) == 1, widths


def test_q9_has_an_ink_patch_at_the_zoom_target():
    w, h, px = rgba_pixels("q9.png")
    u, v = q9_dark_spot()
    cx, cy = int(u * w), int(v * h)
    r = int(0.04 * w)  # a patch 8 % of the width across
    worst = 0
    for y in range(cy - r, cy + r + 1):
        for x in range(cx - r, cx + r + 1):
            if (x - cx) ** 2 + (y - cy) ** 2 > r * r:
                continue
            i = (y * w + x) * 4
            worst = max(worst, px[i], px[i + 1], px[i + 2])
            assert px[i + 3] == 255, f"q9.png: transparent at {x},{y}"
    assert worst <= 48, f"q9.png: brightest channel near the spot is {worst}, not ink"


def test_spray_can_has_clean_alpha():
    w, h, px = rgba_pixels("datavelk.png")
    alpha = px[3::4]
    corners = [alpha[0], alpha[w - 1], alpha[(h - 1) * w], alpha[h * w - 1]]
    assert corners == [0, 0, 0, 0], f"datavelk.png: corners {corners}"
    assert alpha[(h // 2) * w + w // 2] == 255, "datavelk.png: the middle is not opaque"
    partial = sum(1 for a in alpha if 0 < a < 255)
    assert partial < 0.05 * w * h, f"datavelk.png: {partial} half-transparent pixels"


def test_closing_picture_is_opaque():
    w, h, px = rgba_pixels("tant_velk_alla_tre_v4.png")
    assert min(px[3::4]) == 255


def test_soundtrack_format_and_length():
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                        "stream=codec_name,sample_rate,channels,bit_rate:format=duration,format_name",
                        "-of", "json", MP3], capture_output=True, text=True, check=True)
    info = json.loads(r.stdout)
    stream, fmt = info["streams"][0], info["format"]
    assert stream["codec_name"] == "mp3" and fmt["format_name"] == "mp3", info
    assert int(stream["sample_rate"]) == 48000, stream
    assert int(stream["channels"]) == 2, stream
    assert int(stream["bit_rate"]) >= 192000, stream
    assert 154.0 <= float(fmt["duration"]) <= 156.5, fmt
    # MPEG-1 Layer III: the first frame header after any ID3v2 tag
    data = open(MP3, "rb").read(1 << 16)
    pos = 0
    if data[:3] == b"ID3":
        size = data[6] << 21 | data[7] << 14 | data[8] << 7 | data[9]
        pos = 10 + size
    while not (data[pos] == 0xFF and data[pos + 1] & 0xE0 == 0xE0):
        pos += 1
    version, layer = (data[pos + 1] >> 3) & 3, (data[pos + 1] >> 1) & 3
    assert (version, layer) == (3, 1), f"MPEG version bits {version}, layer bits {layer}"
    # the first frame holds the encoder's Xing/Info and LAME tag (gapless decoding)
    first = data[pos : pos + 2048]
    assert (b"Info" in first or b"Xing" in first) and b"LAME" in first, "no LAME/Xing tag"


def test_soundtrack_peaks_stay_below_full_scale():
    r = subprocess.run(["ffmpeg", "-v", "info", "-nostats", "-i", MP3, "-af", "astats=measure_perchannel=none",
                        "-f", "null", "-"], capture_output=True, text=True, check=True)
    peaks = [float(line.split(":")[-1]) for line in r.stderr.splitlines() if "Peak level dB" in line]
    assert peaks and max(peaks) < -0.5, peaks


def main():
    cases = [v for k, v in globals().items() if k.startswith("test_")]
    failed = 0
    for case in cases:
        try:
            case()
            print(f"PASS {case.__name__}")
        except Exception:
            print(f"FAIL {case.__name__}")
            traceback.print_exc()
            failed += 1
    print(f"{len(cases) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
