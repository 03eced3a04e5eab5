# SPDX-License-Identifier: LGPL-2.1-or-later
"""Where `cmake --install` puts the module: in a directory the interpreter
searches, for the prefix given while installing (--prefix, CPack's /usr),
not the one the build was configured with. Installs from the build into
scratch places only: a DESTDIR for the system's prefixes, and a home's
~/.local and a virtual environment as themselves."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import qport

CMAKE = os.environ.get("QPORT_CMAKE")
BUILD_DIR = os.environ.get("QPORT_BUILD_DIR")
pytestmark = [
    pytest.mark.skipif(not CMAKE or not BUILD_DIR,
                       reason="needs QPORT_CMAKE and QPORT_BUILD_DIR, as CTest sets them"),
    pytest.mark.skipif(bool(os.environ.get("QPORT_INSTALL_PYTHONDIR")),
                       reason="QPORT_INSTALL_PYTHONDIR chooses the directory, not the prefix"),
]

MODULE = Path(qport.__file__).name


def install(component, prefix, destdir=None):
    environment = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
    if destdir is not None:
        environment["DESTDIR"] = str(destdir)
    subprocess.run([CMAKE, "--install", BUILD_DIR, "--component", component,
                    "--prefix", str(prefix)],
                   check=True, capture_output=True, env=environment)


def run_python(interpreter, script, **environment):
    """script's output, run as a user would: no PYTHONPATH."""
    clean = {k: v for k, v in os.environ.items()
             if k not in ("PYTHONPATH", "PYTHONNOUSERSITE", "LD_LIBRARY_PATH")}
    child = subprocess.run([str(interpreter), "-c", script], capture_output=True, text=True,
                           timeout=30, env={**clean, **environment})
    assert child.returncode == 0, child.stderr
    return child.stdout.splitlines()


def searched_dirs(interpreter, **environment):
    return run_python(interpreter, "import sys; print('\\n'.join(sys.path))", **environment)


@pytest.mark.parametrize("prefix", ["/usr", "/usr/local"])
def test_system_prefix_gets_a_directory_python_searches(tmp_path, prefix):
    if not any(path.endswith("dist-packages") for path in searched_dirs(sys.executable)):
        pytest.skip("the system's prefixes are Debian's python3's: it looks in dist-packages")
    install("python", prefix, destdir=tmp_path)
    # The component also carries the package's documents, for CPack.
    (module,) = tmp_path.rglob(MODULE)
    assert (module.parent / "qport.pyi").is_file()
    directory = "/" + str(module.parent.relative_to(tmp_path))
    assert directory.startswith(prefix + "/lib/")
    assert directory in searched_dirs(sys.executable)


def home_interpreter(tmp_path):
    home = tmp_path / "home"
    return sys.executable, home / ".local", {"HOME": str(home)}


def venv_interpreter(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    return venv / "bin" / "python", venv, {}


# A prefix of the user's own: the module is imported with no PYTHONPATH.
@pytest.mark.parametrize("interpreter_and_prefix", [home_interpreter, venv_interpreter],
                         ids=["user site", "virtual environment"])
def test_own_prefix_gets_a_directory_python_searches(tmp_path, interpreter_and_prefix):
    interpreter, prefix, environment = interpreter_and_prefix(tmp_path)
    install("runtime", prefix)
    install("python", prefix)
    (simulated,) = {path.parent for path in prefix.rglob("simulated/libqport.so.1")}
    found, backend = run_python(interpreter, "import qport; print(qport.__file__); "
                                "print(qport.backend())",
                                LD_LIBRARY_PATH=str(simulated), **environment)
    assert (Path(found).is_relative_to(prefix), backend) == (True, "simulated")
    if "HOME" in environment:
        user_site = run_python(interpreter, "import site; print(site.getusersitepackages())",
                               **environment)
        assert user_site == [str(Path(found).parent)]
