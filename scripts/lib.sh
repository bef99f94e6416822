# Shared helpers for the project's scripts. Source it; do not run it.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=$(nproc 2>/dev/null || echo 2)

# Debian packages the build, the tests and the demo need.
PACKAGES=(
  build-essential cmake pkg-config
  googletest libgtest-dev libgmock-dev
  libcurl4-openssl-dev
  libgupnp-1.6-dev
  # the GLib and Qt example hosts
  libglib2.0-dev qt6-base-dev
  libbenchmark-dev
  iproute2 binutils
  gupnp-tools time
  dpkg-dev lintian abigail-tools python3 man-db
  python3-venv python3-pytest mypy black
  clang-14 libclang-rt-14-dev valgrind clang-format clang-tidy
)

# Installs whichever of PACKAGES is missing (needs root on a fresh machine).
ensure_packages() {
  local missing=() pkg
  for pkg in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages and not root: run as root or install them: ${missing[*]}" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# configure_and_build <build-dir> [cmake args...]
configure_and_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
