# Shared helpers for the scripts in this folder (sourced, not run).

repo_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

# Installs Debian packages that are missing; apt-get update runs once first.
ensure_debian_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# cmake and ninja from pip when the machine has none.
ensure_build_tools() {
  command -v cmake >/dev/null && command -v ninja >/dev/null && return 0
  python3 -m pip install -q cmake ninja
}

# Resolves a Python name ("python3", "3.13") to an executable path.
resolve_python() {
  local want="$1"
  if command -v "$want" >/dev/null 2>&1 && "$want" -c "" >/dev/null 2>&1; then
    command -v "$want"; return 0
  fi
  local candidate
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want"*/bin/python3; do
    [ -x "$candidate" ] && { echo "$candidate"; return 0; }
  done
  return 1
}

# Configures and builds the C++ tree in $1 with the remaining CMake options.
build_tree() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null &&
    cmake --build "$dir" -j "$(nproc)"
}
