# Shared helpers of ./run, ./test and bench/run.  Source it; do not run it.

# Installs the Debian packages among "$@" that are not installed yet.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq >&2 || return 1
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# Packages every native build needs.
CORE_PACKAGES=(cmake ninja-build g++ make)

# Builds a configured tree: build_quietly DIR [cmake --build options...].
# Says nothing when everything is up to date (ninja's dry run has no work),
# so that a script's own output stands alone; otherwise the build's output
# and errors go to stderr.
build_quietly() {
  local dir="$1"
  shift
  local plan
  plan=$(cmake --build "$dir" "$@" -- -n 2>&1) || plan=""
  [ "$plan" = "ninja: no work to do." ] && return 0
  cmake --build "$dir" "$@" >&2
}

# Configures (once) and builds a CMake tree: build_tree DIR [cmake options...]
build_tree() {
  local dir="$1"
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >&2 || return 1
  fi
  build_quietly "$dir" -j "$(nproc)"
}
