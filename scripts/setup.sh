#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Quick and silent when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache gettext locales
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libwxgtk3.2-dev libgtk-3-dev wx3.2-i18n libxml2-dev libsodium-dev libftdi1-dev
  libmodbus-dev python3-pymodbus python3-serial python3-serial-asyncio socat
  libmosquitto-dev mosquitto mosquitto-clients openssl
  xvfb xauth x11-utils imagemagick
  desktop-file-utils appstream man-db groff-base systemd dpkg-dev file
  libgtk-3-dev at-spi2-core libatk-adaptor python3-pyatspi dbus-daemon xdotool
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo " - installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
