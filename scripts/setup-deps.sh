#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks use. Safe to run again:
# it only calls apt-get when something is missing.
#   scripts/setup-deps.sh [build|test]
# `build` installs what configuring and compiling need, `test` what only the suites run (servers,
# compositors, the browser, players); scripts/test.sh installs the second while it compiles.
# Without an argument, both.
set -euo pipefail

group=${1:-all}
build_packages=(
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format
  # libraries
  libasio-dev nlohmann-json3-dev libssl-dev libcurl4-openssl-dev libyuv-dev
  libturbojpeg0-dev libcairo2-dev libx264-dev libqrencode-dev
  libx11-dev libx11-xcb-dev libxext-dev libxtst-dev libxrandr-dev libxdamage-dev libxfixes-dev
  libglib2.0-dev libpipewire-0.3-dev
  # keyboard layouts: what keysyms type, and a GNOME session's keymap read as a Wayland client;
  # the wlroots backend's protocols, generated with wayland-scanner
  libxkbcommon-dev libwayland-dev libwayland-bin wayland-protocols
  # the test programs and benchmarks; X-Resource for the X server's client count; curl, which
  # the build looks for to add the install test
  googletest libgtest-dev libgmock-dev libbenchmark-dev libxres-dev curl
)
test_packages=(
  # a private X server, a window manager and X clients as witnesses; ffmpeg plays the streams
  xvfb openbox x11-utils x11-xserver-utils xdotool ffmpeg
  # the GNOME tests: a headless session (Mutter, PipeWire and its session manager, a session bus)
  mutter pipewire wireplumber dbus-daemon libglib2.0-bin gsettings-desktop-schemas
  # the terminal QR code is read back with zbarimg; the Debian package's library dependencies are
  # found with file and dpkg-shlibdeps
  zbar-tools file dpkg-dev
  # browser tests
  chromium
  # the sway tests: a headless sway, grim for what the compositor shows, runuser (sway will not
  # run as root)
  sway grim util-linux
)
case $group in
  build) packages=("${build_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  all) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *)
    echo "usage: scripts/setup-deps.sh [build|test]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$package")
  fi
done

# Node.js may come from elsewhere than Debian (it ships npm itself then); only install Debian's when
# there is none at all.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  missing+=(nodejs npm)
fi

if (( ${#missing[@]} == 0 )); then
  exit 0
fi

sudo=()
if (( EUID != 0 )); then
  sudo=(sudo)
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
