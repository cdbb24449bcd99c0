#!/usr/bin/env bash
# The world the Windows tests run in under wine64 (the win64 preset):
#
#   wine-harness.sh start STATE_DIR ZERVON_SIM KEEPER   make it (CTest set-up)
#   wine-harness.sh stop STATE_DIR                      end it (CTest clean-up)
#
# start makes a fresh wine prefix in STATE_DIR/prefix, starts an X display
# (Xvfb: the library's hidden device-change window needs one) and one
# wineserver, boots the prefix, keeps wine's desktop up with KEEPER (see
# DesktopKeeper.cpp), starts three virtual instruments (the host
# program ZERVON_SIM, each steered through its control FIFO), links each
# one's pseudo-terminal under its COM name and its USB interface path in
# dosdevices, and imports their USB device entries into the registry, where
# SetupAPI lists them:
#
#   COM3  interface ...#zrv3#...  a foreign device (another product marker;
#                                 serial VRX2107-030333 should it be taken)
#   COM5  interface ...#zrv5#...  the instrument, serial VRX2107-030300
#   COM7  interface ...#zrv7#...  a second instrument, serial VRX2107-030777
#
# For each COMn it leaves in STATE_DIR: simN.ctl (the control FIFO), simN.out
# (the terminal's path, then the control answers), plugN.reg and unplugN.reg
# (the device's registry entries made and removed), and env, the variables
# wine-run.sh runs the test programs with. (No file is named comN.*: Windows
# programs reach the port COMn under that name, whatever the extension.)
# Every process it starts is recorded in STATE_DIR/pids; stop ends them by
# those process IDs (wine's own processes through their server) and removes
# the prefix.
# A watchdog ends everything when the process that ran start (CTest) is gone
# or after ZERVON_WINE_MAX_SECONDS (default 1200), so nothing outlives an
# interrupted run; start also clears what an earlier run left in STATE_DIR.
#
# Exit status of start: 0 ready; 77 (skip) when wine64 or Xvfb is not
# installed, except on CI (CI set), where that is a failure (1).
set -uo pipefail

WINE64=${ZERVON_WINE64:-/usr/lib/wine/wine64}
WINESERVER64=${ZERVON_WINESERVER64:-/usr/lib/wine/wineserver64}
GUID='{a5dcbf10-6530-11d2-901f-00c04fb951ed}'
PORTS=(3 5 7)

say() { echo "wine-harness: $*" >&2; }

# Every instrument's terminal starts raw (--raw): it stands in for a Windows
# COM port, which has no line discipline to configure, and the library sets
# only the port's time-outs and queue sizes (no line settings that wine could
# turn into terminal settings).
sim_options() {
  echo --raw
  case "$1" in
    3) echo --foreign --serial 21,7,3,333 ;;
    7) echo --serial 21,7,3,777 ;;
    *) ;;
  esac
}

# ---- process bookkeeping ----

# record NAME PID PROGRAM: appended to the pid list with the program the
# process runs, so that a stale entry never ends an unrelated process.
record() {
  echo "$1 $2 $(readlink -f "$3")" >>"$STATE/pids"
}

# alive PID EXE: the process runs and still runs that program.
alive() {
  [ -e "/proc/$1" ] && [ "$(readlink "/proc/$1/exe" 2>/dev/null)" = "$2" ]
}

# end PID EXE: SIGTERM, up to 5 s, then SIGKILL.
end_process() {
  local pid=$1 exe=$2 i
  alive "$pid" "$exe" || return 0
  kill -TERM "$pid" 2>/dev/null
  for i in $(seq 50); do
    alive "$pid" "$exe" || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
}

stop() {
  [ -d "$STATE" ] || return 0
  local name pid exe
  if [ -f "$STATE/pids" ]; then
    # The watchdog first (unless it is the caller), then wine: its server
    # ends every wine process of the prefix, then itself.
    while read -r name pid exe; do
      [ "$name" = watchdog ] && [ "$pid" != "${WATCHDOG_SELF:-}" ] && end_process "$pid" "$exe"
    done <"$STATE/pids"
    while read -r name pid exe; do
      if [ "$name" = wineserver ] && alive "$pid" "$exe"; then
        WINEPREFIX="$STATE/prefix" timeout 20 "$WINESERVER64" -k >/dev/null 2>&1
        end_process "$pid" "$exe"
      fi
    done <"$STATE/pids"
    while read -r name pid exe; do
      case "$name" in watchdog | wineserver) ;; *) end_process "$pid" "$exe" ;; esac
    done <"$STATE/pids"
    rm -f "$STATE/pids"
  fi
  server_dir
  if [ -n "$SERVER_TOP" ]; then rm -rf "$SERVER_TOP"; elif [ -n "$SERVER_DIR" ]; then rm -rf "$SERVER_DIR"; fi
  rm -rf "$STATE/prefix" "$STATE"/*.ctl "$STATE/env"
}

# The wineserver's socket directory for the prefix, named after the
# prefix's device and inode numbers, under a private directory whose name
# Debian's wine keeps in the prefix (elsewhere /tmp/.wine-UID); empty while
# the server has not made it. SERVER_TOP: that private directory, or empty.
server_dir() {
  SERVER_DIR='' SERVER_TOP=''
  [ -d "$STATE/prefix" ] || return 0
  local base=".wine-$(id -u)"
  if [ -s "$STATE/prefix/wineserver" ]; then
    base=$(head -c 100 "$STATE/prefix/wineserver")
    case "$base" in wine-?*) SERVER_TOP="/tmp/$base" ;; *) return 0 ;; esac
  fi
  SERVER_DIR=$(printf '/tmp/%s/server-%x-%x' "$base" \
    "$(stat -c %d "$STATE/prefix")" "$(stat -c %i "$STATE/prefix")")
}

# ---- registry entries ----

# A REG_MULTI_SZ value of one string. The file is not UTF-16, so regedit
# reads hex(7) data as 8-bit characters and widens them itself.
multi_sz() {
  printf '%s' "$1" | od -An -v -tx1 |
    tr -s ' \n' ',' | sed 's/^,//; s/,$//; s/$/,00,00/'
}

write_reg_files() {
  local n=$1 inst="ZRV$1" low="zrv$1"
  local enum="HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_04D8&PID_000A\\$inst"
  local class="HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\$GUID\\##?#USB#VID_04D8&PID_000A#$inst#$GUID"
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[%s]\r\n' "$enum"
    printf '"FriendlyName"="USB Serial Device (COM%s)"\r\n' "$n"
    printf '"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"\r\n'
    printf '"HardwareID"=hex(7):%s\r\n\r\n' "$(multi_sz 'USB\VID_04D8&PID_000A')"
    printf '[%s]\r\n' "$class"
    printf '"DeviceInstance"="USB\\\\VID_04D8&PID_000A\\\\%s"\r\n\r\n' "$inst"
    printf '[%s\\#]\r\n' "$class"
    printf '"SymbolicLink"="\\\\\\\\?\\\\usb#vid_04d8&pid_000a#%s#%s"\r\n\r\n' "$low" "$GUID"
    printf '[%s\\#\\Control]\r\n' "$class"
    printf '"Linked"=dword:00000001\r\n\r\n'
  } >"$STATE/plug$n.reg"
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[-%s]\r\n\r\n' "$enum"
    printf '[-%s]\r\n\r\n' "$class"
  } >"$STATE/unplug$n.reg"
}

# ---- start ----

skip() {
  say "$*"
  if [ -n "${CI:-}" ]; then
    say "CI needs the Windows suite: failing"
    exit 1
  fi
  say "skipped"
  exit 77
}

# fail MESSAGE [LOG]: ends what was started and exits 1.
fail() {
  say "$1"
  [ -n "${2:-}" ] && tail -20 "$2" >&2
  stop
  exit 1
}

wait_for_file_line() {  # FILE SECONDS: until FILE has a first line
  local i
  for i in $(seq $(($2 * 10))); do
    [ -s "$1" ] && head -1 "$1" | grep -q . && return 0
    sleep 0.1
  done
  return 1
}

start() {
  local sim=$1 keeper=$2
  [ -x "$WINE64" ] || skip "wine64 is not installed ($WINE64; Debian package wine64)"
  [ -x "$WINESERVER64" ] || skip "wineserver64 is not installed ($WINESERVER64)"
  command -v Xvfb >/dev/null || skip "Xvfb is not installed (Debian package xvfb)"
  [ -x "$sim" ] || fail "no virtual instrument program at $sim"
  [ -f "$keeper" ] || fail "no desktop keeper program at $keeper"

  stop  # whatever an interrupted earlier run left
  mkdir -p "$STATE/prefix" "$STATE/logs"
  rm -f "$STATE"/*.out "$STATE"/*.reg "$STATE"/logs/*

  # The watchdog: ends everything once the caller is gone.
  setsid "$0" watch "$STATE" "$PPID" </dev/null >/dev/null 2>&1 &
  record watchdog $! "$BASH"

  Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$STATE/display" \
    </dev/null >"$STATE/logs/xvfb.log" 2>&1 &
  record xvfb $! "$(command -v Xvfb)"
  wait_for_file_line "$STATE/display" 20 || fail "Xvfb did not start" "$STATE/logs/xvfb.log"

  export WINEPREFIX="$STATE/prefix" WINEARCH=win64 WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=":$(head -1 "$STATE/display")"
  export WINESERVER="$WINESERVER64" WINELOADER="$WINE64"
  {
    for v in WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES DISPLAY WINESERVER WINELOADER; do
      printf 'export %s=%q\n' "$v" "${!v}"
    done
    printf 'ZERVON_WINE64=%q\n' "$WINE64"
  } >"$STATE/env.new"

  # One persistent server in the foreground, so its process ID is ours; the
  # prefix is used only once its socket is there (a program started earlier
  # would start a server of its own).
  "$WINESERVER64" -f -p </dev/null >"$STATE/logs/wineserver.log" 2>&1 &
  record wineserver $! "$WINESERVER64"
  for _ in $(seq 100); do
    server_dir
    [ -n "$SERVER_DIR" ] && [ -S "$SERVER_DIR/socket" ] && break
    sleep 0.1
  done
  [ -S "$SERVER_DIR/socket" ] || fail "wineserver did not start" "$STATE/logs/wineserver.log"

  local t0=$SECONDS
  timeout 150 "$WINE64" wineboot -i </dev/null >"$STATE/logs/wineboot.log" 2>&1 ||
    fail "wineboot failed" "$STATE/logs/wineboot.log"
  "$WINE64" "$keeper" </dev/null >"$STATE/logs/keeper.log" 2>&1 &
  local keeper_pid=$!
  wait_for_file_line "$STATE/logs/keeper.log" 60 && grep -q ready "$STATE/logs/keeper.log" ||
    fail "wine's desktop did not come up" "$STATE/logs/keeper.log"
  record keeper "$keeper_pid" "/proc/$keeper_pid/exe"
  say "prefix booted and desktop up in $((SECONDS - t0)) s"

  local n pts
  for n in "${PORTS[@]}"; do
    mkfifo "$STATE/sim$n.ctl"
    # shellcheck disable=SC2046
    "$sim" --control "$STATE/sim$n.ctl" $(sim_options "$n") </dev/null \
      >"$STATE/sim$n.out" 2>"$STATE/logs/sim$n.log" &
    record "sim-com$n" $! "$sim"
  done
  for n in "${PORTS[@]}"; do
    wait_for_file_line "$STATE/sim$n.out" 20 || fail "instrument COM$n did not start" "$STATE/logs/sim$n.log"
    pts=$(head -1 "$STATE/sim$n.out")
    ln -sfn "$pts" "$WINEPREFIX/dosdevices/com$n"
    ln -sfn "$pts" "$WINEPREFIX/dosdevices/usb#vid_04d8&pid_000a#zrv$n#$GUID"
    write_reg_files "$n"
    timeout 60 "$WINE64" regedit /S "$STATE/plug$n.reg" </dev/null >>"$STATE/logs/regedit.log" 2>&1 ||
      fail "registry import for COM$n failed" "$STATE/logs/regedit.log"
    say "COM$n: $pts"
  done
  mv "$STATE/env.new" "$STATE/env"
}

# ---- watchdog ----

watch() {
  local caller=$1 limit=${ZERVON_WINE_MAX_SECONDS:-1200}
  while kill -0 "$caller" 2>/dev/null && [ "$SECONDS" -lt "$limit" ]; do sleep 1; done
  WATCHDOG_SELF=$$ stop
}

usage="usage: $0 start STATE_DIR ZERVON_SIM KEEPER | stop STATE_DIR"
[ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
STATE=$(realpath -m "$2")
case "$1" in
  start) [ $# -eq 4 ] || exit 2; start "$(realpath -m "$3")" "$(realpath -m "$4")" ;;
  stop) stop ;;
  watch) watch "$3" ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
