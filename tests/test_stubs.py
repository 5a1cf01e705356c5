"""The typed stubs shipped with the package match the built native modules."""

import importlib.machinery
import pathlib
import subprocess
import sys

import orvex_cloud

pytestmark = __import__("pytest").mark.no_sanitizer  # mypy is slow and pure Python


def native_modules():
    folder = pathlib.Path(orvex_cloud.__file__).parent
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    return sorted(p.name.split(".")[0] for p in folder.iterdir() if p.name.endswith(suffixes))


def test_every_native_module_ships_a_stub():
    folder = pathlib.Path(orvex_cloud.__file__).parent
    assert native_modules(), "no native modules installed"
    missing = [name for name in native_modules() if not (folder / f"{name}.pyi").exists()]
    assert missing == []


def test_stubs_agree_with_the_runtime(tmp_path):
    modules = [f"orvex_cloud.{name}" for name in native_modules()]
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *modules],
        capture_output=True,
        text=True,
        cwd=tmp_path,  # neither the source tree nor site-packages may shadow what mypy reads
    )
    assert run.returncode == 0, run.stdout + run.stderr
