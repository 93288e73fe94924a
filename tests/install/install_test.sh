#!/usr/bin/env bash
# Installs the build into a fresh prefix, runs it as the systemd unit does (it serves the start
# page beside it and keeps serving with its input at end of file), and checks the Debian package.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR  (uses port 8096)
set -euo pipefail
source_dir=$1 build_dir=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d) host_pid=
trap '[[ -z $host_pid ]] || kill -KILL "$host_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
if [[ ! -f $source_dir/web/index.html ]]; then
  echo "web/index.html is missing: nothing to install as the start page" >&2
  exit 77
fi

# A tree installed under $1 to run from $2: the program, its start page beside it, the user unit.
check_tree() {
  [[ -x $1/bin/tovel-host ]] || fail "$1/bin/tovel-host is missing"
  cmp "$source_dir/web/index.html" "$1/bin/index.html" || fail "$1/bin/index.html is not web/index.html"
  for line in "ExecStart=$2/bin/tovel-host --no-console" Restart=on-failure \
    WantedBy=graphical-session.target PartOf=graphical-session.target; do
    grep -qxF "$line" "$1/lib/systemd/user/tovel-host.service" || fail "the unit in $1 lacks '$line'"
  done
}

prefix=$work/prefix log=$work/host.log
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
check_tree "$prefix" "$prefix"
echo "<!-- installed copy -->" >>"$prefix/bin/index.html"

# Runs a host command with input at end of file: GET / serves the installed page (marked), and
# only a signal ends it.
serve_installed_page() {
  # Emptied here, not only by the background job's redirection: that may come after the first
  # look, which would find the previous run's banner and ask a host that is not listening yet.
  : >"$log"
  DISPLAY='' "$@" </dev/null >"$log" 2>&1 &
  host_pid=$!
  local deadline=$((SECONDS + 30))
  until grep -q "Tovel App Local Link" "$log"; do
    { kill -0 "$host_pid" 2>/dev/null && ((SECONDS < deadline)); } || fail "the host did not start:"$'\n'"$(cat "$log")"
    sleep 0.1
  done
  curl -sS --max-time 20 -o "$work/page" http://127.0.0.1:8096/ || fail "GET / failed"
  cmp "$prefix/bin/index.html" "$work/page" || fail "GET / did not serve the installed index.html"
  kill -0 "$host_pid" 2>/dev/null || fail "the host ended although only a signal should end it"
  ! grep -q "Input stream closed" "$log" || fail "the host read its input"
  kill -TERM "$host_pid"
  wait "$host_pid" || fail "the host ended with status $? on SIGTERM"
  host_pid=
}

# The unit's command line, split into words as systemd splits it.
# shellcheck disable=SC2046
serve_installed_page $(sed -n 's/^ExecStart=//p' "$prefix/lib/systemd/user/tovel-host.service")
# By its bare name through PATH from another directory, as a person would type it.
cd "$work"
PATH="$prefix/bin:$PATH" serve_installed_page tovel-host --no-console
cd "$OLDPWD"

cpack --config "$build_dir/CPackConfig.cmake" -B "$work/package" >/dev/null
deb=$(echo "$work"/package/tovel-host_*.deb)
[[ -f $deb ]] || fail "no .deb was built"
dpkg-deb -x "$deb" "$work/root"
check_tree "$work/root/usr" /usr
[[ $(dpkg-deb -f "$deb" Package) == tovel-host ]] || fail "wrong package name"
[[ $(dpkg-deb -f "$deb" Depends) == *libx264* ]] || fail "the package's dependencies lack the libraries"
echo "install test passed"
