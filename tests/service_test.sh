#!/usr/bin/env bash
# Runs the service as the Debian package PACKAGE installs it, under a real
# systemd and udev, in a virtual machine that boots Debian's own kernel with
# its snd-aloop driver as the card: what is played into hw:Loopback,D is
# captured from the other device of the pair, a real kernel PCM device.
# The guest's root is this machine's, read-only under a layer in memory.
# Then the package's life: an upgrade, a removal, a purge, a new install.
# Usage: tests/service_test.sh PACKAGE TONE
# TONE is the tests' tone program, built for this machine.
set -euo pipefail
cd "$(dirname "$0")/.."

# The instances: two that follow the card, by its number and by its id,
# and one named in ALSA's KEY=VALUE form, which is restarted while the card
# is gone.
RESTARTED='level-monitor@CARD\x3dLoopback\x2cDEV\x3d1\x2cSUBDEV\x3d0.service'
UNITS=(level-monitor@0.service level-monitor@Loopback.service "$RESTARTED")
# Enabled while its card, snd-dummy's, is not loaded: named by the id that
# the README's udev rule pins to its port, as for a USB card.
ABSENT=level-monitor@Studio.service
# A name that the monitor refuses as a card: "x y".
REFUSED='level-monitor@x\x20y.service'
ID_RULE='ACTION=="add", SUBSYSTEM=="sound", KERNEL=="card*", KERNELS=="snd_dummy.0", ATTR{id}="Studio"'
# The card that an encoder shares with its instance through ALSA's dsnoop,
# as the manual tells, each with its line: a capture substream of its own.
SHARED_CARD=CARD=Loopback,DEV=1,SUBDEV=1
SHARED_DEVICE=dsnoop:$SHARED_CARD
# A line the monitor prints for a measurement.
LEVEL='-?[0-9]+\.[0-9]{6}'
# The bounds of the levels' histogram; the alerts' thresholds among them.
BOUNDS='-90 -85 -80 -75 -70 -65 -60 -55 -50 -45 -40 -35 -30 -25 -20 -15 -10 -5 -1 -0.0005 +Inf'

fail ()
{
  echo "service test: $*" >&2
  [ -z "$guest" ] ||
    journalctl --namespace=+level-monitor --no-pager -n 30 -u 'level-monitor@*' >&2
  exit 1
}

# until_true SECONDS COMMAND...: retries COMMAND twice a second until it
# succeeds, for at most SECONDS.
until_true ()
{
  local tries=$(($1 * 2))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.5
  done
}

# The tone, into every playback substream of both devices.
play_tone ()
{
  players=()
  for device in 0,0 0,1 1,0 1,1; do
    /mnt/tone "$value" "$value" |
      aplay -q -D "plughw:Loopback,$device" -t raw -f S16_LE -r 44100 -c 2 &
    players+=($!)
  done
}

# feed DEVICE [RIGHT]: the tone into one playback substream, such as 0,0,
# which RESTARTED's card captures, with RIGHT as its right's sample value
# if given; its player is players[0].
feed ()
{
  /mnt/tone "$value" "${2:-$value}" |
    aplay -q -D "plughw:Loopback,$1" -t raw -f S16_LE -r 44100 -c 2 &
  players[0]=$!
}

# The command of every card's events: it keeps what it is told, a line
# each, and hangs while /etc/level-monitor/hang is there.  The channel
# last, "-" for an event of the whole card, so that every field keeps its
# place.
EVENTS=/var/lib/level-monitor-events/events
set_event_command ()
{
  cat >/etc/level-monitor/record-event <<'EOF'
#!/bin/sh
echo "$LEVEL_MONITOR_EVENT $LEVEL_MONITOR_CARD $LEVEL_MONITOR_DURATION $LEVEL_MONITOR_REMINDER $LEVEL_MONITOR_THRESHOLD $(id -u) ${LEVEL_MONITOR_CHANNEL:--}" >>"$STATE_DIRECTORY/events"
[ ! -e /etc/level-monitor/hang ] || exec sleep infinity
EOF
  chmod 0755 /etc/level-monitor/record-event
  printf '%s\n' EVENT_COMMAND=/etc/level-monitor/record-event \
    SILENCE_THRESHOLD=-42 COMMAND_TIMEOUT_SECONDS=10 >/etc/level-monitor/all-cards.conf
}

# told CARD EVENT [SKIP]: how often the command was told EVENT of CARD,
# after the first SKIP lines.
told ()
{
  tail -n +$((${3:-0} + 1)) "$EVENTS" 2>/dev/null |
    awk -v card="$1" -v event="$2" '$1 == event && $2 == card' | wc -l
}

# told_duration CARD EVENT: the duration that the command was last told
# with EVENT of CARD.
told_duration ()
{
  awk -v card="$1" -v event="$2" '$1 == event && $2 == card { d = $3 } END { print d }' "$EVENTS"
}

# told_channel CARD EVENT: the channel that the command was last told
# with EVENT of CARD.
told_channel ()
{
  awk -v card="$1" -v event="$2" '$1 == event && $2 == card { c = $7 } END { print c }' "$EVENTS"
}

# levels UNIT: what the monitor of UNIT wrote to its journal.
levels ()
{
  journalctl --namespace=level-monitor --no-pager -o cat "_SYSTEMD_UNIT=$1"
}

# heard UNIT: how often UNIT printed the tone's level.
heard ()
{
  levels "$1" | grep -c -x -F -e "$expected" || true
}

# heard_at_least UNIT COUNT
heard_at_least ()
{
  [ "$(heard "$1")" -ge "$2" ]
}

# others UNIT: how many lines about UNIT, the monitor's and the service
# manager's, are not levels.
others ()
{
  journalctl --namespace=+level-monitor --no-pager -q -o cat -u "$1" |
    grep -c -v -x -E -e "$LEVEL" || true
}

# failures UNIT: how often the system journal says that UNIT failed.
failures ()
{
  journalctl --no-pager -q -o cat -u "$1" | grep -c 'Failed with result' || true
}

# check_process UNIT DEVICE: its monitor is not root, is in the group audio,
# and has the card's capture device open.
check_process ()
{
  local main
  main=$(systemctl show -p MainPID --value "$1")
  [ "$(stat -c %u "/proc/$main")" -ne 0 ] || fail "$1 runs as root"
  grep -q -E "^Groups:.*\b$(getent group audio | cut -d: -f3)\b" "/proc/$main/status" ||
    fail "$1 is not in the group audio"
  find "/proc/$main/fd" -lname "$2" | grep -q . || fail "$1 does not hold $2 open"
}

# periods CARD: the period and buffer, in frames, of each capture
# substream of CARD that is open, a line each.
periods ()
{
  cat /proc/asound/card"$1"/pcm*c/sub*/hw_params |
    awk '/^period_size/ { period = $2 } /^buffer_size/ { print period, $2 }'
}

# runs_installed UNIT: whether UNIT's monitor runs the installed binary,
# not one that an upgrade replaced.
runs_installed ()
{
  local main
  main=$(systemctl show -p MainPID --value "$1")
  [ "$(readlink "/proc/$main/exe" 2>/dev/null || true)" = /usr/bin/level-monitor ]
}

# unit_state UNIT: its ActiveState/SubState.
unit_state ()
{
  systemctl show -p ActiveState,SubState --value "$1" | paste -s -d /
}

# running: the units of the package, or of its journal, that are not
# inactive, a line each; but the package's target, which runs nothing.
running ()
{
  systemctl list-units --all --plain --no-legend '*level-monitor*' |
    awk '$3 != "inactive" && $1 != "level-monitor.target"'
}

# has_device_units CARD ID: whether the card has its device unit by its
# number and by its id.
has_device_units ()
{
  systemctl --quiet is-active "sys-subsystem-sound-cards-$1.device" \
    "sys-subsystem-sound-cards-$2.device"
}

# dpkg_quietly ARGUMENT...: dpkg, its output shown only when it fails.
dpkg_quietly ()
{
  local output
  output=$(dpkg "$@" 2>&1) || { echo "$output" >&2; return 1; }
}

# packaged: what the package may leave on the machine, a path a line.
packaged ()
{
  find /etc /run /usr /var \( -name '*level-monitor*' -o \
    -name 'sys-subsystem-sound-cards-*' \) -print 2>/dev/null | sort
}

# on_null UNIT: whether UNIT's monitor runs with its stdout on /dev/null.
on_null ()
{
  local main
  main=$(systemctl show -p MainPID --value "$1")
  [ "$(cat "/proc/$main/comm" 2>/dev/null || true)" = level-monitor ] &&
    [ "$(readlink "/proc/$main/fd/1" 2>/dev/null || true)" = /dev/null ]
}

# The levels' journald dies and cannot start again: the instances fail,
# where the system journal shows it, rather than print into nothing, and
# are back once it can start.
break_the_journal ()
{
  local unit broken=/run/systemd/system/systemd-journald@level-monitor.service.d
  declare -A failed

  mkdir -p "$broken"
  printf '[Service]\nExecStartPre=/bin/false\n' >"$broken/broken.conf"
  systemctl daemon-reload
  for unit in "${UNITS[@]}"; do
    failed[$unit]=$(failures "$unit")
  done
  systemctl kill -s KILL systemd-journald@level-monitor.service
  sleep 15
  for unit in "${UNITS[@]}"; do
    ! on_null "$unit" || fail "$unit runs on, its levels going nowhere"
    [ "$(failures "$unit")" -gt "${failed[$unit]}" ] ||
      fail "$unit: no failure in the system journal with its journal gone"
    lines[$unit]=$(heard "$unit")
  done
  rm -r "$broken"
  systemctl daemon-reload
  for unit in "${UNITS[@]}"; do
    until_true 30 heard_at_least "$unit" $((${lines[$unit]} + 2)) ||
      fail "$unit: no level within 30 s of its journal's return"
  done
  echo "the levels' journal gone for 15 s: all three failed, and are back"
}

# scrape_collectors COLLECTORS: Prometheus' configuration, with the package's
# alerts, evaluated as often as it scrapes the node exporter's COLLECTORS
# ("textfile, time"), every 5 s.
scrape_collectors ()
{
  cat >/tmp/prometheus.yml <<CONFIG
global: { scrape_interval: 5s, evaluation_interval: 5s }
rule_files: [ /usr/share/level-monitor/prometheus-rules.yml ]
scrape_configs:
  # Only the collectors that the alerts read: all of them take the
  # emulated machine longer than the 5 s a scrape may take, now and then.
  - job_name: node
    params: { 'collect[]': [ $1 ] }
    static_configs: [ { targets: [ 'localhost:9100' ] } ]
CONFIG
}

# The node exporter, by its own unit, and Prometheus scraping the
# collectors that the alerts read.
start_prometheus ()
{
  systemctl start prometheus-node-exporter
  scrape_collectors 'textfile, time'
  prometheus --config.file=/tmp/prometheus.yml --storage.tsdb.path=/tmp/prometheus \
    --web.listen-address=127.0.0.1:9090 >/tmp/prometheus.log 2>&1 &
  prometheus=$!
}

# query EXPR: what Prometheus answers, a line per series: LABELS VALUE.
query ()
{
  promtool query instant http://127.0.0.1:9090 "$1" 2>/dev/null |
    sed -E 's/^[a-z_]*\{?([^}]*)\}? => ([^ ]+) @.*/\1 \2/'
}

# answers EXPR VALUE: whether Prometheus answers EXPR with one VALUE.
answers ()
{
  [ "$(query "$1" | awk '{ print $NF }')" = "$2" ]
}

# stopped_alert CARD: whether Prometheus fires LevelMonitorStopped for CARD.
stopped_alert ()
{
  answers "ALERTS{alertname=\"LevelMonitorStopped\",alertstate=\"firing\",card=\"$1\"}" 1
}

# left_nothing INSTANCE: neither its metrics nor its link are there.
left_nothing ()
{
  [ ! -e "/run/level-monitor/$1" ] &&
    [ ! -L "/var/lib/prometheus/node-exporter/level-monitor@$1.prom" ]
}

# check_retired UNIT CARD: UNIT left nothing of CARD behind: no file, no
# link, no series in Prometheus, and no error in the node exporter's
# textfile collector.
check_retired ()
{
  local instance=${1#level-monitor@}
  instance=${instance%.service}
  until_true 15 left_nothing "$instance" ||
    fail "$1: its metrics are left: $(ls -l /run/level-monitor /var/lib/prometheus/node-exporter)
$(systemctl status --no-pager "level-monitor-retire@$instance.service" || true)"
  # None in a scrape that succeeded: a failed one has no series at all.
  until_true 15 answers "count({card=\"$2\",__name__=~\"level_monitor_.*\"}) or on() (up{job=\"node\"} == 1) * 0" 0 ||
    fail "$1: Prometheus still has its series: $(query "{card=\"$2\",__name__=~\"level_monitor_.*\"}")"
  until_true 15 answers node_textfile_scrape_error 0 ||
    fail "$1: the node exporter's textfile collector fails: $(query node_textfile_scrape_error)"
}

# counts_2_a_second SERIES: whether the count of SERIES grew by 1.5 to 2.5
# a second over the last 30 s.
counts_2_a_second ()
{
  query "rate(level_monitor_peak_dbfs_count{$1}[30s])" |
    awk '{ r = $NF } END { exit !(r >= 1.5 && r <= 2.5) }'
}

# check_histogram CARD: for each of the tone's two channels, its bounds are
# the histogram's, its count grows 2 a second, it holds the tone's every
# line and no other, and the graph's median lies in the tone's bucket.
check_histogram ()
{
  local series channel below at
  read -r below at < <(tr ' ' '\n' <<<"$BOUNDS" |
    awk -v level="$expected" '$1 < level { below = $1 } $1 >= level { print below, $1; exit }')
  for channel in 1 2; do
    series="card=\"$1\",channel=\"$channel\""
    until_true 15 has_bounds "$series" ||
      fail "card $1, channel $channel: the histogram's bounds are $(bounds "$series")"
    until_true 40 counts_2_a_second "$series" ||
      fail "card $1, channel $channel: counts $(query "rate(level_monitor_peak_dbfs_count{$series}[30s])") a second"
    until_true 15 counts_between "$series" "$below" "$at" ||
      fail "card $1, channel $channel: not every count at or below $at and above $below: $(query "level_monitor_peak_dbfs_bucket{$series}")"
    until_true 15 median_between "$series" "$below" "$at" ||
      fail "card $1, channel $channel: the graph's median is $(median "$series"), not above $below and at most $at"
  done
}

# bounds SERIES: the bounds of the histogram SERIES, in order.
bounds ()
{
  query "level_monitor_peak_dbfs_bucket{$1}" |
    sed -E 's/.*le="([^"]*)".*/\1/' | sort -g | paste -s -d ' '
}

has_bounds ()
{
  [ "$(bounds "$1")" = "$BOUNDS" ]
}

# counts_between SERIES BELOW AT: whether every count of SERIES is in the
# bucket above BELOW and at most AT.
counts_between ()
{
  answers "level_monitor_peak_dbfs_bucket{$1,le=\"$2\"}" 0 &&
    answers "level_monitor_peak_dbfs_count{$1} - ignoring(le) level_monitor_peak_dbfs_bucket{$1,le=\"$3\"}" 0
}

# median SERIES: the README's graph, the median of the last minute.
median ()
{
  query "histogram_quantile(0.5, rate(level_monitor_peak_dbfs_bucket{$1}[1m]))" |
    awk '{ print $NF }'
}

median_between ()
{
  awk -v m="$(median "$1")" -v below="$2" -v at="$3" 'BEGIN { exit !(m != "" && m > below && m <= at) }'
}

# start_encoder FILE [DEVICE]: an encoder, as a user of its own in the group
# audio, captures the tone from DEVICE, the shared card unless given, into
# FILE, and its errors and overruns into FILE.log, until stop_encoder.
start_encoder ()
{
  HOME=/tmp/encoder setpriv --reuid=encoder --regid=encoder --init-groups -- \
    arecord -q -D "${2:-$SHARED_DEVICE}" -t raw -f S16_LE -r 44100 -c 2 - \
    >"$1" 2>"$1.log" &
  encoder=$!
  # Counted from its first audio: a start may take seconds on a busy
  # machine.
  until_true 15 test -s "$1" ||
    fail "the encoder captured nothing in 15 s: $(cat "$1.log")"
  encoder_started=$(date +%s.%N)
  encoder_bytes=$(stat -c %s "$1")
}

# stop_encoder FILE: the encoder ran until now without an error or an
# overrun, and FILE holds every second since its first audio but the last
# 3, which an encoder that a loaded machine keeps waiting may not have
# read yet: a stall of the shared card's audio is longer.
stop_encoder ()
{
  local seconds
  kill -0 "$encoder" 2>/dev/null || fail "the encoder ended: $(cat "$1.log")"
  [ ! -s "$1.log" ] || fail "the encoder: $(cat "$1.log")"
  seconds=$(awk -v started="$encoder_started" -v now="$(date +%s.%N)" \
    -v bytes=$(($(stat -c %s "$1") - encoder_bytes)) \
    'BEGIN { printf "%.1f %.1f", now - started, bytes / 176400 }')
  kill "$encoder"
  wait "$encoder" || true
  awk -v s="$seconds" 'BEGIN { split(s, t, " "); exit !(t[2] >= t[1] - 3) }' ||
    fail "the encoder ran for ${seconds% *} s and captured ${seconds#* } s"
}

# shared_monitor ACTION: systemctl ACTION on the instance that shares its
# card, while the encoder captures; it then prints 8 lines more within
# 30 s.
shared_monitor ()
{
  local lines
  lines=$(heard "$SHARED")
  systemctl "$1" "$SHARED"
  until_true 30 heard_at_least "$SHARED" $((lines + 8)) ||
    fail "$SHARED, after a $1 while the encoder captures, prints no level"
}

# The manual's lines for a card shared with an encoder: the instance and
# the encoder capture the card at once, started in either order, either
# restarted while the other runs, and neither fails; the monitor prints
# the tone exactly.
share_with_encoder ()
{
  local lines
  useradd --system --no-create-home --groups audio encoder
  install -d -o encoder -m 0700 /tmp/encoder
  echo "DEVICE=$SHARED_DEVICE" >"/etc/level-monitor/$SHARED_CARD.conf"
  systemctl enable --now "$SHARED" 2>/dev/null
  until_true 30 heard_at_least "$SHARED" 2 || fail "$SHARED: no level of the tone"
  start_encoder /tmp/encoder/1.raw
  sleep 5
  shared_monitor restart
  stop_encoder /tmp/encoder/1.raw
  lines=$(heard "$SHARED")
  # The manual's line for an encoder that asks for what the card may not
  # give.
  start_encoder /tmp/encoder/2.raw "plug:'$SHARED_DEVICE'"
  sleep 5
  stop_encoder /tmp/encoder/2.raw
  heard_at_least "$SHARED" $((lines + 8)) ||
    fail "$SHARED: fewer than 8 lines while the encoder started again"
  systemctl stop "$SHARED"
  start_encoder /tmp/encoder/3.raw
  sleep 3
  shared_monitor start
  [ "$(periods 0 | sort -u)" = "1024 16384
11025 44100" ] || fail "the captures' periods and buffers (frames): $(periods 0)"
  stop_encoder /tmp/encoder/3.raw
  ! levels "$SHARED" | grep -v -x -F -e "$expected" ||
    fail "$SHARED printed more than the tone's level"
  [ "$(systemctl show -p NRestarts --value "$SHARED")" = 0 ] ||
    fail "$SHARED failed and was started again"
  systemctl stop "$SHARED"
  echo "$SHARED and an encoder on $SHARED_DEVICE: either first, either restarted; neither failed, and the monitor printed only the tone's level"
}

# The card held by a program alone: the instance fails, names the holder,
# and does not take the card when the holder lets go and starts again;
# the card stays expected.
busy_card ()
{
  local status
  start_encoder /tmp/encoder/held.raw "hw:$SHARED_CARD"
  sleep 2
  systemctl start "$SHARED"
  until_true 30 eval '[ "$(unit_state "$SHARED")" = failed/failed ]' ||
    fail "$SHARED is $(unit_state "$SHARED") with its card held"
  status=$(systemctl status --no-pager "$SHARED" || true)
  grep -q -F ": Error: card $SHARED_CARD is busy, held by process $encoder" <<<"$status" ||
    fail "systemctl status $SHARED does not name the card's holder, $encoder: $status"
  for _ in 1 2 3 4 5; do
    stop_encoder /tmp/encoder/held.raw
    start_encoder /tmp/encoder/held.raw "hw:$SHARED_CARD"
    sleep 4
  done
  stop_encoder /tmp/encoder/held.raw
  [ "$(unit_state "$SHARED")" = failed/failed ] &&
    [ "$(systemctl show -p NRestarts --value "$SHARED")" = 0 ] ||
    fail "$SHARED, its card busy, was started again: $(unit_state "$SHARED"); its errors: $(levels "$SHARED" | grep -v -x -E -e "$LEVEL")"
  until_true 90 stopped_alert "$SHARED_CARD" ||
    fail "$SHARED, its card busy: no LevelMonitorStopped: $(query ALERTS)"
  echo "card held alone by process $encoder: $SHARED failed, naming it, and was not started again while the holder let go and took the card 5 times; LevelMonitorStopped"
  grep -F ': Error: ' <<<"$status"
  systemctl disable --now "$SHARED" 2>/dev/null
  check_retired "$SHARED" "$SHARED_CARD"
}

# last_level_time INSTANCE: the time of the last level in the instance's
# metrics file, in seconds since the epoch.
last_level_time ()
{
  sed -n 's/^level_monitor_last_level_timestamp_seconds{[^}]*} //p' \
    "/run/level-monitor/$1/level.prom"
}

# printed_at UNIT N: when UNIT's monitors printed their Nth line, as the
# journal took it; the last line when N is $.
printed_at ()
{
  journalctl --namespace=level-monitor --no-pager -q -o short-unix \
    "_SYSTEMD_UNIT=$1" | sed -n "$2p" | awk '{ print $1 }'
}

# The events of RESTARTED's card, its tone stopped: a silence of D - 5 s
# is none; one of D + 10 s with a click shorter than R in it, and the tone
# back, are one silence and one sound event, timed as the silence was.
# The silence's command hangs, is ended at its time limit, and the sound's
# runs all the same; neither as root.
events_in_silence ()
{
  local card=CARD=Loopback,DEV=1,SUBDEV=0 unit stopped resumed duration ended
  unit="level-monitor-events@$(systemd-escape "$card").service"

  kill "${players[0]}"
  sleep 15
  feed 0,0
  sleep 12
  [ "$(told "$card" silence)" = 0 ] && [ "$(told "$card" sound)" = 0 ] ||
    fail "$card: a silence of 15 s was told: $(cat "$EVENTS")"
  touch /etc/level-monitor/hang
  kill "${players[0]}"
  stopped=$(date +%s.%N)
  until_true 35 eval '[ "$(told "$card" silence)" = 1 ]' ||
    fail "$card: no silence told within 35 s: $(cat "$EVENTS"; systemctl status --no-pager "$unit")"
  sleep "$(awk -v s="$stopped" -v now="$(date +%s.%N)" 'BEGIN { print s + 30 - now }')"
  feed 0,0
  sleep 1
  kill "${players[0]}"
  sleep 12
  [ "$(told "$card" sound)" = 0 ] || fail "$card: a click of 1 s ended the silence"
  rm /etc/level-monitor/hang
  feed 0,0
  resumed=$(date +%s.%N)
  until_true 25 eval '[ "$(told "$card" sound)" = 1 ]' ||
    fail "$card: the tone back, and no sound told: $(cat "$EVENTS")"
  duration=$(told_duration "$card" sound)
  awk -v d="$duration" -v a="$stopped" -v b="$resumed" 'BEGIN { exit !(d - (b - a) < 2 && (b - a) - d < 2) }' ||
    fail "$card: a silence of $(awk -v a="$stopped" -v b="$resumed" 'BEGIN { print b - a }') s told as $duration s"
  [ "$(told "$card" silence)" = 1 ] || fail "$card: the silence told again: $(cat "$EVENTS")"
  ended=$(journalctl --no-pager -q -o cat -u "$unit" | grep -c -x -F 'Error: the silence command ran for 10 seconds and was ended' || true)
  [ "$ended" = 1 ] || fail "$unit: the hanging command's end told $ended times: $(journalctl --no-pager -q -o cat -u "$unit")"
  ! awk '$6 == 0' "$EVENTS" | grep -q . || fail "an event's command ran as root"
  echo "$card silent for 15 s: no event; for 43 s, a click of 1 s in it: one silence and one sound event, the silence told as $duration s; its hanging command ended at 10 s"
}

# RESTARTED's card with the tone on its left only, for longer than D and a
# scrape: its right, channel 2, is lost, and the card is not silent; the
# tone back on both sides brings it back.
one_side_lost ()
{
  local card=CARD=Loopback,DEV=1,SUBDEV=0 mark alerts
  alerts="ALERTS{alertname=~\"LevelMonitorSideLost|LevelMonitorSilence\",card=\"$card\"}"

  # The silence before, resolved.
  until_true 30 answers "count($alerts)" '' || fail "$card: the tone back, and still $(query "$alerts")"
  mark=$(wc -l <"$EVENTS")
  kill "${players[0]}"
  feed 0,0 0
  until_true 60 answers "ALERTS{alertname=\"LevelMonitorSideLost\",alertstate=\"firing\",card=\"$card\",channel=\"2\"}" 1 ||
    fail "$card: its right silent, and no LevelMonitorSideLost for channel 2: $(query "$alerts")"
  answers "count($alerts)" 1 || fail "$card: its right silent: $(query "$alerts")"
  until_true 15 eval '[ "$(told "$card" side-lost "$mark")" = 1 ]' ||
    fail "$card: its right silent, and no side-lost told: $(tail -n +$((mark + 1)) "$EVENTS")"
  [ "$(told_channel "$card" side-lost)" = 2 ] ||
    fail "$card: its right silent, and side-lost told of channel $(told_channel "$card" side-lost)"
  kill "${players[0]}"
  feed 0,0
  until_true 15 eval '[ "$(told "$card" side-back "$mark")" = 1 ]' ||
    fail "$card: the tone back on its right, and no side-back told: $(tail -n +$((mark + 1)) "$EVENTS")"
  [ "$(told_channel "$card" side-back)" = 2 ] ||
    fail "$card: the tone back on its right, and side-back told of channel $(told_channel "$card" side-back)"
  [ "$(told "$card" side-lost "$mark")" = 1 ] && [ "$(told "$card" silence "$mark")" = 0 ] ||
    fail "$card: its right lost once, and told $(tail -n +$((mark + 1)) "$EVENTS")"
  until_true 30 answers "count($alerts)" '' || fail "$card: the tone back on both sides, and still $(query "$alerts")"
  echo "$card with the tone on its left only: LevelMonitorSideLost for channel 2 and not LevelMonitorSilence; one side-lost and one side-back event, of channel 2"
}

# A monitor stopped and started again 45 s later: its file tells of its
# last level at the stop and of its first at the start, so that the pause
# Prometheus sees is the one there was, and raises no LevelMonitorStopped.
pause_for_45_seconds ()
{
  local unit=${UNITS[0]} count stopped printed started pause

  systemctl stop "$unit"
  stopped=$(last_level_time 0)
  printed=$(printed_at "$unit" '$')
  awk -v a="$stopped" -v b="$printed" 'BEGIN { exit !(a - b < 1 && b - a < 1) }' ||
    fail "$unit stopped: its file's last level is at $stopped, its journal's at $printed"
  count=$(levels "$unit" | wc -l)
  sleep 45
  systemctl start "$unit"
  until_true 30 eval '[ "$(levels "$unit" | wc -l)" -gt "$count" ]' ||
    fail "$unit: no level once started again"
  # Its first level, and not one after it, which only the next rewrite
  # tells of.
  printed=$(printed_at "$unit" $((count + 1)))
  until_true 5 eval '[ "$(last_level_time 0)" != "$stopped" ]' || true
  started=$(last_level_time 0)
  awk -v a="$started" -v b="$printed" 'BEGIN { exit !(a - b < 1 && b - a < 1) }' ||
    fail "$unit started again: its file's last level is at $started, its first line at $printed"
  pause=$(awk -v a="$started" -v b="$stopped" 'BEGIN { print a - b }')
  awk -v p="$pause" 'BEGIN { exit !(p < 60) }' || fail "$unit: a pause of $pause s, not under a minute"
  # Seen by a scrape and an evaluation.
  sleep 15
  answers 'count_over_time(ALERTS{alertname="LevelMonitorStopped",card="0"}[3m])' '' ||
    fail "$unit: a pause of $pause s raised LevelMonitorStopped"
  echo "$unit stopped and started again 45 s later: a pause of $pause s, its file exact at both ends, no LevelMonitorStopped"
}

# kill_12_seconds_in UNIT: kills UNIT's monitor with SIGKILL 12 s after
# each start's first level, until killed itself.
kill_12_seconds_in ()
{
  local unit=$1 count main
  while :; do
    count=$(levels "$unit" | wc -l)
    until_true 30 eval '[ "$(levels "$unit" | wc -l)" -gt "$count" ]' || return 1
    sleep 12
    main=$(systemctl show -p MainPID --value "$unit")
    [ "$main" -gt 0 ] && kill -KILL "$main"
  done
}

# A crash loop in dead air: the absent card's monitor, on snd-dummy's
# silence, from a file of its own begun afresh, killed 12 s after each
# start.  Each start goes on counting the silence, so LevelMonitorSilence
# fires, and LevelMonitorRestarting says why.
crash_loop_in_silence ()
{
  local killer mark alerts='ALERTS{alertname=~"LevelMonitorSilence|LevelMonitorRestarting",card="Studio"}'

  systemctl stop "$ABSENT"
  until_true 10 eval '[ "$(unit_state level-monitor-events@Studio.service)" = inactive/dead ]' ||
    fail "$ABSENT stopped, and its events are $(unit_state level-monitor-events@Studio.service)"
  rm -f /run/level-monitor/Studio/level.prom /var/lib/level-monitor-events/Studio.told
  mark=$(wc -l <"$EVENTS")
  until_true 30 answers "count($alerts)" '' || fail "$ABSENT: alerts of a file removed: $(query "$alerts")"
  systemctl start "$ABSENT"
  kill_12_seconds_in "$ABSENT" &
  killer=$!
  until_true 150 answers "count($alerts)" 2 ||
    fail "$ABSENT killed 12 s into each start, in silence: $(query "$alerts"), $(query 'level_monitor_starts_total{card="Studio"}')"
  until_true 30 eval '[ "$(told Studio silence "$mark")" -ge 1 ] && [ "$(told Studio restarting "$mark")" -ge 1 ]' ||
    fail "$ABSENT killed 12 s into each start, in silence: told $(tail -n +$((mark + 1)) "$EVENTS")"
  kill "$killer"
  wait "$killer" 2>/dev/null || true
  [ "$(told Studio silence "$mark")" = 1 ] && [ "$(told Studio restarting "$mark")" = 1 ] ||
    fail "$ABSENT killed 12 s into each start, in silence: told $(tail -n +$((mark + 1)) "$EVENTS")"
  echo "$ABSENT killed 12 s into each start, in silence: LevelMonitorSilence and LevelMonitorRestarting; one silence and one restarting event"
}

# The guest's half, run by its systemd once booted.
in_guest ()
{
  local unit state status bound period buffer duration mark
  declare -A before lines
  SHARED="level-monitor@$(systemd-escape "$SHARED_CARD").service"

  # A level of its own for each run, so that only a monitor reading the
  # card can print it: -30 to -6 dB.
  value=$((1000 + RANDOM % 15000))
  expected=$(awk -v v="$value" 'BEGIN { printf "%f", 20 * log(v / 32768) / log(10) }')
  echo "the tone: sample value $value, $expected dB"
  state=$(systemctl is-system-running --wait) ||
    fail "the guest's systemd is $state: $(systemctl --failed --plain --no-legend)"
  # A booted machine, which this root in a container may not be: no
  # policy-rc.d that keeps maintainer scripts from starting anything.  And
  # no manual index rebuilt over the shared folder at every dpkg, for
  # minutes.
  rm -f /usr/sbin/policy-rc.d /var/lib/man-db/auto-update
  untouched=$(packaged)
  dpkg_quietly -i /mnt/level-monitor.deb
  set_event_command
  until_true 15 has_device_units 0 Loopback ||
    fail "installed, and the card already there has no device unit by its number and id: $(systemctl list-units --all --plain --no-legend 'sys-subsystem-sound-*')"
  echo "installed: the card already there has its device units, by number and id"
  echo "$ID_RULE" >/etc/udev/rules.d/70-sound-card-ids.rules
  systemctl start "$REFUSED" 2>/dev/null || true
  until_true 15 eval '[ "$(unit_state "$REFUSED")" = failed/failed ]' ||
    fail "$REFUSED is $(unit_state "$REFUSED"), not failed"
  sleep 8
  status=$(systemctl status --no-pager "$REFUSED" || true)
  [ "$(unit_state "$REFUSED")" = failed/failed ] &&
    [ "$(systemctl show -p NRestarts --value "$REFUSED")" = 0 ] &&
    grep -q ': Invalid card identifier: x y$' <<<"$status" ||
    fail "$REFUSED, refused by the monitor, was started again or does not say why: $status"
  systemctl reset-failed "$REFUSED"
  echo "a name the monitor refuses: its instance failed once, saying why, and was not started again"
  start_prometheus
  play_tone
  systemctl enable --now "${UNITS[@]}" 2>/dev/null
  # A card enabled but absent, started as a boot starts it: with the
  # target that wants every enabled instance.
  systemctl enable "$ABSENT" 2>/dev/null
  systemctl start multi-user.target
  for unit in "${UNITS[@]}"; do
    until_true 30 heard_at_least "$unit" 1 || fail "$unit: no level of the tone"
  done
  for unit in "${UNITS[@]}"; do
    lines[$unit]=$(heard "$unit")
  done
  sleep 10
  for unit in "${UNITS[@]}"; do
    heard_at_least "$unit" $((${lines[$unit]} + 8)) || fail "$unit: fewer than 8 lines in 10 s"
  done
  check_process "${UNITS[0]}" /dev/snd/pcmC0D0c
  check_process "${UNITS[1]}" /dev/snd/pcmC0D0c
  check_process "$RESTARTED" /dev/snd/pcmC0D1c
  [ "$(periods 0 | sort | uniq -c | awk '{ print $1, $2, $3 }')" = "3 11025 44100" ] ||
    fail "the capture's periods and buffers (frames): $(periods 0)"
  echo "all three: the tone's level, as a user in the group audio with the card open, in periods of a quarter of a second"
  bound=$(journalctl --namespace=level-monitor -o cat | grep -m 1 '^System Journal' || true)
  [[ $bound =~ max\ 1(\.0)?G, ]] || fail "the levels' journal is not bounded to 1 GiB: $bound"
  echo "the levels' journald: $bound"
  until_true 60 answers 'count(level_monitor_peak_dbfs_count{channel="1"})' 3 ||
    fail "the node exporter serves no histogram of some cards: $(query level_monitor_peak_dbfs_count)
$(ls -l /var/lib/prometheus/node-exporter /run/level-monitor/*; systemctl status --no-pager prometheus-node-exporter; tail -n 5 /tmp/prometheus.log)"
  for card in 0 Loopback CARD=Loopback,DEV=1,SUBDEV=0; do
    check_histogram "$card"
  done
  echo "the node exporter serves all three histograms: every level of the tone in its bucket, 2 a second"

  events_in_silence
  one_side_lost
  pause_for_45_seconds
  share_with_encoder
  busy_card

  state=$(unit_state "$ABSENT")
  [ "$state" = inactive/dead ] || fail "$ABSENT is $state without its card"
  until_true 90 stopped_alert Studio || fail "no LevelMonitorStopped for the absent card: $(query ALERTS)"
  scrape_collectors textfile
  kill -HUP "$prometheus"
  until_true 60 answers 'ALERTS{alertname="LevelMonitorStoppedUnwatched",alertstate="firing",card="Studio"}' 1 ||
    fail "the node exporter without its time collector: no LevelMonitorStoppedUnwatched for the absent card: $(query ALERTS)"
  scrape_collectors 'textfile, time'
  kill -HUP "$prometheus"
  until_true 60 answers 'ALERTS{alertname="LevelMonitorStoppedUnwatched"}' '' ||
    fail "the time collector back, and LevelMonitorStoppedUnwatched still fires: $(query ALERTS)"
  echo "the node exporter without its time collector: LevelMonitorStoppedUnwatched for the absent card, until it was back"
  until_true 15 answers node_textfile_scrape_error 0 ||
    fail "the node exporter's textfile collector fails: $(query node_textfile_scrape_error)"
  # A model whose periods are 37 ms at most: the capture takes the nearest.
  insmod /mnt/snd-dummy.ko model=ice1712
  until_true 60 answers 'count(level_monitor_peak_dbfs_count{card="Studio",channel="1"} > 0)' 1 ||
    fail "$ABSENT: its card loaded, but no level counted: $(systemctl status --no-pager "$ABSENT" || true)"
  read -r period buffer < <(periods 1)
  [ "${period:-0}" -gt 0 ] && [ "$period" -lt 11025 ] ||
    fail "$ABSENT: its capture's period is ${period:-none} frames, not the driver's nearest"
  until_true 30 eval '[ "$(levels "$ABSENT" | grep -c -x -F -e -350.000000)" -ge 8 ]' ||
    fail "$ABSENT: fewer than 8 lines of its silence"
  ! levels "$ABSENT" | grep -x -E -e "$LEVEL" | grep -v -x -F -e -350.000000 ||
    fail "$ABSENT: a level other than its silence's"
  until_true 30 answers 'ALERTS{alertname="LevelMonitorStopped",card="Studio"}' '' ||
    fail "$ABSENT: its card measured, but LevelMonitorStopped still fires"
  [ "$(cat /proc/asound/card1/id)" = Studio ] ||
    fail "the udev rule did not pin snd-dummy's id: $(cat /proc/asound/cards)"
  echo "an enabled card absent at its start: LevelMonitorStopped, until the card was loaded and measured"
  echo "its id pinned to its port by the README's udev rule: level-monitor@Studio measured it"
  echo "its driver refused a quarter of a second: periods of $period frames, and its silence exactly -350.000000 dB"
  crash_loop_in_silence

  break_the_journal

  kill "${players[@]}"
  for unit in "${UNITS[@]}"; do
    lines[$unit]=$(heard "$unit")
    before[$unit]=$(others "$unit")
  done
  # The journal's break may have been a minute without levels too.
  mark=$(wc -l <"$EVENTS")
  echo snd_aloop.0 >/sys/bus/platform/drivers/snd_aloop/unbind
  sleep 30
  levels "$RESTARTED" | grep -q '^Error: ' || fail "$RESTARTED: no error"
  [ "$(systemctl show -p NRestarts --value "$RESTARTED")" -ge 2 ] ||
    fail "$RESTARTED was not restarted"
  for unit in "${UNITS[@]:0:2}"; do
    status=$(systemctl status --no-pager -n 20 "$unit" || true)
    grep -q ': Error: ' <<<"$status" || fail "systemctl status $unit shows no error: $status"
    state=$(unit_state "$unit")
    [ "$state" = failed/failed ] || fail "$unit is $state with its card gone"
    [ "$(others "$unit")" -le $((${before[$unit]} + 5)) ] ||
      fail "$unit: more than 5 lines about it with its card gone"
  done
  echo "card gone for 30 s: $RESTARTED restarted; the others failed, and systemctl status shows:"
  grep ': Error: ' <<<"$status"
  until_true 90 answers 'count(ALERTS{alertname="LevelMonitorStopped",alertstate="firing"})' 3 ||
    fail "no LevelMonitorStopped for each card: $(query ALERTS)"
  echo "and Prometheus fires LevelMonitorStopped for all three"
  until_true 15 eval '[ "$(told 0 stopped "$mark")" = 1 ]' || fail "card 0 gone: no stopped event: $(cat "$EVENTS")"
  duration=$(told_duration 0 stopped)
  # Told to a tenth: 65.5 is any time just past 65.5 s.
  awk -v d="$duration" 'BEGIN { exit !(d >= 65.5 && d <= 67) }' ||
    fail "card 0 gone: told stopped after $duration s without a level, not within 65.5 to 67"
  echo "and the stopped event of card 0, $duration s after its last level"

  # Disabled while failed, as an unplugged card is: no stop runs.
  systemctl disable --now "${UNITS[1]}" 2>/dev/null
  check_retired "${UNITS[1]}" Loopback
  echo "${UNITS[1]} disabled while failed: nothing of it left, and the node exporter reads its folder without error"

  echo snd_aloop.0 >/sys/bus/platform/drivers/snd_aloop/bind
  play_tone
  for unit in "${UNITS[0]}" "$RESTARTED"; do
    until_true 15 heard_at_least "$unit" $((${lines[$unit]} + 2)) ||
      fail "$unit: no level within 15 s of the card's return"
    ! levels "$unit" | grep -v -x -E -e "$LEVEL|Error: .*" ||
      fail "$unit wrote more than levels and errors"
    [ "$(journalctl --no-pager -q -o cat "_SYSTEMD_UNIT=$unit" | grep -c -x -E -e "$LEVEL" || true)" = 0 ] ||
      fail "$unit wrote levels into the system journal"
  done
  echo "card back: the levels again within 15 s; nothing but levels and errors, and none in the system journal"
  until_true 15 eval '[ "$(told 0 measured "$mark")" = 1 ]' || fail "card 0 back: no measured event: $(cat "$EVENTS")"
  [ "$(told 0 stopped "$mark")" = 1 ] || fail "card 0: told stopped $(told 0 stopped "$mark") times"
  echo "and one measured event of card 0, after $(told_duration 0 measured) s"

  until_true 30 answers 'ALERTS{alertname="LevelMonitorStopped",card="0"}' '' ||
    fail "${UNITS[0]}: measured again, but LevelMonitorStopped still fires"
  # Killed outside systemctl stop, which systemd takes for a clean exit
  # and does not restart: the card is still expected.
  kill -TERM "$(systemctl show -p MainPID --value "${UNITS[0]}")"
  until_true 90 stopped_alert 0 ||
    fail "${UNITS[0]} killed, and no LevelMonitorStopped: $(query ALERTS)"
  until_true 15 eval '[ "$(told 0 stopped "$mark")" = 2 ]' ||
    fail "${UNITS[0]} killed with SIGTERM: no stopped event: $(cat "$EVENTS")"
  echo "${UNITS[0]}'s monitor killed with SIGTERM: LevelMonitorStopped, and a stopped event"

  systemctl disable --now "${UNITS[0]}" 2>/dev/null
  state=$(systemctl show -p ActiveState --value "${UNITS[0]}")
  [ "$state" = inactive ] || fail "${UNITS[0]} is $state once stopped"
  check_retired "${UNITS[0]}" 0
  echo "${UNITS[0]} disabled and stopped: its card is gone from Prometheus"

  systemctl start "${UNITS[0]}"
  until_true 30 eval '[ -e /run/level-monitor/0/level.prom ]' ||
    fail "${UNITS[0]}, started but not enabled, has no metrics file"
  systemctl stop "${UNITS[0]}"
  check_retired "${UNITS[0]}" 0
  echo "${UNITS[0]} started and stopped, not enabled: its card retired once more"

  package_life
}

# The package upgraded with an instance running, one failed and one
# stopped; removed; purged; installed again.
package_life ()
{
  local main started

  echo snd_dummy.0 >/sys/bus/platform/drivers/snd_dummy/unbind
  until_true 30 eval '[ "$(unit_state "$ABSENT")" = failed/failed ]' ||
    fail "$ABSENT is $(unit_state "$ABSENT") with its card gone"
  main=$(systemctl show -p MainPID --value "$RESTARTED")
  started=$(systemctl show -p InactiveExitTimestampMonotonic --value "$ABSENT")
  lines[$RESTARTED]=$(heard "$RESTARTED")
  dpkg_quietly -i /mnt/level-monitor-higher.deb
  until_true 15 runs_installed "$RESTARTED" ||
    fail "upgraded, and $RESTARTED does not run the new binary: $(ls -l "/proc/$(systemctl show -p MainPID --value "$RESTARTED")/exe")"
  [ "$(systemctl show -p MainPID --value "$RESTARTED")" != "$main" ] ||
    fail "upgraded, and $RESTARTED was not started again"
  until_true 15 heard_at_least "$RESTARTED" $((${lines[$RESTARTED]} + 2)) ||
    fail "upgraded, and $RESTARTED prints no level"
  [ "$(unit_state "$ABSENT")" = failed/failed ] &&
    [ "$(systemctl show -p InactiveExitTimestampMonotonic --value "$ABSENT")" = "$started" ] ||
    fail "upgraded, and the failed $ABSENT was touched: $(unit_state "$ABSENT")"
  [ "$(unit_state "${UNITS[0]}")" = inactive/dead ] ||
    fail "upgraded, and the stopped ${UNITS[0]} is $(unit_state "${UNITS[0]}")"
  echo "upgraded: $RESTARTED runs the new binary; the failed $ABSENT and the stopped ${UNITS[0]} are as they were"

  dpkg_quietly -r level-monitor
  [ -z "$(running)" ] || fail "removed, and units still run: $(running)"
  ! pgrep -x level-monitor >/dev/null || fail "removed, and a monitor still runs"
  [ -z "$(packaged | grep -E '^/(run/level-monitor|var/lib/prometheus/)')" ] ||
    fail "removed, and metrics are left: $(packaged | grep -E '^/(run/level-monitor|var/lib/prometheus/)')"
  until_true 30 answers 'count({__name__=~"level_monitor_.*"}) or count(ALERTS{alertname=~"LevelMonitor.*"})' '' ||
    fail "removed, and Prometheus still has: $(query '{__name__=~"level_monitor_.*|ALERTS"}')"
  until_true 15 answers node_textfile_scrape_error 0 ||
    fail "removed, and the node exporter's textfile collector fails"
  echo "removed: nothing runs, no metrics, no link, no series and no alert"

  lines[$RESTARTED]=$(heard "$RESTARTED")
  dpkg_quietly -i /mnt/level-monitor.deb
  until_true 30 heard_at_least "$RESTARTED" $((${lines[$RESTARTED]} + 2)) ||
    fail "installed again after the removal, and the enabled $RESTARTED prints no level"
  until_true 60 answers 'count(level_monitor_peak_dbfs_count{card="CARD=Loopback,DEV=1,SUBDEV=0",channel="1"} > 0)' 1 ||
    fail "installed again after the removal, and $RESTARTED is not served: $(query level_monitor_peak_dbfs_count)"
  until_true 60 stopped_alert Studio ||
    fail "installed again after the removal, and the enabled $ABSENT, its card gone, is not expected: $(query ALERTS)"
  echo "installed again after the removal: the enabled $RESTARTED measures and is served, and $ABSENT, its card gone, is expected"

  dpkg_quietly -P level-monitor
  [ "$(packaged)" = "$untouched" ] ||
    fail "purged, and the package left: $(diff <(echo "$untouched") <(packaged) || true)"
  echo "purged: nothing of the package left"

  dpkg_quietly -i /mnt/level-monitor.deb
  [ -z "$(running)" ] && [ ! -e /run/level-monitor ] ||
    fail "installed again, and it started: $(running; ls /run/level-monitor 2>&1 || true)"
  systemctl enable --now "${UNITS[0]}" 2>/dev/null
  until_true 30 heard_at_least "${UNITS[0]}" 1 ||
    fail "installed again, and ${UNITS[0]} prints no level"
  until_true 60 answers 'count(level_monitor_peak_dbfs_count{channel="1"})' 1 ||
    fail "installed again, and the node exporter serves no histogram of ${UNITS[0]}"
  echo "installed again: nothing started until ${UNITS[0]} was enabled, which measures"

  # A systemctl that fails, as in a chroot or a half-booted system.
  dpkg_quietly -P level-monitor
  mkdir -p /tmp/failing
  printf '#!/bin/sh\nexit 1\n' >/tmp/failing/systemctl
  chmod +x /tmp/failing/systemctl
  (PATH=/tmp/failing:$PATH; dpkg_quietly -i /mnt/level-monitor.deb) ||
    fail "with a systemctl that fails, the install fails"
  [ "$(dpkg-query -W -f='${Status}' level-monitor)" = "install ok installed" ] ||
    fail "with a systemctl that fails, the package is $(dpkg-query -W -f='${Status}' level-monitor)"
  (PATH=/tmp/failing:$PATH; dpkg_quietly -P level-monitor) ||
    fail "with a systemctl that fails, the purge fails"
  echo "with a systemctl that fails: installed and purged all the same"
}

guest=
if [ "${1:-}" = --in-guest ]; then
  guest=yes
  set -E
  trap 'fail "$BASH_COMMAND failed"' ERR
  in_guest
  exit
fi

shared=$(mktemp -d)
trap 'rm -rf "$shared"' EXIT
cp "$1" "$shared/level-monitor.deb"
cp "$2" "$shared/tone"
# A package of a higher version, to upgrade to.
dpkg-deb -R "$1" "$shared/higher"
sed -i -E 's/^Version: .*/&+1/' "$shared/higher/DEBIAN/control"
dpkg-deb --root-owner-group -b "$shared/higher" "$shared/level-monitor-higher.deb" >/dev/null
rm -r "$shared/higher"
cp "$0" "$shared/service_test.sh"
tests/virtual_machine "$shared" bash service_test.sh --in-guest
