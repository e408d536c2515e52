#!/bin/sh
# Fails when man has anything to warn about in the manual page given.
warnings=$(MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null) || exit 1
[ -z "$warnings" ] || { printf '%s\n' "$warnings"; exit 1; }
