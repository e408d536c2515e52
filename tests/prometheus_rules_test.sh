#!/bin/sh
# Tests the shipped alerts with promtool on the scenarios in
# prometheus_rules_scenarios, written out as promtool's test files, one
# per evaluation interval: promtool takes that interval per file.
# Usage: prometheus_rules_test.sh [PROMTOOL [RULES]]
set -eu
promtool=${1:-promtool}
here=$(cd "$(dirname "$0")" && pwd)
rules=${2:-$here/../packaging/prometheus-rules.yml}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
cp "$rules" "$dir/rules.yml"

awk -v dir="$dir" '
function fail(why) { print FILENAME ":" FNR ": " why > "/dev/stderr"; bad = 1; exit 1 }
function alert(a, sev, src, text, each) { severity[a] = sev; source[a] = src; summary[a] = text; per[a] = each }
BEGIN {
  # The short names, and the bound each stands for.
  name["silence"] = "level_monitor_at_or_below_seconds"; bound["silence"] = "-40"
  name["last"] = "level_monitor_last_level_timestamp_seconds"
  name["time"] = "node_time_seconds"; machine["time"] = 1
  name["up"] = "up"; machine["up"] = 1
  name["count"] = "level_monitor_peak_dbfs_count"
  name["fullscale"] = "level_monitor_peak_dbfs_bucket"; bound["fullscale"] = "-0.0005"
  name["starts"] = "level_monitor_starts_total"
  # Each alert takes its labels from the series named, once per card or,
  # marked 1, once per channel; @ is its le, # its channel.
  alert("LevelMonitorSilence", "critical", "silence", "silent, no level above @ dBFS")
  alert("LevelMonitorSideLost", "critical", "silence", "channel # silent, no level above @ dBFS, while another is not", 1)
  alert("LevelMonitorSilenceUnwatched", "warning", "count", "not watched for silence; the silence threshold is not a bound of the histogram, or level-monitor is older than 1.5.0")
  alert("LevelMonitorClipping", "warning", "count", "a level at full scale on channel #", 1)
  alert("LevelMonitorStopped", "critical", "last", "no level measured for a minute")
  alert("LevelMonitorStoppedUnwatched", "warning", "last", "not watched for a stopped monitor; its node exporter serves no node_time_seconds")
  alert("LevelMonitorRestarting", "warning", "starts", "its monitor keeps failing and being started again")
}
function flush(  f) {
  if (title == "") return
  f = dir "/eval_" eval ".yml"
  if (!(f in begun)) printf "rule_files: [rules.yml]\nevaluation_interval: %s\ntests:\n", eval > f
  begun[f] = 1
  printf "  - name: \"%s\"\n    interval: %s\n    input_series:\n%s    alert_rule_test:\n%s", title, every, series, checks > f
  title = series = checks = ""
  split("", sets); split("", n)
}
/^#/ || NF == 0 { next }
$1 == "test" { flush(); eval = $2; every = $3; $1 = $2 = $3 = ""; sub(/^ +/, ""); title = $0; next }
title == "" { fail("no test above") }
$1 == "at" {
  if (!($3 in severity)) fail("no alert " $3)
  checks = checks "      - eval_time: " $2 "\n        alertname: " $3 "\n        exp_alerts:" (NF < 4 ? " []" : "") "\n"
  split("", seen)
  for (i = 4; i <= NF; i++) {
    card = $i; ch = ""
    if ((p = index(card, ":")) > 0) { ch = substr(card, p + 1); card = substr(card, 1, p - 1) }
    if (ch != "" && !per[$3]) fail($3 " is on a card, not a channel")
    k = source[$3] SUBSEP card
    if (!(k in n)) fail("no " source[$3] " series for card " card)
    found = 0
    for (j = 1; j <= n[k]; j++) {
      split(sets[k, j], l, SUBSEP)
      if (ch != "" && l[4] != ch) continue
      found = 1
      if (!per[$3] && (l[1] in seen)) continue
      seen[l[1]] = 1
      text = summary[$3]; sub(/@/, l[3], text)
      if (l[4] == "") sub(/ on channel #/, "", text)
      sub(/#/, l[4], text)
      checks = checks "          - exp_labels: {" l[1] (per[$3] && l[4] != "" ? "channel: \"" l[4] "\", " : "") \
        "severity: \"" severity[$3] "\"}\n" \
        "            exp_annotations: {summary: \"Card " card " of " l[2] ": " text "\"}\n"
    }
    if (!found) fail("no " source[$3] " series for channel " ch " of card " card)
  }
  next
}
{
  if (!($1 in name)) fail("no series " $1)
  i = 2; card = machine[$1] ? "" : $(i++)
  split("", label); keys = "instance job card channel le"
  label["instance"] = "studio"; label["job"] = "node"; label["card"] = card; label["le"] = bound[$1]
  label["channel"] = ""
  if ($i ~ /=/) {
    m = split($(i++), given, ",")
    for (j = 1; j <= m; j++) {
      p = index(given[j], "="); key = substr(given[j], 1, p - 1)
      if (!(key in label)) keys = keys " " key
      label[key] = substr(given[j], p + 1)
    }
  }
  m = split(keys, order, " "); inner = flow = ""
  for (j = 1; j <= m; j++) {
    if (label[order[j]] == "") continue
    inner = inner (inner == "" ? "" : ",") order[j] "=\"" label[order[j]] "\""
    # An alert on a card has no channel; one on a channel adds it.
    if (order[j] != "channel") flow = flow order[j] ": \"" label[order[j]] "\", "
  }
  values = ""
  for (; i <= NF; i++) values = values (values == "" ? "" : " ") $i
  if (values == "") fail("no values")
  series = series "      - series: '\''" name[$1] "{" inner "}'\''\n        values: \"" values "\"\n"
  if (card != "") { k = $1 SUBSEP card; sets[k, ++n[k]] = flow SUBSEP label["instance"] SUBSEP label["le"] SUBSEP label["channel"] }
}
END { if (!bad) flush() }
' "$here/prometheus_rules_scenarios"

"$promtool" test rules "$dir"/eval_*.yml
