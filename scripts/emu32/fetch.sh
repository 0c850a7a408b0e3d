# Fetching from the machine's Debian sources, a few tries each: a mirror in
# the middle of a sync answers "File has unexpected size" or 404 for a while,
# and a package that an old index names may be gone once the mirror moved on.
# Sourced by setup.sh (APT_CONFIG set); KV_FETCH_TRIES and KV_FETCH_PAUSE
# (seconds, times the try) tune it.
fetch_tries=${KV_FETCH_TRIES:-3}
fetch_pause=${KV_FETCH_PAUSE:-5}

fetch_say() { echo "emu32: $*" >&2; }

# What a log of apt's names as not fetched, one a line.
fetch_failures() { grep -oE '(Failed to fetch|Unable to locate package) [^ ]+' "$1" | awk '{print $NF}' | sort -u; }

# update_indexes: apt-get update until every index came. Returns 1 when some
# are still missing after the tries, having named them: the caller may go on
# with those fetched.
update_indexes() {
  local try log; log=$(mktemp)
  for ((try = 1; ; try++)); do
    if apt-get update -qq >"$log" 2>&1 && ! grep -q 'Failed to fetch' "$log"; then
      rm -f "$log"; return 0
    fi
    ((try < fetch_tries)) || break
    fetch_say "package indexes: try $try of $fetch_tries failed; again in $((fetch_pause * try)) s"
    sleep $((fetch_pause * try))
  done
  fetch_say "package indexes not fetched after $fetch_tries tries:"
  fetch_failures "$log" | sed 's/^/emu32:   /' >&2
  grep -E '^(E|W):' "$log" | grep -v 'Failed to fetch' | sed 's/^/emu32:   /' >&2
  rm -f "$log"; return 1
}

# fetch WHAT COMMAND...: runs an apt command that downloads WHAT, with the
# indexes fetched again between the tries; when all fail, names what could
# not be fetched and returns 1.
fetch() {
  local what=$1 try log; shift; log=$(mktemp)
  for ((try = 1; ; try++)); do
    if "$@" >"$log" 2>&1; then rm -f "$log"; return 0; fi
    ((try < fetch_tries)) || break
    fetch_say "$what: try $try of $fetch_tries failed; again in $((fetch_pause * try)) s"
    sleep $((fetch_pause * try))
    apt-get update -qq >/dev/null 2>&1 || true  # its failures show in the next try's
  done
  fetch_say "could not fetch $what after $fetch_tries tries:"
  { fetch_failures "$log"; grep -E '^E:' "$log" | grep -v 'Failed to fetch'; } | sed 's/^/emu32:   /' >&2
  rm -f "$log"; return 1
}
