# Shared by the scripts in this folder: the virtual environment and CMake build trees.
VENV=$(realpath -m "${ZANTHE_VENV:-.venv}")
VENV_PY="$VENV/bin/python"

ensure_venv() {
  ensure_system_libraries
  if [ ! -x "$VENV_PY" ]; then
    local py
    py=$(scripts/find-python)
    "$py" -m venv "$VENV"
  fi
  "$VENV_PY" -m pip install --quiet --upgrade pip
}

# System libraries the engines build on, with their headers from Debian: zlib (the DICOM reader
# inflates deflated datasets), http-parser (the MCP server's HTTP transport reads requests), and the
# pixel engine's codecs (libjpeg-turbo, CharLS, OpenJPEG); its PNG writer needs only zlib.
ensure_system_libraries() {
  local missing=()
  [ -e /usr/include/zlib.h ] || missing+=(zlib1g-dev)
  [ -e /usr/include/http_parser.h ] || missing+=(libhttp-parser-dev)
  [ -e /usr/include/turbojpeg.h ] && [ -e /usr/include/charls/charls.h ] && compgen -G '/usr/include/openjpeg-2.*/openjpeg.h' >/dev/null && command -v pkg-config >/dev/null || missing+=(libturbojpeg0-dev libcharls-dev libopenjp2-7-dev pkg-config)
  apt_install "${missing[@]}"
}

# The DICOM peers the networking tests run against: DCMTK's tools and Orthanc. Only the tests need them.
ensure_test_peers() {
  local missing=()
  [ -x /usr/bin/storescu ] || missing+=(dcmtk)
  [ -x /usr/sbin/Orthanc ] || missing+=(orthanc)
  apt_install "${missing[@]}"
}

# apt_install PACKAGE...: installs the packages named, when there are any and apt-get is there.
apt_install() {
  if [ $# -gt 0 ] && command -v apt-get >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null ||
      { $sudo apt-get update -q >/dev/null && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null; }
  fi
}

# build_tree DIR [cmake -D options...]: configure and build the whole project into DIR with the venv's tools.
build_tree() {
  local dir=$1; shift
  ensure_system_libraries
  "$VENV_PY" -m pip install --quiet nanobind cmake ninja
  "$VENV/bin/cmake" -S . -B "$dir" -G Ninja \
    -DPython_EXECUTABLE="$VENV_PY" \
    -Dnanobind_DIR="$("$VENV_PY" -m nanobind --cmake_dir)" "$@" >/dev/null
  "$VENV/bin/cmake" --build "$dir"
}
