# Shared by the scripts in this folder: the virtual environment and CMake build trees.
VENV=$(realpath -m "${ZANTHE_VENV:-.venv}")
VENV_PY="$VENV/bin/python"

ensure_venv() {
  if [ ! -x "$VENV_PY" ]; then
    local py
    py=$(scripts/find-python)
    "$py" -m venv "$VENV"
  fi
  "$VENV_PY" -m pip install --quiet --upgrade pip
}

# build_tree DIR [cmake -D options...]: configure and build the whole project into DIR with the venv's tools.
build_tree() {
  local dir=$1; shift
  "$VENV_PY" -m pip install --quiet nanobind cmake ninja
  "$VENV/bin/cmake" -S . -B "$dir" -G Ninja \
    -DPython_EXECUTABLE="$VENV_PY" \
    -Dnanobind_DIR="$("$VENV_PY" -m nanobind --cmake_dir)" "$@" >/dev/null
  "$VENV/bin/cmake" --build "$dir"
}
