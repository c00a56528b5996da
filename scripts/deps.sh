# Sourced by scripts/run, scripts/test and scripts/bench: installs what the
# build and the tests need on a fresh Debian 12 machine, and nothing that is
# already there; and starts Wine the one way that starts it every time.
#
#   morvane_need PROBE PACKAGE...   PROBE is a command, or an absolute path
#   morvane_install_missing         installs every package of a missing probe

# Debian's Wine has no preloader: with address space randomisation its loader
# now and then takes the address of the shared user data, and the program exits
# 1 before it runs. So every Wine command of the scripts runs with randomisation
# off (Wine's own processes inherit it), and err+virtual would say so should a
# start fail all the same.
export WINEDEBUG=${WINEDEBUG:--all,err+virtual}
wine() { setarch x86_64 -R wine "$@"; }
wineboot() { setarch x86_64 -R wineboot "$@"; }
wineserver() { setarch x86_64 -R wineserver "$@"; }
winepath() { setarch x86_64 -R winepath "$@"; }

morvane_need() {
  local probe=$1; shift
  if [[ $probe == /* ]]; then
    [[ -e $probe ]] && return 0
  else
    type -P "$probe" >/dev/null 2>&1 && return 0  # a program on PATH, not the wrappers above
  fi
  MORVANE_MISSING+=("$@")
}

morvane_install_missing() {
  ((${#MORVANE_MISSING[@]} == 0)) && return 0
  echo "Installing: ${MORVANE_MISSING[*]}" >&2
  local sudo=()
  [[ $(id -u) == 0 ]] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null >&2
  # With the packages' recommendations: Wine needs several of them (the
  # `wine` launcher itself, its fonts, the X libraries its display driver loads).
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${MORVANE_MISSING[@]}" </dev/null >&2
  MORVANE_MISSING=()
}

# What scripts/run needs: the build of Morvane.exe and Wine.
morvane_need_build() {
  morvane_need cmake cmake
  morvane_need make make
  morvane_need x86_64-w64-mingw32-g++-win32 g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev
  morvane_need x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
  morvane_need wine wine wine64
  morvane_need wineserver wine wine64
  morvane_need /usr/share/wine/fonts/tahoma.ttf fonts-wine
  morvane_need iconv libc-bin
}

# What morvane-offline needs to build: libhivex, found with pkg-config.
morvane_need_offline() {
  morvane_need pkg-config pkg-config
  morvane_need /usr/include/hivex.h libhivex-dev
}

# What scripts/test needs besides: the native build with morvane-offline, its
# unit tests, the tools of the end-to-end tests under Wine, and hivexsh and
# reglookup, with which the offline tests make hives and read them back.
morvane_need_tests() {
  morvane_need_build
  morvane_need_offline
  morvane_need g++ g++
  morvane_need hivexsh libhivex-bin
  morvane_need reglookup reglookup
  morvane_need /usr/src/googletest/CMakeLists.txt googletest
  morvane_need /usr/include/gtest/gtest.h libgtest-dev
  morvane_need python3 python3
  morvane_need Xvfb xvfb
  morvane_need xdotool xdotool
}

MORVANE_MISSING=()
