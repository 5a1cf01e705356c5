# Sourced by the other scripts: make (or reuse) a virtual environment and install the package
# with everything its tests and the demo need. Usage: ensure_venv DIR [extra pip install args...]
ensure_venv() {
  local venv="$1"; shift
  local python="${PYTHON:-python3}"
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --upgrade pip
  # The build requirements are installed up front so the package can be built without
  # isolation, reusing its build folder between runs.
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.12,<3" -r requirements/test.txt
  "$venv/bin/python" -m pip install -q --no-build-isolation "$@" .
}
