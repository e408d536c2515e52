#!/usr/bin/env bash
# Runs level-monitor@1 as the Debian package PACKAGE installs it, under a
# real systemd booted in a container made of this machine's own root (an
# overlay, thrown away at the end), on the virtual card playing a tone.
# Checks the levels in the journal, a monitor that is not root, and, once
# the card's audio server is stopped, an "Error: " line and a restart.
# Usage: tests/service_test.sh PACKAGE
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
package=$(realpath "$1")
folder=$(mktemp -d)
pids=()
init=

stop ()
{
  [ -z "$init" ] || kill -KILL "$init" 2>/dev/null || true
  kill "${pids[@]}" 2>/dev/null || true
  wait 2>/dev/null || true
  umount "$folder/container/root" "$folder/container" 2>/dev/null || true
  # Never into a container still mounted.
  rm -rf --one-file-system "$folder"
}
trap stop EXIT

fail ()
{
  echo "service test: $*" >&2
  [ -z "$init" ] || inside journalctl --no-pager -n 30 -u level-monitor@1 >&2 || true
  exit 1
}

# inside COMMAND...: runs COMMAND in the container.
inside ()
{
  nsenter -t "$init" -m -u -i -n -p "$@"
}

# until SECONDS COMMAND...: retries COMMAND twice a second until it
# succeeds, for at most SECONDS.
until_true ()
{
  local tries=$(($1 * 2))
  shift
  while ! "$@" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.5
  done
}

# The virtual card, reached from the container through a socket outside
# the server's private runtime folder, in a folder bound into it.
mkdir -m 700 "$folder/card"
start_virtual_card "$folder/card"
pids+=("$SERVER_PID")
mkdir -m 755 "$folder/shared"
cp tests/asound.conf "$package" "$folder/shared/"
pactl load-module module-native-protocol-unix \
  socket="$folder/shared/socket" auth-anonymous=1 >/dev/null
play_tone 7770 7770 &
pids+=($!)

# The container: this machine's root under a layer that takes its writes.
mkdir "$folder/container"
mount -t tmpfs tmpfs "$folder/container"
mkdir "$folder/container/upper" "$folder/container/work" \
  "$folder/container/root"
mount -t overlay overlay "$folder/container/root" -o \
  "lowerdir=/,upperdir=$folder/container/upper,workdir=$folder/container/work"
# Its own network, where its systemd may set up the loopback of the
# service's private network; no more than the basic system.
systemd-nspawn --quiet --register=no --keep-unit --boot --console=pipe \
  --private-network -D "$folder/container/root" \
  --bind-ro="$folder/shared:/run/virtual-card" \
  -- systemd.unit=basic.target >"$folder/container.log" 2>&1 </dev/null &
pids+=($!)
# The container's systemd is the one child of systemd-nspawn.
find_init ()
{
  init=$(tr -d " " <"/proc/${pids[-1]}/task/${pids[-1]}/children")
  [ -n "$init" ]
}
until_true 10 find_init || fail "the container did not start"
inside systemctl is-system-running --wait >/dev/null || true

inside dpkg -i "/run/virtual-card/$(basename "$package")" >/dev/null
inside mkdir -p /etc/systemd/system/level-monitor@1.service.d
inside tee /etc/systemd/system/level-monitor@1.service.d/virtual-card.conf \
  >/dev/null <<'EOF'
[Service]
Environment=ALSA_CONFIG_PATH=/run/virtual-card/asound.conf
Environment=PULSE_SERVER=unix:/run/virtual-card/socket
EOF
inside systemctl daemon-reload
inside systemctl enable --now level-monitor@1 2>/dev/null

# levels: what the monitor wrote to the journal, one line a message.
levels ()
{
  inside journalctl --no-pager -o cat _SYSTEMD_UNIT=level-monitor@1.service
}

# Four lines of the tone's -12.50 dB.
tone_heard ()
{
  [ "$(levels | awk '$1 > -12.51 && $1 < -12.49' | wc -l)" -ge 4 ]
}
until_true 15 tone_heard || fail "no level of the tone in the journal"
main=$(inside systemctl show -p MainPID --value level-monitor@1)
read -r uid user < <(inside stat -c '%u %U' "/proc/$main")
[ "$uid" -ne 0 ] || fail "the monitor runs as root"
echo "level-monitor@1 under systemd: the tone's levels in the journal, as $user"

kill "$SERVER_PID"
restarted ()
{
  levels | grep -q '^Error: ' &&
    [ "$(inside systemctl show -p NRestarts --value level-monitor@1)" -ge 1 ]
}
until_true 30 restarted || fail "no error and restart once the card went"
strays=$(levels | grep -v -E '^(-?[0-9]+\.[0-9]{6}|Error: .*)$' || true)
[ -z "$strays" ] || fail "the monitor wrote more than levels and errors: $strays"
echo "level-monitor@1 under systemd: \"$(levels | grep -m 1 '^Error: ')\", then restarted"
