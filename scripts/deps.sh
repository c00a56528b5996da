# Sourced by the scripts: installs what the build and the tests need on a
# fresh Debian 12 machine, and nothing that is already there; and starts Wine
# the one way that starts it every time. The one place that knows which Debian
# package brings which tool.
#
#   morvane_need PROBE PACKAGE...   PROBE is a program found on PATH as an
#                                   executable file (never a shell function,
#                                   alias or builtin), or an absolute path
#                                   (a glob pattern is allowed)
#   morvane_install_missing         installs every package of a missing probe,
#                                   then checks each such probe again: one still
#                                   missing stops with a line naming it and its
#                                   package (and apt's error)

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

morvane_found() {  # morvane_found PROBE: is it there, as morvane_need means it
  if [[ $1 == /* ]]; then
    compgen -G "$1" >/dev/null
  else
    type -P "$1" >/dev/null
  fi
}

morvane_need() {
  local probe=$1; shift
  morvane_found "$probe" && return 0
  MORVANE_MISSING+=("$@")
  MORVANE_PROBES+=("$probe	$*")
}

morvane_install_missing() {
  ((${#MORVANE_MISSING[@]} == 0)) && return 0
  echo "Installing: ${MORVANE_MISSING[*]}" >&2
  local sudo=() apt_log apt_error="" line
  [[ $(id -u) == 0 ]] || sudo=(sudo)
  apt_log=$(mktemp)
  # With the packages' recommendations: Wine needs several of them (the
  # `wine` launcher itself, its fonts, the X libraries its display driver loads).
  if ! { "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
         "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${MORVANE_MISSING[@]}"; \
       } </dev/null >&2 2>"$apt_log"; then
    apt_error=$(grep -m1 '^E: ' "$apt_log" || tail -n1 "$apt_log")
  fi
  cat "$apt_log" >&2
  rm -f "$apt_log"
  for line in "${MORVANE_PROBES[@]}"; do
    if ! morvane_found "${line%%	*}"; then
      echo "Missing after the install: ${line%%	*} (Debian package: ${line#*	})${apt_error:+; apt-get: $apt_error}" >&2
      return 1
    fi
  done
  MORVANE_MISSING=()
  MORVANE_PROBES=()
}

# The build of Morvane.exe.
morvane_need_cross() {
  morvane_need cmake cmake
  morvane_need make make
  morvane_need x86_64-w64-mingw32-g++-win32 g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev
  morvane_need x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
}

# What scripts/run needs: the build of Morvane.exe and Wine.
morvane_need_build() {
  morvane_need_cross
  morvane_need wine wine wine64
  morvane_need wineserver wine wine64
  morvane_need winepath wine
  morvane_need /usr/share/wine/fonts/tahoma.ttf fonts-wine
  morvane_need iconv libc-bin
}

# What morvane-offline needs to build: libhivex, found with pkg-config.
morvane_need_offline() {
  morvane_need pkg-config pkg-config
  morvane_need /usr/include/hivex.h libhivex-dev
}

# What morvane-offline-image, the repair of disk images, needs to build:
# libguestfs' C library. A list of its own: scripts/run and the repair of
# mounted volumes need none of it.
morvane_need_image() {
  morvane_need pkg-config pkg-config
  morvane_need /usr/include/guestfs.h libguestfs-dev
}

# What its tests need besides: guestfish, which makes their NTFS images in the
# appliance; qemu-img and qemu itself (a paused machine holds an image); and
# ntfs-3g's tools, which read the images back without the appliance.
morvane_need_image_tests() {
  morvane_need_image
  morvane_need guestfish libguestfs-tools
  morvane_need qemu-img qemu-utils
  morvane_need qemu-system-x86_64 qemu-system-x86
  morvane_need ntfscat ntfs-3g
  morvane_need ntfsinfo ntfs-3g
}

# What scripts/test needs besides: the native build with morvane-offline, its
# unit tests, the tools of the end-to-end tests under Wine, hivexsh and
# reglookup, with which the offline tests make hives and read them back,
# hivexregedit, with which they apply the undo file as the undo guide says, and
# mkntfs and ntfs-3g, with which they make a real NTFS volume.
morvane_need_tests() {
  morvane_need_build
  morvane_need_offline
  morvane_need g++ g++
  morvane_need hivexsh libhivex-bin
  morvane_need reglookup reglookup
  morvane_need hivexregedit libwin-hivex-perl
  morvane_need /usr/bin/ntfs-3g ntfs-3g
  morvane_need /usr/src/googletest/CMakeLists.txt googletest
  morvane_need /usr/include/gtest/gtest.h libgtest-dev
  morvane_need python3 python3
  morvane_need Xvfb xvfb
  morvane_need xdotool xdotool
}

# What `scripts/package offline` needs: the build of morvane-offline,
# dpkg-shlibdeps, which gives the Debian package its dependencies, and
# `file`, without which CPack's DEB generator stops.
morvane_need_package_offline() {
  morvane_need cmake cmake
  morvane_need make make
  morvane_need_offline
  morvane_need g++ g++
  morvane_need gzip gzip
  morvane_need dpkg-shlibdeps dpkg-dev
  morvane_need file file
}

# What scripts/package needs: that, the build of Morvane.exe, and libguestfs
# for the image package.
morvane_need_package() {
  morvane_need_cross
  morvane_need_package_offline
  morvane_need_image
}

# What scripts/fresh-check needs to make a bare Debian.
morvane_need_fresh_check() {
  morvane_need debootstrap debootstrap
  morvane_need git git
  morvane_need python3 python3
  morvane_need mkntfs ntfs-3g
}

# What scripts/fuzz needs: clang, and libFuzzer's runtime, which lies in a
# folder named after clang's full version.
morvane_need_fuzz() {
  morvane_need_offline  # the hive target
  morvane_need clang++ clang
  morvane_need "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" libclang-rt-14-dev
}

# What scripts/screenshots needs besides the build: a display of its own, the
# tool that answers the dialogs, and ImageMagick's `import`.
morvane_need_screenshots() {
  morvane_need_build
  morvane_need Xvfb xvfb
  morvane_need xdotool xdotool
  morvane_need import imagemagick
}

# What the offline figure of scripts/bench needs: the release build of
# morvane-offline, the hive writer of the tests, and libhivex's own tool.
morvane_need_bench_offline() {
  morvane_need_offline
  morvane_need g++ g++
  morvane_need python3 python3
  morvane_need hivexregedit libwin-hivex-perl
}

MORVANE_MISSING=()
MORVANE_PROBES=()
