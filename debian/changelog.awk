# Turns the release notes (NEWS.md) into a Debian changelog on stdout,
# signed by the package's maintainer; run in the source's folder:
#   awk -f debian/changelog.awk NEWS.md >debian/changelog
# A release is "## VERSION (YYYY-MM-DD HH:MM UTC)"; each "- " item becomes
# a "  * " entry, and its lines indented by two spaces stay with it.

BEGIN {
  while ((getline line <"debian/control") > 0)
    if (line ~ /^Maintainer: /)
      maintainer = substr(line, 13)
}

function close_release ()
{
  if (version != "")
    printf "\n -- %s  %s\n", maintainer, stamp
}

/^## / {
  close_release()
  if (version != "")
    print ""
  version = $2
  date = substr($0, index($0, "(") + 1)
  sub(/\)$/, "", date)
  command = "date -u -R -d '" date "'"
  command | getline stamp
  close(command)
  printf "level-monitor (%s) unstable; urgency=medium\n\n", version
  next
}

version != "" && /^- / { print "  * " substr($0, 3); next }
version != "" && /^  [^ ]/ { print "    " substr($0, 3); next }

END { close_release() }
