"""The built wheel in a fresh virtual environment runs the README's Python example."""
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

from conftest import SOURCE_ROOT


def test_wheel_in_a_fresh_venv_runs_the_readme_example(library_path: str, simulator: Any,
                                                         tmp_path: Path) -> None:
    if importlib.util.find_spec("build") is None or importlib.util.find_spec("hatchling") is None:
        pytest.skip(f"{sys.executable} lacks build or hatchling (scripts/deps.sh python)")
    # Debian's hatchling does not list its editables dependency, so the check would fail.
    subprocess.run([sys.executable, "-m", "build", "--wheel", "--no-isolation",
                    "--skip-dependency-check", "--outdir", str(tmp_path),
                    str(SOURCE_ROOT / "bindings" / "python")], check=True, capture_output=True,
                   env=dict(os.environ, OSTREL_WHEEL_LIBRARY=library_path))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    subprocess.run([venv / "bin" / "python", "-m", "pip", "install", "--quiet", "--no-index",
                    next(tmp_path.glob("ostrel-*.whl"))], check=True)

    readme = (SOURCE_ROOT / "README.md").read_text(encoding="utf-8")
    example = next(b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if "ostrel" in b)
    assert len(example.splitlines()) == 5
    # "wallsim: listening on 127.0.0.1:PORT (Ctrl-C to stop)"
    port = simulator.stdout.readline().split(b":")[2].split()[0].decode()
    (tmp_path / "example.py").write_text(example.replace("5000", port))
    clean = {k: v for k, v in os.environ.items() if k not in ("OSTREL_LIBRARY", "PYTHONPATH")}
    subprocess.run([venv / "bin" / "python", "example.py"], cwd=tmp_path, env=clean, check=True)
    # "wallsim: PEER FUNCTION ..." for each command applied
    applied = [simulator.stdout.readline().split(b" ")[2] for _ in range(3)]
    assert applied == [b"StartPlay", b"Duplicate", b"StopPlay"]
