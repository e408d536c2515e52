# Set-up shared by scripts/check and scripts/demo: sourced, not run.

# quietly LOG COMMAND...: runs COMMAND with its output in LOG, added to
# what is there.  Shows the warnings and errors in it, and on a failure its
# last lines.
quietly ()
{
  local log=$1 start
  shift

  mkdir -p "$(dirname "$log")"
  touch "$log"
  start=$(($(wc -l <"$log") + 1))
  if ! "$@" >>"$log" 2>&1; then
    echo "Failed: $*; the end of $log:" >&2
    tail -n 25 "$log" >&2
    return 1
  fi
  tail -n +"$start" "$log" | grep -E 'CMake (Warning|Error)|warning:|error:' >&2 || true
}

# apt_get ARGUMENT...: apt-get as root (through sudo when not root), the
# package lists refreshed first, once; its output in build/setup.log.
apt_get ()
{
  local sudo=()

  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if [ -z "${APT_UPDATED:-}" ]; then
    quietly build/setup.log "${sudo[@]}" apt-get update
    APT_UPDATED=yes
  fi
  quietly build/setup.log "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -y --no-install-recommends "$@"
}

# Installs the Debian packages named that are not installed yet.
install_packages ()
{
  local missing=() package

  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing ${missing[*]} (log: build/setup.log)" >&2
  apt_get install "${missing[@]}"
}

# Installs what debian/control says that building the monitor and running
# its tests need, unless it is all there.
install_build_dependencies ()
{
  command -v dpkg-checkbuilddeps >/dev/null && dpkg-checkbuilddeps 2>/dev/null &&
    return 0
  echo "Installing the build dependencies in debian/control (log: build/setup.log)" >&2
  apt_get build-dep ./
}

# What tests/virtual_machine needs: qemu for this machine's architecture,
# busybox for the guest's first root, kmod for its drivers, and alsa-utils
# to play into its card.
install_virtual_machine ()
{
  local qemu

  case $(dpkg --print-architecture) in
    amd64) qemu=qemu-system-x86 ;;
    arm64 | armhf) qemu=qemu-system-arm ;;
    *)
      echo "There is no virtual machine for $(dpkg --print-architecture), only for amd64, arm64 and armhf." >&2
      return 1
      ;;
  esac
  install_packages "$qemu" busybox-static kmod alsa-utils
}

# Configures and builds into FOLDER (default build/) from the repository
# it is run in, with its tests, and every warning an error, with the CMake
# options given: build [FOLDER [OPTION...]].  The output goes to
# FOLDER/build.log.
build ()
{
  local folder=${1:-build}
  shift || true

  quietly "$folder/build.log" cmake -S . -B "$folder" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@"
  quietly "$folder/build.log" cmake --build "$folder" --parallel "$(nproc)"
}

# Starts the virtual card hw:1 with its files in folder $1: a private
# PulseAudio server with a null sink "card1", which ALSA's pulse plugin
# turns into a capture card paced in real time.  Sets SERVER_PID; the
# caller stops the server by it.
start_virtual_card ()
{
  export XDG_RUNTIME_DIR=$1 PULSE_RUNTIME_PATH=$1 HOME=$1
  export ALSA_CONFIG_PATH=$PWD/tests/asound.conf
  tests/virtual_card_server "$1" &
  SERVER_PID=$!
  for _ in $(seq 50); do
    pactl info >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "The virtual card's audio server did not start." >&2
  return 1
}

# Plays a square wave of sample values LEFT and RIGHT into the virtual
# card, for SECONDS or until killed: play_tone LEFT RIGHT [SECONDS].
play_tone ()
{
  build/tests/tone "$1" "$2" |
    timeout "${3:-0}" pacat --playback -d card1 --format=s16le --rate=44100 \
      --channels=2 2>/dev/null
}
