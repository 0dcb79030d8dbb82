"""What the two wheels built from this repository install.

The SDK's wheel must install nothing but ``zentrix_gov``: the stand-ins for the libraries
it talks to are a distribution of their own (``standins/``), so installing the SDK never
overwrites the real libraries. The SDK's wheel is built with its real configuration but
without compiling the native modules (``ZENTRIX_PACKAGING_CHECK``), which takes seconds.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
STANDINS = ROOT / "standins"


def build_wheel(source: Path, out: Path, *options: str) -> Path:
    """Build ``source``'s wheel into ``out`` with the build tools installed here, offline."""
    command = [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps"]
    command += ["--no-index", "--wheel-dir", str(out), *options, str(source)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    (wheel,) = out.glob("*.whl")
    return wheel


def installed_names(wheel: Path) -> tuple[set[str], set[str]]:
    """The top-level names ``wheel`` installs into site-packages, and all its file names."""
    files = set(zipfile.ZipFile(wheel).namelist())
    top = set()
    for name in files:
        first, _, rest = name.partition("/")
        if first.endswith(".dist-info"):
            continue
        if first.endswith(".data"):
            # Only these two of a wheel's data folders land in site-packages.
            scheme, _, inside = rest.partition("/")
            if scheme in ("purelib", "platlib"):
                top.add(inside.partition("/")[0])
            continue
        top.add(first)
    return top, files


def test_the_sdk_wheel_installs_only_zentrix_gov(tmp_path):
    wheel = build_wheel(
        ROOT,
        tmp_path / "out",
        "--config-settings=cmake.define.ZENTRIX_PACKAGING_CHECK=ON",
        f"--config-settings=build-dir={tmp_path / 'build'}",
    )
    top, files = installed_names(wheel)
    assert top == {"zentrix_gov"}
    assert "zentrix_gov/__main__.py" in files


def test_the_standins_wheel_installs_the_three_libraries_with_their_data(tmp_path):
    # Built from a copy: the build writes its work files next to the sources.
    source = tmp_path / "standins"
    shutil.copytree(
        STANDINS, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__")
    )
    wheel = build_wheel(source, tmp_path / "out")
    assert wheel.name.endswith("-py3-none-any.whl")
    top, files = installed_names(wheel)
    assert top == {"evs_sdk", "zentrix_ai", "metrics_plugin"}
    data = STANDINS / "metrics_plugin" / "mra" / "data"
    shipped = {str(path.relative_to(STANDINS)) for path in data.iterdir()}
    assert {"metrics_plugin/mra/data/catalogue.json"} < shipped <= files
    assert "metrics_plugin/mra/evaluate_fm_risk.py" in files
