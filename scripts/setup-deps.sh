#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
# Quick no-op when everything is already there.
set -euo pipefail
PACKAGES=(
    cmake g++ make pkg-config
    qtbase5-dev qtmultimedia5-dev libqt5multimedia5-plugins libqt5x11extras5-dev
    libx11-dev libxext-dev libxcb1-dev libxtst-dev libxfixes-dev libxcomposite-dev fonts-texgyre
    libtesseract-dev tesseract-ocr-eng fonts-dejavu-core
    libboost1.81-dev libsqlite3-dev libssl-dev libcurl4-openssl-dev libjpeg-dev libpng-dev libdeflate-dev zlib1g-dev
    libpq-dev postgresql nginx wrk chromium
    xvfb xserver-xephyr x11-utils x11-xkb-utils xdotool xclip trayer openbox xcompmgr curl
    libglib2.0-bin pulseaudio pulseaudio-utils
    dbus-daemon dbus-bin dbus-session-bus-common desktop-file-utils appstream systemd dpkg-dev file lintian
    sway swaybg pipewire xdg-desktop-portal xdg-desktop-portal-wlr grim xdg-desktop-portal-gtk dbus-user-session qtwayland5
    wtype wl-clipboard libwayland-dev
    kwin-wayland xdg-desktop-portal-kde kded5 qml-module-qtquick-layouts qml-module-qtquick-controls2
    qml-module-org-kde-kirigami2 qml-module-qtquick-window2 qml-module-qtgraphicaleffects
    g++-mingw-w64-x86-64 wine wine64
)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# scripts/with-kwin.sh takes the KDE portal's QML and the StatusNotifier watcher from
# plasma-workspace, unpacked: installed, it would pull a whole Plasma desktop.
plasma=${BL_PLASMA_DIR:-/var/cache/brightloom/plasma-workspace}
if [ ! -d "$plasma/usr/lib/x86_64-linux-gnu/qt5/qml/org/kde" ]; then
    SUDO=""
    [ "$(id -u)" = 0 ] || SUDO=sudo
    download=$(mktemp -d)
    (cd "$download" && apt-get download -q plasma-workspace)
    $SUDO mkdir -p "$plasma"
    $SUDO dpkg-deb -x "$download"/plasma-workspace_*.deb "$plasma"
    rm -rf "$download"
fi
