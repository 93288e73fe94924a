#!/usr/bin/env bash
# Installs the build into a fresh prefix and runs what was installed the way the systemd unit does:
# the installed program must serve the start page beside it and keep serving with its input at
# end of file. Then builds the Debian package and checks what it holds.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR  (uses port 8096)
set -euo pipefail
source_dir=$1
build_dir=$2
port=8096

fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
host_pid=
cleanup() {
  if [[ -n $host_pid ]]; then kill -KILL "$host_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [[ ! -f $source_dir/web/index.html ]]; then
  echo "web/index.html is missing: nothing to install as the start page" >&2
  exit 77
fi

# Installing.
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
[[ -x $prefix/bin/tovel-host ]] || fail "bin/tovel-host is not installed"
cmp "$source_dir/web/index.html" "$prefix/bin/index.html" || fail "bin/index.html differs from web/index.html"
unit=$prefix/lib/systemd/user/tovel-host.service
[[ -f $unit ]] || fail "the user unit is not installed"
for line in "ExecStart=$prefix/bin/tovel-host --no-console" "Restart=on-failure" \
  "WantedBy=graphical-session.target" "PartOf=graphical-session.target"; do
  grep -qxF "$line" "$unit" || fail "the unit lacks '$line':"$'\n'"$(cat "$unit")"
done

# The unit's command, run as systemd runs it: input at end of file, output to a file. A mark added
# to the installed page shows that the page served is the one beside the installed program.
echo "<!-- installed copy -->" >>"$prefix/bin/index.html"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
log=$work/host.log

# Starts a host command in the background with input at end of file, waits for its links, checks
# that GET / serves the installed page and that only a signal ends it.
serve_installed_page() {
  DISPLAY= "$@" </dev/null >"$log" 2>&1 &
  host_pid=$!
  local deadline=$((SECONDS + 30))
  until grep -q "Tovel App Local Link" "$log"; do
    kill -0 "$host_pid" 2>/dev/null || fail "the host exited early:"$'\n'"$(cat "$log")"
    ((SECONDS < deadline)) || fail "the host did not start:"$'\n'"$(cat "$log")"
    sleep 0.1
  done
  curl --silent --show-error --max-time 20 --output "$work/page" "http://127.0.0.1:$port/" ||
    fail "GET / failed"
  cmp "$prefix/bin/index.html" "$work/page" || fail "GET / did not serve the installed index.html"
  kill -0 "$host_pid" 2>/dev/null || fail "the host ended although only a signal should end it"
  grep -q "Input stream closed" "$log" && fail "the host read its input"
  kill -TERM "$host_pid"
  local status=0
  wait "$host_pid" || status=$?
  host_pid=
  ((status == 0)) || fail "the host ended with status $status on SIGTERM"
}

# shellcheck disable=SC2086 # the command line is split into words as systemd splits it
serve_installed_page $exec_start
# Started by its bare name through PATH from another directory, as a person would type it: the
# page is still the one beside the program.
cd "$work"
PATH="$prefix/bin:$PATH" serve_installed_page tovel-host --no-console
cd - >/dev/null

# The Debian package.
cpack --config "$build_dir/CPackConfig.cmake" -B "$work/package" >/dev/null
deb=$(echo "$work"/package/tovel-host_*.deb)
[[ -f $deb ]] || fail "no .deb was built"
listing=$(dpkg-deb -c "$deb")
for path in ./usr/bin/tovel-host ./usr/bin/index.html ./usr/lib/systemd/user/tovel-host.service; do
  grep -q " $path\$" <<<"$listing" || fail "the package lacks $path:"$'\n'"$listing"
done
[[ $(dpkg-deb -f "$deb" Package) == tovel-host ]] || fail "wrong package name"
grep -q "libx264" <<<"$(dpkg-deb -f "$deb" Depends)" || fail "the package's dependencies lack the libraries"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/user/tovel-host.service |
  grep -qxF "ExecStart=/usr/bin/tovel-host --no-console" || fail "the packaged unit does not start /usr/bin/tovel-host"

echo "install test passed"
