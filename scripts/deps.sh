# Sourced by scripts/run and scripts/test: installs what the build and the
# tests need on a fresh Debian 12 machine, and nothing that is already there.

morvane_need() {  # morvane_need COMMAND-OR-FILE PACKAGE...
  local probe=$1; shift
  if [[ $probe == /* ]]; then [[ -e $probe ]] && return 0; else command -v "$probe" >/dev/null 2>&1 && return 0; fi
  MORVANE_MISSING+=("$@")
}

morvane_install_missing() {
  if ((${#MORVANE_MISSING[@]} == 0)); then return 0; fi
  echo "Installing: ${MORVANE_MISSING[*]}" >&2
  local sudo=
  [[ $(id -u) == 0 ]] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${MORVANE_MISSING[@]}" >&2
  MORVANE_MISSING=()
}

MORVANE_MISSING=()
morvane_need cmake cmake
morvane_need make make
morvane_need x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
morvane_need wine wine64
