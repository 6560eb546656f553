#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the test suite need.
# Only packages that are missing are installed; nothing happens when all are present.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite libqt5svg5
  libexif-dev libqrencode-dev libssl-dev
  libheif-dev libheif-examples libwebp-dev webp
  fonts-font-awesome fonts-wqy-microhei
  xvfb xauth iproute2 util-linux procps
  python3 python3-pyftpdlib openssl zbar-tools
  libimage-exiftool-perl qttranslations5-l10n
  desktop-file-utils appstream systemd
  dbus-daemon dunst trayer
  clang-format universal-ctags
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing Debian packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
