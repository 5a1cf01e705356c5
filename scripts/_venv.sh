# Sourced by the other scripts: make (or reuse) a virtual environment and install the package
# with everything its tests and the demo need. Usage: ensure_venv DIR [extra pip install args...]
# pip, with the notices about package folders this machine lists but lacks left out.
quiet_pip() {
  "$@" 2> >(grep -v "^WARNING: Location '.*' is ignored" >&2)
}

ensure_venv() {
  local venv="$1"; shift
  local python="${PYTHON:-python3}"
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
  fi
  quiet_pip "$venv/bin/python" -m pip install -q --upgrade pip
  # The build requirements are installed up front so the package can be built without
  # isolation, reusing its build folder between runs.
  quiet_pip "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.12,<3" -r requirements/test.txt
  quiet_pip "$venv/bin/python" -m pip install -q --no-build-isolation "$@" .
}
