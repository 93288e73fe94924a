#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks use. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format
  # libraries
  libasio-dev nlohmann-json3-dev libssl-dev libcurl4-openssl-dev libyuv-dev
  libturbojpeg0-dev libcairo2-dev libx264-dev libqrencode-dev
  libx11-dev libx11-xcb-dev libxext-dev libxtst-dev libxrandr-dev libxdamage-dev libxfixes-dev
  libglib2.0-dev libpipewire-0.3-dev
  # keyboard layouts: what keysyms type, and a GNOME session's keymap read as a Wayland client
  libxkbcommon-dev libwayland-dev
  # tests and benchmarks: a private X server, a window manager and X clients as witnesses
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb openbox x11-utils x11-xserver-utils xdotool libxres-dev ffmpeg
  # the GNOME tests: a headless session (Mutter, PipeWire and its session manager, a session bus),
  # a Wayland witness window and a tool that adds a monitor through Mutter's screen cast
  mutter pipewire wireplumber dbus-daemon libglib2.0-bin gsettings-desktop-schemas
  libwayland-dev libwayland-bin wayland-protocols libxkbcommon-dev
  # the terminal QR code is read back with zbarimg; the installed program is fetched from with curl;
  # the Debian package's library dependencies are found with file and dpkg-shlibdeps
  zbar-tools curl file dpkg-dev
  # browser tests
  chromium
)

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
