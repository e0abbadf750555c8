# Pid files that stop only the process they were written for. A pid file
# left by a killed run may name a pid that the system has since given to an
# unrelated process; the stops run as root, so a bare `kill $(cat file)`
# could end anything. A pid file holds the pid and the process's start
# time, and a stop signals the process only while it still has that start
# time and a command line holding the expected text. Sourced by sh and bash
# scripts alike.

# The start time of process $1 (clock ticks after boot); fails when there is
# no such process. The name in /proc/PID/stat may hold blanks and ")": the
# fields are counted after its last ")".
pid_start_time() {
  _pf_stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
  _pf_rest="${_pf_stat##*) }"
  # shellcheck disable=SC2086
  set -- $_pf_rest
  [ $# -ge 20 ] || return 1
  echo "${20}"
}

# pidfile_write FILE PID
pidfile_write() {
  echo "$2 $(pid_start_time "$2" || echo gone)" >"$1"
}

# pidfile_pid FILE TEXT: prints the pid FILE names if that process still
# runs, started when FILE says, with TEXT in its command line. (A file of
# an older run holds the pid alone: the command line is all there is to go
# by.)
pidfile_pid() {
  [ -f "$1" ] || return 1
  _pf_pid="" _pf_started=""
  read -r _pf_pid _pf_started <"$1" || [ -n "$_pf_pid" ] || return 1
  case "$_pf_pid" in '' | *[!0-9]*) return 1 ;; esac
  [ -z "$_pf_started" ] || [ "$(pid_start_time "$_pf_pid" || true)" = "$_pf_started" ] || return 1
  tr '\0' ' ' <"/proc/$_pf_pid/cmdline" 2>/dev/null | grep -qF -- "$2" || return 1
  echo "$_pf_pid"
}

# pidfile_stop FILE TEXT: ends the process FILE names (TERM, then KILL after
# 10 s) if it is still the one started, and removes FILE.
pidfile_stop() {
  if _pf_target="$(pidfile_pid "$1" "$2")"; then
    kill "$_pf_target" 2>/dev/null || true
    _pf_tries=0
    while [ $_pf_tries -lt 100 ] && pidfile_pid "$1" "$2" >/dev/null; do
      sleep 0.1
      _pf_tries=$((_pf_tries + 1))
    done
    if pidfile_pid "$1" "$2" >/dev/null; then kill -9 "$_pf_target" 2>/dev/null || true; fi
  fi
  rm -f "$1"
}
