"""Where the package finds the library and the default model.

Each case runs in a new interpreter, since a process loads the library once.
"""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import qx_orb
from conftest import PYTHON_DIR, REPO

PROBE = "import json, qx_orb; print(json.dumps([qx_orb.library_path(), qx_orb.default_model()]))"
IN_SOURCE_TREE = pathlib.Path(qx_orb.__file__).resolve().parent == PYTHON_DIR / "qx_orb"


def probe(env, pythonpath=PYTHON_DIR):
    clean = {k: v for k, v in os.environ.items() if k not in ("QX_ORB_LIBRARY", "QX_ORB_MODEL")}
    clean.update(env, PYTHONPATH=str(pythonpath))
    # Run away from the source tree: "-c" puts the working directory first on sys.path.
    done = subprocess.run([sys.executable, "-B", "-c", PROBE], env=clean, capture_output=True, cwd="/",
                          text=True, timeout=60)
    if done.returncode:
        return done.stderr
    return [str(pathlib.Path(p).resolve()) for p in json.loads(done.stdout)]


@pytest.fixture(scope="module")
def library():
    return pathlib.Path(qx_orb.library_path())


def install(library, prefix, libdir):
    (prefix / libdir).mkdir(parents=True)
    shutil.copy(library, prefix / libdir / "libqx_orb.so.1")
    share = prefix / "share" / "qx_orb"
    share.mkdir(parents=True)
    shutil.copy(REPO / "models" / "default.qx", share / "default.qx")
    return prefix / libdir / "libqx_orb.so.1", share / "default.qx"


@pytest.mark.parametrize("libdir", ["lib", "lib64", "lib/x86_64-linux-gnu"])
def test_an_installed_library_finds_the_installed_model(tmp_path, library, libdir):
    lib, model = install(library, tmp_path / "prefix", libdir)
    assert probe({"QX_ORB_LIBRARY": str(lib)}) == [str(lib.resolve()), str(model.resolve())]


def test_the_model_variable_comes_first(tmp_path, library):
    lib, _ = install(library, tmp_path / "prefix", "lib")
    chosen = tmp_path / "mine.qx"
    assert probe({"QX_ORB_LIBRARY": str(lib), "QX_ORB_MODEL": str(chosen)})[1] == str(chosen)


@pytest.mark.skipif(not IN_SOURCE_TREE, reason="the package is not run from the source tree")
def test_a_library_without_a_share_folder_falls_back_to_the_tree(tmp_path, library):
    (tmp_path / "lib").mkdir()
    shutil.copy(library, tmp_path / "lib" / "libqx_orb.so.1")
    found = probe({"QX_ORB_LIBRARY": str(tmp_path / "lib" / "libqx_orb.so.1")})
    assert found[1] == str((REPO / "models" / "default.qx").resolve())


def test_the_package_directory_comes_before_the_system(tmp_path, library):
    package = tmp_path / "site" / "qx_orb"
    shutil.copytree(PYTHON_DIR / "qx_orb", package, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(library, package / "libqx_orb.so.1")
    shutil.copy(REPO / "models" / "default.qx", package / "default.qx")
    assert probe({}, pythonpath=tmp_path / "site") == [str(package / "libqx_orb.so.1"),
                                                      str(package / "default.qx")]


def test_a_wrong_library_variable_is_not_silently_replaced(tmp_path):
    message = probe({"QX_ORB_LIBRARY": str(tmp_path / "missing.so")})
    assert "missing.so" in message and "QX_ORB_LIBRARY" in message
