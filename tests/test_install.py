"""The README's install section, as a user runs it: pip installs the
project into a fresh virtual environment, which then has the ``vorn``
command and ``vorn.__version__``."""

import os
import subprocess
import sys
import tomllib
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def test_pip_install_gives_the_vorn_command_and_the_version(tmp_path):
    venv = tmp_path / "venv"
    # The build's own dependencies come from the interpreter's packages, as
    # README says for a machine without internet.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", venv],
                   check=True, timeout=60)  # fmt: skip
    python = venv / "bin" / "python"
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps", REPO],
                   check=True, timeout=900, env=env, cwd=tmp_path)  # fmt: skip

    version = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]["version"]
    probe = subprocess.run(
        [python, "-c", "import vorn, _py_vorn; print(vorn.__version__); print(_py_vorn.__file__)"],
        check=True, timeout=60, env=env, cwd=tmp_path, capture_output=True, text=True,
    )
    installed_version, module = probe.stdout.split()
    assert installed_version == version
    assert Path(module).is_relative_to(venv)

    traces = tmp_path / "logs"
    program = "import vorn\nwith vorn.StlLogger('installed'):\n    pass\n"
    subprocess.run([python, "-c", program], check=True, timeout=60, cwd=tmp_path,
                   env={**env, "VORN_LOG_DIR": str(traces)})  # fmt: skip
    summary = subprocess.run([venv / "bin" / "vorn", "summary", traces], check=True, timeout=60,
                             cwd=tmp_path, env=env, capture_output=True, text=True)  # fmt: skip
    assert "installed" in summary.stdout
    usage = subprocess.run([venv / "bin" / "vorn", "--help"], check=True, timeout=60, env=env,
                           capture_output=True, text=True)  # fmt: skip
    assert usage.stdout.startswith("usage: vorn ")
