#!/bin/sh
# Runs the example event commands against real servers on this machine,
# started here and stopped by their process ids: an SMTP server and a web
# hook in Python, which save what they are sent, and a mosquitto broker.
# Usage: event_examples_test.sh EXAMPLES_DIR
# Exits 77 (skipped) without curl, mosquitto, its clients or python3.
set -eu
examples=$(cd "${1:?Usage: event_examples_test.sh EXAMPLES_DIR}" && pwd)
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
for tool in curl mosquitto_pub mosquitto_sub python3 "$mosquitto"; do
  command -v "$tool" >/dev/null || { echo "No $tool: skipped"; exit 77; }
done
dir=$(mktemp -d) pids=
trap 'kill $pids 2>/dev/null || :; rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
# Not the tester's own curl, mosquitto_pub or proxy settings.
export HOME="$dir" XDG_CONFIG_HOME="$dir" CURL_HOME="$dir" no_proxy='*' NO_PROXY='*'
card=Loopback_2 instance='studio "1" \' duration=12.5
topic="level-monitor/$instance/$card/event"
session="-h 127.0.0.1 -c -i event-examples-test -q 1"
cat > "$dir/server.py" <<'EOF'
# server.py smtp|http FILE: serves on a free port, which it prints, and
# saves in FILE the SMTP session, or the JSON posted.
import http.server, json, socketserver, sys
class Smtp(socketserver.StreamRequestHandler):
    def handle(self):
        say = lambda reply: self.wfile.write(reply.encode() + b"\r\n")
        say("220 test")
        with open(sys.argv[2], "wb") as saved:
            for line in self.rfile:
                saved.write(line)
                if line[:4].upper() == b"DATA":
                    say("354 go on")
                    bare = False  # a line feed alone, which servers may refuse
                    while (line := self.rfile.readline()) not in (b"", b".\r\n"):
                        saved.write(line)
                        bare = bare or not line.endswith(b"\r\n")
                    say("554 bare line feed" if bare else "250 saved")
                else:  # EHLO, HELO, MAIL, RCPT, QUIT
                    say("221 bye" if line[:4].upper() == b"QUIT" else "250 ok")
class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        open(sys.argv[2], "wb").write(body)
        json.loads(body)  # else no answer, which curl takes as failing
        self.send_response(204 if self.headers["Content-Type"] == "application/json" else 415)
        self.end_headers()
server = socketserver.TCPServer(("127.0.0.1", 0), Smtp if sys.argv[1] == "smtp" else Hook)
print(server.server_address[1], flush=True)
server.serve_forever()
EOF
free_port () { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# wait_for COMMAND...: tries it for 5 seconds.
wait_for () { for try in $(seq 50); do "$@" 2>/dev/null && return; sleep 0.1; done; return 1; }
free_port > "$dir/closed.port"
for server in smtp http; do
  python3 "$dir/server.py" $server "$dir/$server.out" > "$dir/$server.port" 2>/dev/null & pids="$pids $!"
  wait_for test -s "$dir/$server.port" || { echo "No $server server"; exit 1; }
done
# The broker's port may be taken meanwhile: then another.  The test's
# session, subscribed once the broker is up, keeps each message until read.
for try in 1 2 3; do
  port=$(free_port)
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' $port > "$dir/mosquitto.conf"
  "$mosquitto" -c "$dir/mosquitto.conf" 2> "$dir/mosquitto.log" & pids="$pids $!"
  wait_for grep -q ' running$\| Error: ' "$dir/mosquitto.log" || :
  grep -q ' running$' "$dir/mosquitto.log" && break
  kill $! 2>/dev/null || :
  [ $try != 3 ] || { cat "$dir/mosquitto.log"; exit 1; }
done
timeout 5 mosquitto_sub $session -p $port -t "$topic" -E
echo $port > "$dir/mqtt.port"
# Each row: the example, the server it is given (closed: nothing listens),
# a setting left out or added, the event, the exit status expected.
failures=0
while read -r example server setting event expected; do
  port=$(cat "$dir/$server.port") status=0 why=
  rm -f "$dir"/*.out
  (
    export MAIL_TO='ops@example.org oncall@example.org' MAIL_FROM=lm@example.org \
      MAIL_SERVER="smtp://127.0.0.1:$port" WEBHOOK_URL="http://127.0.0.1:$port/hook" \
      MQTT_HOST=127.0.0.1 MQTT_PORT="$port" LEVEL_MONITOR_EVENT="$event" \
      LEVEL_MONITOR_CARD="$card" LEVEL_MONITOR_INSTANCE="$instance" LEVEL_MONITOR_TIME=1700000000 \
      LEVEL_MONITOR_THRESHOLD=-40 LEVEL_MONITOR_DURATION="$duration" LEVEL_MONITOR_REMINDER=no
    case $setting in *=*) export "$setting" ;; *) unset "$setting" ;; esac
    exec "$examples/$example"
  ) < /dev/null > "$dir/output" 2>&1 || status=$?
  if [ $expected = 0 ]; then
    [ $server != mqtt ] || { mosquitto_sub $session -p "$port" -t "$topic" -C 1 -W 5 > "$dir/mqtt.out" &&
      python3 -m json.tool "$dir/mqtt.out" > /dev/null; } || why="no JSON published"
    for text in "$event" "$card" "$duration"; do
      grep -qF "$text" "$dir/$server.out" 2>/dev/null || why="no $text sent"
    done
  fi
  [ $expected != 2 ] || grep -qF "$example: $setting" "$dir/output" || why="no word of $setting"
  case $expected in fail) [ $status != 0 ] ;; *) [ $status = $expected ] ;; esac ||
    why="exit status $status, not $expected"
  [ -z "$why" ] || { failures=$((failures + 1)); echo "FAIL: $example $server $setting: $why"; cat "$dir/output"; }
done <<'EOF'
event-mail     smtp    none                 silence   0
event-mail     closed  none                 silence   fail
event-mail     smtp    MAIL_TO              silence   2
event-mail     smtp    MAIL_USER=lm:secret  silence   fail
event-webhook  http    none                 clipping  0
event-webhook  closed  none                 clipping  fail
event-webhook  http    WEBHOOK_URL          clipping  2
event-mqtt     mqtt    none                 measured  0
event-mqtt     closed  none                 measured  fail
event-mqtt     mqtt    MQTT_HOST            measured  2
EOF
echo "$failures rows failed"
[ $failures = 0 ]
