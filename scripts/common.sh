# Set-up shared by scripts/check and scripts/demo: sourced, not run.

# Installs the Debian packages named that are not installed yet.
install_packages ()
{
  local missing=() package sudo=()

  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing ${missing[*]}" >&2
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >&2
}

# The packages that building and running the monitor need.
BUILD_PACKAGES=(build-essential cmake pkg-config libgstreamer1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-alsa
  libgtest-dev)
# The virtual card of the tests and the demo.
CARD_PACKAGES=(pulseaudio pulseaudio-utils libasound2-plugins)

# Configures and builds into build/ at the top of the repository.
build ()
{
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
  cmake --build build --parallel "$(nproc)" >&2
}
