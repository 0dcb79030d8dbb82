"""The native build from nothing, as a fresh clone's first `./dev.sh build` runs it. Prints
one JSON line per case, with the machine's load (1, 5 and 15 minutes) before and after.

- first_build: configure and build every module into a temporary build folder (the modules
  go to a temporary folder too, so the developer build is left alone), compiler cache off:
  wall time, the compilers' CPU time and the number of compile and link steps. Target: at
  most 120 s on an idle 2-core machine.

Usage: python bench/build.py [case ...]
"""

from __future__ import annotations

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _support import emit, load

ROOT = Path(__file__).resolve().parent.parent


def tool(name: str) -> str:
    local = Path(sys.executable).with_name(name)
    return str(local) if local.exists() else (shutil.which(name) or name)


def bench_first_build() -> None:
    import pybind11

    load_before = load()
    environment = dict(os.environ, CCACHE_DISABLE="1")
    with tempfile.TemporaryDirectory() as folder:
        build, output = Path(folder, "build"), Path(folder, "modules")
        started = time.perf_counter()
        cpu_before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(
            [
                tool("cmake"),
                "-S",
                str(ROOT),
                "-B",
                str(build),
                "-G",
                "Ninja",
                f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
                f"-DPython_EXECUTABLE={sys.executable}",
                f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
                f"-DZENTRIX_OUTPUT_ROOT={output}",
            ],
            check=True,
            stdout=subprocess.DEVNULL,
            env=environment,
        )
        subprocess.run(
            [tool("cmake"), "--build", str(build), "--", "--quiet"], check=True, env=environment
        )
        wall = time.perf_counter() - started
        cpu_after = resource.getrusage(resource.RUSAGE_CHILDREN)
        steps = sum(1 for line in (build / ".ninja_log").read_text().splitlines()[1:] if line)
    cpu = (cpu_after.ru_utime - cpu_before.ru_utime) + (cpu_after.ru_stime - cpu_before.ru_stime)
    emit(
        "first_build",
        wall_s=round(wall, 1),
        cpu_s=round(cpu, 1),
        steps=steps,
        cores=os.cpu_count(),
        target_wall_s=120,
        load_before=load_before,
    )


CASES = {"first_build": bench_first_build}

if __name__ == "__main__":
    for name in sys.argv[1:] or list(CASES):
        CASES[name]()
