#!/usr/bin/env bash
# Installs every Debian package Stravik needs to build, test and run.
# Safe to run repeatedly: when everything is present it does nothing.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential g++ cmake ninja-build pkg-config clang libclang-rt-14-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # signal processing and data
  libfftw3-dev zlib1g-dev libminizip-dev libsamplerate0-dev libsqlite3-dev
  # recordings of every common format for render and tune (WAV, FLAC, AIFF)
  libsndfile1-dev
  # live audio: ALSA, JACK (the tests run a dummy JACK server with ALSA's jack
  # plugin on top), the session bus for the screen-saver inhibition
  libasound2-dev libasound2-plugins jackd2 libjack-jackd2-dev libdbus-1-dev dbus-daemon
  # expression pedal (SDL2's joystick subsystem) and MIDI input (RtMidi)
  libsdl2-dev librtmidi-dev
  # the window: Qt 6 Widgets
  qt6-base-dev
  # the plug-in's editor (an X11 window inside the host's); its test runs Xvfb
  libx11-dev xvfb
  # listening checks on rendered files
  sox
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
  else
    echo "install-deps: need root or sudo to install: ${missing[*]}" >&2
    exit 1
  fi
fi

export DEBIAN_FRONTEND=noninteractive
# jackd2 asks about real-time limits on install; answer it up front.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
APT=(apt-get -y -q -o DPkg::Lock::Timeout=600)
echo "install-deps: installing ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive "${APT[@]}" update
$SUDO env DEBIAN_FRONTEND=noninteractive "${APT[@]}" install --no-install-recommends "${missing[@]}"
