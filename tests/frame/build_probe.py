"""Builds the test-only ``frame_probe`` extension module with CMake; shared by tests and benchmarks."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent


def _cmake() -> str:
    # The interpreter's own scripts folder first: a virtual environment may carry CMake.
    search = os.pathsep.join([sysconfig.get_path("scripts"), os.environ.get("PATH", "")])
    found = shutil.which("cmake", path=search)
    if not found:
        raise RuntimeError("cmake is needed to build the frame probe module")
    return found


def build_probe(build_dir: Path) -> Path:
    """Configures and builds the probe in ``build_dir``; returns the folder holding the module."""
    build_dir = Path(build_dir)
    build_dir.mkdir(parents=True, exist_ok=True)
    cmake = _cmake()
    configure = [
        cmake,
        "-S", str(HERE),
        "-B", str(build_dir),
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    for command in (configure, [cmake, "--build", str(build_dir), "--parallel", "2"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed:\n{done.stdout}\n{done.stderr}")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = list(build_dir.rglob(f"frame_probe{suffix}"))
    if not built:
        raise RuntimeError(f"no frame_probe{suffix} under {build_dir}")
    return built[0].parent


def import_probe(build_dir: Path):
    """Builds the probe and imports it from the build folder (once per process)."""
    if "frame_probe" in sys.modules:
        return sys.modules["frame_probe"]
    folder = str(build_probe(build_dir))
    if folder not in sys.path:
        sys.path.insert(0, folder)
    import frame_probe

    return frame_probe
