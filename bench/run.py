"""Runs every benchmark in this folder (bench_*.py, each with a main()) and prints its ratios."""

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(HERE), str(ROOT / "stand_ins"), str(ROOT)]


def main():
    for path in sorted(HERE.glob("bench_*.py")):
        print(f"== {path.stem}")
        importlib.import_module(path.stem).main()


if __name__ == "__main__":
    main()
