#!/usr/bin/env bash
# The steps of the tests under wine, one per subcommand. Every step runs
# in the private prefix named by WINEPREFIX (inside the build tree), with
# wine's own debug output off and no add-on installer or menu builder.
#
#   wine_run.sh setup   HOME_STATE            create the prefix once
#   wine_run.sh host    EXE [ARGS...]         run a program under wine
#   wine_run.sh port    EXE COMn PEER         run EXE port COMn on a pty
#   wine_run.sh cleanup HOME_STATE            stop this prefix's wineserver
set -euo pipefail

: "${WINEPREFIX:?WINEPREFIX must name the private prefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

ready_stamp="$WINEPREFIX/.draxo-ready"

die() {
  echo "wine_run.sh: $*" >&2
  exit 1
}

require_prefix() {
  [ -f "$ready_stamp" ] || die "no prepared prefix at $WINEPREFIX (the setup test did not run or failed)"
}

# Start this prefix's wineserver ourselves, detached from our output: one
# that wine starts on demand keeps the test's pipes open after the test
# ended, and prints its object dump into them when it exits. It stays up
# for 30 s without clients, or until cleanup stops it. The answer "already
# running" is fine.
start_server() {
  wineserver -p30 </dev/null >/dev/null 2>&1 || true
}

# Run a program under wine with its output going through a file: the wine
# system processes it starts (services, device manager) inherit its output
# and outlive it, and a test whose pipes they hold would not end until the
# wineserver does.
run_wine() {
  local out status=0
  out=$(mktemp -p "$PWD" wine-out.XXXXXX)
  wine "$@" </dev/null >"$out" 2>&1 || status=$?
  cat "$out"
  rm -f "$out"
  return "$status"
}

cmd=${1:-}
shift || true

case "$cmd" in
setup)
  home_state=${1:?HOME_STATE file}
  # Remember whether ~/.wine was there before us, so that cleanup can tell
  # whether wine wrote outside the build tree.
  if [ -e "$HOME/.wine" ]; then echo present >"$home_state"; else echo absent >"$home_state"; fi
  if [ -f "$ready_stamp" ]; then
    echo "prefix $WINEPREFIX exists"
    exit 0
  fi
  # A prefix without the stamp is a leftover of an interrupted setup.
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  echo "creating wine prefix $WINEPREFIX"
  wineboot -i
  wineserver -w
  [ -f "$WINEPREFIX/system.reg" ] || die "wineboot made no prefix"
  touch "$ready_stamp"
  ;;

host)
  require_prefix
  exe=${1:?EXE}
  shift
  [ -f "$exe" ] || die "$exe not found (build the win32 preset first)"
  start_server
  run_wine "$exe" "$@"
  ;;

port)
  require_prefix
  exe=${1:?EXE}
  port=${2:?COMn}
  peer_script=${3:?PEER}
  [ -f "$exe" ] || die "$exe not found (build the win32 preset first)"
  lower=$(printf '%s' "$port" | tr 'A-Z' 'a-z')
  start_server

  peer_out=$(mktemp -p "$PWD" peer.XXXXXX)
  "${PYTHON:-python3}" "$peer_script" >"$peer_out" &
  peer=$!
  trap 'kill "$peer" 2>/dev/null || true; wait "$peer" 2>/dev/null || true; rm -f "$peer_out"' EXIT

  slave=
  for _ in $(seq 100); do
    slave=$(head -n 1 "$peer_out" 2>/dev/null || true)
    [ -n "$slave" ] && break
    kill -0 "$peer" 2>/dev/null || die "the pty peer exited"
    sleep 0.1
  done
  [ -n "$slave" ] && [ -c "$slave" ] || die "the pty peer gave no slave path"
  echo "$port -> $slave"

  ln -sfn "$slave" "$WINEPREFIX/dosdevices/$lower"
  status=0
  run_wine "$exe" port "$port" || status=$?
  rm -f "$WINEPREFIX/dosdevices/$lower"
  exit "$status"
  ;;

cleanup)
  home_state=${1:?HOME_STATE file}
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  if [ "$(cat "$home_state" 2>/dev/null || true)" = absent ] && [ -e "$HOME/.wine" ]; then
    die "$HOME/.wine appeared while the tests under wine ran: wine ran outside the private prefix (these tests, or another wine user of this account)"
  fi
  ;;

*)
  die "unknown step '$cmd'"
  ;;
esac
