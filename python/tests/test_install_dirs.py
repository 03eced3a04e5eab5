# SPDX-License-Identifier: LGPL-2.1-or-later
"""Where `cmake --install` puts the package and its extension: in a directory the interpreter
searches, for the prefix given while installing (--prefix, CPack's /usr),
not the one the build was configured with. Installs from the build into
scratch places only: a DESTDIR for the system's prefixes, and a home's
~/.local as itself."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import _qport

CMAKE = os.environ.get("QPORT_CMAKE")
BUILD_DIR = os.environ.get("QPORT_BUILD_DIR")
pytestmark = [
    pytest.mark.skipif(not CMAKE or not BUILD_DIR,
                       reason="needs QPORT_CMAKE and QPORT_BUILD_DIR, as CTest sets them"),
    pytest.mark.skipif(bool(os.environ.get("QPORT_INSTALL_PYTHONDIR")),
                       reason="QPORT_INSTALL_PYTHONDIR chooses the directory, not the prefix"),
]

EXTENSION = Path(_qport.__file__).name


def install(component, prefix, destdir=None):
    environment = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
    if destdir is not None:
        environment["DESTDIR"] = str(destdir)
    subprocess.run([CMAKE, "--install", BUILD_DIR, "--component", component,
                    "--prefix", str(prefix)],
                   check=True, capture_output=True, env=environment)


def run_python(script, **environment):
    """script's output lines, run as a user would: no PYTHONPATH."""
    clean = {k: v for k, v in os.environ.items()
             if k not in ("PYTHONPATH", "PYTHONNOUSERSITE", "LD_LIBRARY_PATH")}
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=30, env={**clean, **environment})
    assert child.returncode == 0, child.stderr
    return child.stdout.splitlines()


def searched_dirs():
    return run_python("import sys; print('\\n'.join(sys.path))")


@pytest.mark.parametrize("prefix", ["/usr", "/usr/local"])
def test_system_prefix_gets_a_directory_python_searches(tmp_path, prefix):
    if not any(path.endswith("dist-packages") for path in searched_dirs()):
        pytest.skip("the system's prefixes are Debian's python3's: it looks in dist-packages")
    install("python", prefix, destdir=tmp_path)
    # The component also carries the package's documents, for CPack.
    (extension,) = tmp_path.rglob(EXTENSION)
    assert (extension.parent / "_qport.pyi").is_file()
    assert (extension.parent / "qport" / "__init__.py").is_file()
    directory = "/" + str(extension.parent.relative_to(tmp_path))
    assert directory.startswith(prefix + "/lib/")
    assert directory in searched_dirs()


def test_home_prefix_is_the_user_site(tmp_path):
    home = tmp_path / "home"
    prefix = home / ".local"
    install("runtime", prefix)
    install("python", prefix)
    (simulated,) = {path.parent for path in prefix.rglob("simulated/libqport.so.1")}
    found, backend, user_site = run_python(
        "import _qport, qport, site; print(_qport.__file__, qport.backend(), "
        "site.getusersitepackages(), "
        "sep='\\n')",
        HOME=str(home), LD_LIBRARY_PATH=str(simulated))
    assert (str(Path(found).parent), backend) == (user_site, "simulated")
    assert Path(user_site).is_relative_to(prefix)
