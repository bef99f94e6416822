# Shared helpers for the project's scripts. Source it; do not run it.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# The build's own dependencies are the Build-Depends of debian/control. These
# are what the project's tests, benchmarks, fuzzers and demo use beyond them.
TEST_TOOLS=(
  build-essential dpkg-dev
  # the GLib and Qt example hosts
  libglib2.0-dev qt6-base-dev
  libbenchmark-dev
  iproute2 binutils util-linux
  gupnp-tools time
  lintian autopkgtest abigail-tools man-db
  python3-venv python3-pytest mypy black
  clang-14 libclang-rt-14-dev valgrind clang-format clang-tidy
)

# Installs whatever of the build dependencies and TEST_TOOLS is missing (needs
# root on a fresh machine).
ensure_packages() {
  local missing=() pkg
  for pkg in "${TEST_TOOLS[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  if [ ${#missing[@]} -eq 0 ] && dpkg-checkbuilddeps "$ROOT/debian/control" 2>/dev/null; then
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages and not root: run as root, or install ${missing[*]} and" \
         "the build dependencies (apt-get build-dep $ROOT)" >&2
    return 1
  fi
  echo "Installing the build dependencies and: ${missing[*]:-nothing else}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get build-dep -y -qq --no-install-recommends "$ROOT"
  [ ${#missing[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# configure_and_build <build-dir> [cmake args...]
configure_and_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
