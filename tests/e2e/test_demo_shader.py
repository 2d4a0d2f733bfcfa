"""The shipped demo shader with its settings spliced in (by the program's own
translation, through the splice_shader tool) compiles for its three entry points
with glslang's HLSL front end; settings that leave out a constant the shader uses,
or use one before its entry, make it fail."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import traceback

SOURCE = os.environ.get("VELK_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BINARY = os.environ.get("VELK_BINARY_DIR", os.path.join(SOURCE, "build"))
TOOLS = os.environ.get("VELK_TOOLS", os.path.join(BINARY, "tests"))
SHADER = os.path.join(SOURCE, "Shaders", "demo.hlsl")
SETTINGS = os.path.join(SOURCE, "Shaders", "demo.hlsl.json")
ENTRIES = (("vert", "VSMain"), ("frag", "PSMain"), ("frag", "EndTime"))
WORK = tempfile.mkdtemp(prefix="velk-shader-")


def splice(settings_text):
    """The spliced source for a settings text, or raises with the tool's message."""
    d = tempfile.mkdtemp(dir=WORK)
    settings = os.path.join(d, "demo.hlsl.json")
    with open(settings, "w", encoding="utf-8") as f:
        f.write(settings_text)
    out = os.path.join(d, "spliced.hlsl")
    r = subprocess.run([os.path.join(TOOLS, "splice_shader"), SHADER, settings, out], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return out


def compile_entry(path, stage, entry):
    spv = path + "." + entry + ".spv"
    return subprocess.run(["glslangValidator", "-D", "-V", "-S", stage, "-e", entry, "--target-env", "vulkan1.0",
                           "-o", spv, path], capture_output=True, text=True)


def shipped_settings():
    with open(SETTINGS, encoding="utf-8") as f:
        return f.read()


def test_shipped_shader_compiles_for_every_entry_point():
    path = splice(shipped_settings())
    for stage, entry in ENTRIES:
        r = compile_entry(path, stage, entry)
        assert r.returncode == 0, f"{entry}:\n{r.stdout}{r.stderr}"


def test_missing_or_early_setting_fails_to_compile():
    text = shipped_settings()
    # TILE_CROP left out: the tile functions name it.
    missing = re.sub(r'\n\s*"TILE_CROP":[^\n]*', "\n", text, count=1)
    assert missing != text
    # CREAM moved before VELK, which its expression uses.
    cream = re.search(r'\n\s*"float3 CREAM":[^\n]*', text).group(0)
    early = text.replace(cream, "", 1).replace('"Palette": {', '"Palette": {' + cream, 1)
    assert early.index("CREAM") < early.index('"VELK"')
    for name, settings in (("missing TILE_CROP", missing), ("CREAM before VELK", early)):
        r = compile_entry(splice(settings), "frag", "PSMain")
        assert r.returncode != 0, f"{name}: compiled"


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
    shutil.rmtree(WORK, ignore_errors=True)
    print(f"{len(cases) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
