#!/usr/bin/env bash
# A private pcscd with simulated readers, for tests and the demo. It runs in
# a mount namespace of its own: its run directory is bound over /run/pcscd
# and an empty directory over the USB driver directory, so it never meets the
# system's pcscd or a real reader. Clients reach it through
# PCSCLITE_CSOCK_NAME, which the daemon itself ignores.
set -euo pipefail

usage() {
  cat >&2 <<'EOF'
usage: pcscd-private.sh start  [-d DIR] [--reader SPEC]... [--remote ADDR]... [--driver SO] [--ctl TOOL] [--debug]
       pcscd-private.sh run    -d DIR [--reader SPEC]... [--remote ADDR]... [--driver SO] [--debug]
       pcscd-private.sh stop   [-d DIR]
       pcscd-private.sh status [-d DIR]

start   starts pcscd in the background, waits until it lists every reader and
        prints the environment for clients (eval it); DIR defaults to a new
        directory in $TMPDIR or /tmp, removed again by stop.
run     the same pcscd in the foreground (this process becomes pcscd), for a
        caller that owns and reaps it.
stop    ends pcscd by its process id.  DIR defaults to $SIMREADER_DIR.

SPEC, one per reader (default: one reader with a T=1 card), comma-separated:
  name=TEXT        reader name (default "Sim Reader N")
  card=t0|t1|both|none   card present at start and its protocols (default t1)
  atr=HEX          the card's ATR instead of the default for its protocols
  pinpad=on|off    PIN pad (default off)
  pin=DIGITS       the card's PIN (default 1234)
  vendor=TEXT      the reader's vendor name attribute
  notify=on|off    off: pcscd polls for the card instead of being told
  atrattr=on|off   off: the reader offers no SCARD_ATTR_ATR_STRING (default on)
  pinblock=any|ascii8|iso2   the PIN layout the card's VERIFY requires (default any)

--remote ADDR adds a "Velmora Remote Reader" (velmora-reader, from
$VELMORA_READER_DRIVER or the build) listening on ADDR (its DEVICENAME, e.g.
127.0.0.1:9688); with --remote and no --reader there is no simulated reader.
EOF
  exit 2
}

fail() { echo "pcscd-private.sh: $*" >&2; exit 1; }

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${SIMREADER_DIR:-}
driver=${SIMREADER_DRIVER:-$root/build/linux/tools/simreader/libsimreader.so}
ctl=""
remote_driver=${VELMORA_READER_DRIVER:-$root/build/linux/driver/libifdvelmora.so}
debug=()   # pcscd's own options for a detailed log
specs=()
remotes=()

parse_options() {
  while (($#)); do
    case $1 in
      -d) dir=$2; shift ;;
      --reader) specs+=("$2"); shift ;;
      --remote) remotes+=("$2"); shift ;;
      --driver) driver=$2; shift ;;
      --ctl) ctl=$2; shift ;;
      --debug) debug=(--debug) ;;
      *) usage ;;
    esac
    shift
  done
  ((${#specs[@]} + ${#remotes[@]})) || specs=("card=t1")
  [ -n "$ctl" ] || ctl=$(dirname "$driver")/simreader-ctl
}

# pcscd's reader.conf parser rejects some characters (and then exits with a
# misleading message): keep every path it sees plain.
check_path() {
  [[ $1 =~ ^[A-Za-z0-9._/-]+$ ]] || fail "path '$1' has characters pcscd's reader.conf cannot take"
}

# Writes one reader's settings file (control commands, one a line).
reader_settings() {
  local spec=$1 key value card=t1 pinpad=off
  local IFS=,
  for field in $spec; do
    key=${field%%=*} value=${field#*=}
    case $key in
      name) ;;
      card) card=$value ;;
      atr) echo "ATR $value" ;;
      pinpad) pinpad=$value ;;
      pin) echo "PIN $value" ;;
      vendor) echo "VENDOR $value" ;;
      notify) echo "NOTIFY $value" ;;
      atrattr) echo "ATRATTR $value" ;;
      pinblock) echo "PINBLOCK $value" ;;
      *) fail "unknown reader setting '$key'" ;;
    esac
  done
  echo "PINPAD $pinpad"
  case $card in
    none) ;;
    t0|t1|both) [[ $spec == *atr=* ]] || echo "CARD $card"; echo "INSERT" ;;
    *) fail "card=$card: t0, t1, both or none" ;;
  esac
}

reader_name() {
  local spec=$1 name="Sim Reader $2"
  local IFS=,
  for field in $spec; do
    [[ $field == name=* ]] && name=${field#name=}
  done
  [[ $name =~ ^[A-Za-z0-9\ ._-]+$ ]] || fail "reader name '$name': letters, digits, blank, . _ - only"
  echo "$name"
}

# Lays out DIR: run/ (over /run/pcscd), runroot/ (over /run if the host
# has no /run/pcscd), empty/ (over the USB drivers),
# reader.conf.d/, the driver, and per reader its settings file readerN.conf
# (pcscd wants DEVICENAME to exist; the driver puts readerN.sock beside it).
prepare() {
  [ -n "$dir" ] || fail "no directory (-d DIR)"
  [ -f "$driver" ] || fail "no driver at $driver (build it first)"
  check_path "$dir"
  mkdir -p "$dir/run" "$dir/runroot" "$dir/empty" "$dir/reader.conf.d"
  cp "$driver" "$dir/libsimreader.so"
  : >"$dir/readers"
  local conf="$dir/reader.conf.d/simreader" i name
  : >"$conf"
  for i in "${!specs[@]}"; do
    name=$(reader_name "${specs[$i]}" "$i")
    reader_settings "${specs[$i]}" >"$dir/reader$i.conf"
    printf 'FRIENDLYNAME "%s"\nDEVICENAME %s/reader%d.conf\nLIBPATH %s/libsimreader.so\n\n' \
      "$name" "$dir" "$i" "$dir" >>"$conf"
    echo "$name" >>"$dir/readers"
  done
  if ((${#remotes[@]})); then
    [ -f "$remote_driver" ] || fail "no velmora-reader driver at $remote_driver (build it first)"
    cp "$remote_driver" "$dir/libifdvelmora.so"
    conf="$dir/reader.conf.d/velmora-reader"
    : >"$conf"
    for i in "${!remotes[@]}"; do
      printf 'FRIENDLYNAME "Velmora Remote Reader"\nDEVICENAME "%s"\nLIBPATH %s/libifdvelmora.so\n\n' \
        "${remotes[$i]}" "$dir" >>"$conf"
      echo "Velmora Remote Reader" >>"$dir/readers"
    done
  fi
  printf "export PCSCLITE_CSOCK_NAME='%s'\nexport SIMREADER_DIR='%s'\n" "$dir/run/pcscd.comm" "$dir" >"$dir/env"
}

usb_drivers() {
  pcscd --version | sed -n 's/.*usbdropdir=\([^ ]*\).*/\1/p'
}

# Becomes pcscd: same process id from here on. Without root the namespace
# comes with a user namespace in which the caller is root. Where the host has
# no /run/pcscd, a private /run is laid over it rather than creating one.
launch() {
  local usb userns=()
  usb=$(usb_drivers)
  [ "$(id -u)" -eq 0 ] || userns=(--map-root-user)
  echo $$ >"$dir/pcscd.pid"
  exec unshare "${userns[@]}" --mount --propagation private -- /bin/sh -ec '
    conf=$1 run=$2 runroot=$3 usb=$4 empty=$5
    shift 5
    if [ ! -d /run/pcscd ]; then
      mount --bind "$runroot" /run
      mkdir -p /run/pcscd
    fi
    mount --bind "$run" /run/pcscd
    [ ! -d "$usb" ] || mount --bind "$empty" "$usb"
    exec pcscd --foreground --config "$conf" "$@"
  ' sh "$dir/reader.conf.d" "$dir/run" "$dir/runroot" "$usb" "$dir/empty" "${debug[@]}" ${debug:+--apdu}
}

# Whether a process lives; an exited one whose parent does not reap it
# counts as gone.
alive() {
  [ -n "$1" ] && [ -e "/proc/$1" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# The running pcscd's process id, checked to be pcscd still.
pcscd_pid() {
  local pid
  pid=$(cat "$dir/pcscd.pid" 2>/dev/null) || return 1
  [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = pcscd ] && alive "$pid" || return 1
  echo "$pid"
}

# Lists readers until pcscd (process $1) has all of them.
wait_ready() {
  local pid=$1 expected listed tries=0
  expected=$(wc -l <"$dir/readers")
  while ((tries++ < 300)); do
    if ! alive "$pid"; then
      fail "pcscd ended during start:"$'\n'"$(cat "$dir/pcscd.log")"
    fi
    listed=$(PCSCLITE_CSOCK_NAME="$dir/run/pcscd.comm" "$ctl" --readers 2>/dev/null | wc -l) || true
    ((listed < expected)) || return 0
    sleep 0.1
  done
  fail "pcscd did not list its readers; log in $dir/pcscd.log"
}

# A start that failed leaves no pcscd and no directory of its own behind.
abandon_start() {
  if [ -n "${launched:-}" ] && alive "$launched"; then kill -KILL "$launched"; fi
  if [ -f "$dir/.remove-on-stop" ]; then rm -rf "$dir"; fi
}

start() {
  [ -x "$ctl" ] || fail "no control tool at $ctl (build it first)"
  if [ -z "$dir" ]; then
    dir=$(mktemp -d "${TMPDIR:-/tmp}/velmora-pcscd.XXXXXX")
    touch "$dir/.remove-on-stop"
  fi
  trap abandon_start EXIT
  prepare
  local args=(run -d "$dir" --driver "$driver" "${debug[@]}")
  for s in "${specs[@]}"; do args+=(--reader "$s"); done
  for s in "${remotes[@]}"; do args+=(--remote "$s"); done
  setsid "$0" "${args[@]}" </dev/null >"$dir/pcscd.log" 2>&1 &
  launched=$!
  wait_ready "$launched"
  trap - EXIT
  cat "$dir/env"
}

stop() {
  [ -n "$dir" ] || fail "no directory (-d DIR or SIMREADER_DIR)"
  local pid tries=0
  if pid=$(pcscd_pid); then
    kill -TERM "$pid"
    while pcscd_pid >/dev/null && ((tries++ < 100)); do sleep 0.1; done
    if pcscd_pid >/dev/null; then kill -KILL "$pid"; fi
  fi
  if [ -f "$dir/.remove-on-stop" ]; then rm -rf "$dir"; fi
}

status() {
  [ -n "$dir" ] || fail "no directory (-d DIR or SIMREADER_DIR)"
  local pid
  pid=$(pcscd_pid) || { echo "stopped"; return 1; }
  echo "running, pid $pid"
  cat "$dir/env"
  [ ! -x "$ctl" ] || PCSCLITE_CSOCK_NAME="$dir/run/pcscd.comm" "$ctl" --readers
}

(($#)) || usage
command=$1
shift
parse_options "$@"
case $command in
  start) start ;;
  run) prepare; launch ;;
  stop) stop ;;
  status) status ;;
  *) usage ;;
esac
