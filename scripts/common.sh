# Shared set-up of scripts/test and scripts/demo: installs the Debian packages the
# project needs (only those missing) and builds the project with CMake.
# shellcheck shell=bash

ZR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Everything the build, the tests and the demo need on a fresh Debian 12 machine.
ZR_PACKAGES=(
  build-essential cmake pkg-config
  qtbase5-dev qttools5-dev qttools5-dev-tools
  liblzma-dev xz-utils libssl-dev
  # deltas between releases of a package (src/delta): zstd's patch-from
  libzstd-dev
  # the desktop's proxy settings (src/net): GIO's proxy resolver
  libglib2.0-dev
  # ... and in the tests, GNOME's proxy settings: glib-networking's resolver, the schemas
  glib-networking gsettings-desktop-schemas
  # TLS: the test certificate authority (tests/support/testpki), which also brings
  # /etc/ssl/certs; mount --bind of tests/support/with-trusted-ca (unshare is util-linux's)
  openssl mount
  libgtest-dev libbenchmark-dev
  # XML benchmark (bench/xml): the parsers ours is measured against
  libexpat1-dev libpugixml-dev
  # delta benchmark (bench/delta): the tools ours is measured against
  zstd bsdiff
  fonts-dejavu-core
  python3
  # end-to-end test (scripts/demo-run): web server, X server, dialog driver, pgrep;
  # packaging test: file, beside dpkg-dev from build-essential
  nginx xvfb xdotool procps file
  # end-to-end test through a proxy (tests/e2e)
  tinyproxy
  # packaging test: lintian on the Debian package
  lintian
  # accessibility test (tests/a11y): a session bus, at-spi2-core's bus and registry and
  # Debian's Python bindings to read the windows (the toolkit's AT-SPI bridge is in
  # libqt5gui5, with the xcb platform)
  dbus at-spi2-core python3-pyatspi
  # metered connections and power saver (tests/policy): private buses (dbus-daemon) and
  # NetworkManager and power-profiles-daemon as python3-dbusmock's templates serve them
  python3-dbusmock
)

zr_install_packages() {
  local missing=() p
  for p in "${ZR_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq || return 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
}

# zr_build BUILD_DIR [cmake args...]
zr_build() {
  local dir=$1; shift
  cmake -S "$ZR_ROOT" -B "$ZR_ROOT/$dir" "$@" >/dev/null || return 1
  cmake --build "$ZR_ROOT/$dir" -j"$(nproc)" -- --no-print-directory 2>&1 \
    | grep -v -E '^\[ *[0-9]+%\]|^(Scanning|Consolidate|Automatic MOC|Automatic UIC|Automatic RCC)' 
  return "${PIPESTATUS[0]}"
}
