"""The Windows executable itself under Wine, as far as Wine lets it run.

Wine's Direct2D has no SVG documents (CreateSvgDocument returns E_NOTIMPL), so the
demo cannot play here; these runs check that the executable starts, reads its
assets, compiles its shader, opens its window and ends with the error that the
missing SVG documents lead to, written as the program writes every uncaught error:
- a copy outside the source tree reads its embedded assets, compiles and loads the
  demo shader (its pixel shader takes Wine's compiler ten seconds of CPU, so this is
  the one run that compiles it) and stops at the first texture, the SVG logo;
- a copy in a small source tree loads that tree's shader and stops at the logo too,
  before the recording options are read.
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from velk_e2e import SkipTest, run_tests  # noqa: E402

EXE = os.environ["VELK_WINDOWS_EXE"]
SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

# A small shader that compiles at once; without EndTime the demo would never end by
# itself.
SIMPLE_SHADER = """cbuffer Globals : register(b0)
{
    float2 iResolution;
    float iTime;
    float _pad;
};
//@settings
float4 VSMain(uint id : SV_VertexID) : SV_Position
{
    return float4(float((id << 1) & 2) * 2 - 1, float(id & 2) * 2 - 1, 0, 1);
}
float4 PSMain(float4 position : SV_Position) : SV_Target
{
    return float4(position.xy / iResolution, iTime - floor(iTime), 1);
}
"""


SVG_REFUSED = "COMException: ID2D1DeviceContext5::CreateSvgDocument failed: 0x80004001"


def run(directory, *args, timeout=300):
    if not os.environ.get("DISPLAY"):
        raise SkipTest("no X display")
    exe = os.path.join(directory, "tovelmark-velk.exe")
    shutil.copy(EXE, exe)
    r = subprocess.run(["wine", exe, *args], cwd=directory, capture_output=True, timeout=timeout,
                       stdin=subprocess.DEVNULL)
    out = r.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    err = r.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
    print(f"tovelmark-velk.exe {' '.join(args)}: exit status {r.returncode}")
    print("standard output:\n" + out + "standard error:\n" + err)
    return r.returncode, out, [line for line in err.split("\n") if line]


def test_embedded_assets_load_the_demo_shader_and_stop_at_the_svg_logo():
    with tempfile.TemporaryDirectory(prefix="velk-wine-exe-") as root:
        # Ten seconds of CPU for the compile, on a machine that runs other tests too.
        status, out, err = run(root, "-w", timeout=1200)
        assert status == 1, status
        lines = out.strip().split("\n")
        assert len(lines) == 1 and lines[0].endswith("] Loaded demo.hlsl"), out
        assert err == [SVG_REFUSED], err


def test_source_tree_loads_its_shader_and_stops_at_the_svg_logo():
    with tempfile.TemporaryDirectory(prefix="velk-wine-tree-") as root:
        os.makedirs(os.path.join(root, "Shaders"))
        open(os.path.join(root, "tovelmark-velk.root"), "w").close()
        shutil.copytree(os.path.join(SOURCE, "Artifacts"), os.path.join(root, "Artifacts"))
        with open(os.path.join(root, "Shaders", "demo.hlsl"), "w") as f:
            f.write(SIMPLE_SHADER)
        with open(os.path.join(root, "Shaders", "demo.hlsl.json"), "w") as f:
            f.write("{}\n")
        status, out, err = run(root, "-w", "--record", "clip.mp4", "--fps", "sixty")
        assert status == 1, status
        lines = out.strip().split("\n")
        assert len(lines) == 1 and lines[0].endswith("] Loaded demo.hlsl"), out
        # The missing end-time entry point is reported with the tree's own path.
        assert "Shaders/demo.hlsl" in err[0] and "EndTime" in err[0] and "\\" in err[0], err
        assert err[-1] == SVG_REFUSED, err
        # The recording options come later: no FormatException, no file.
        assert not os.path.exists(os.path.join(root, "clip.mp4"))


if __name__ == "__main__":
    run_tests([test_embedded_assets_load_the_demo_shader_and_stop_at_the_svg_logo,
               test_source_tree_loads_its_shader_and_stops_at_the_svg_logo])
