#!/usr/bin/env bash
# CPU use of a running program, per thread: samples /proc/PID/task/*/stat at the
# start and the end of a window and prints each thread's user+system time as a
# percentage of one core over that window, busiest first, then the process's
# total. Threads that start or end inside the window count from their first
# or to their last sample.
#
#   tools/thread_cpu.sh [--seconds S] PID|NAME
#
#   --seconds S   length of the window, default 10
#   NAME          a program name, as pgrep -x finds it (the newest such process)
# Exit status: 0 measured, 1 the process is gone, 2 usage.
set -euo pipefail
usage() {
  [ -z "${1:-}" ] || echo "thread_cpu.sh: $1" >&2
  echo "usage: tools/thread_cpu.sh [--seconds S] PID|NAME" >&2
  exit 2
}
seconds=10
target=
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [ $# -ge 2 ] || usage "--seconds needs a value"; seconds=$2; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) usage "unknown option $1" ;;
    *) [ -z "$target" ] || usage "one process only"; target=$1 ;;
  esac
  shift
done
[ -n "$target" ] || usage
[[ "$seconds" =~ ^[0-9]+([.][0-9]+)?$ ]] && [ "$(echo "$seconds > 0" | bc)" = 1 ] ||
  usage "--seconds must be a positive number"
if [[ "$target" =~ ^[0-9]+$ ]]; then
  pid=$target
else
  pid=$(pgrep -n -x "$target") || { echo "thread_cpu.sh: no process named $target" >&2; exit 1; }
fi
[ -d "/proc/$pid" ] || { echo "thread_cpu.sh: no process $pid" >&2; exit 1; }

# One line per thread: "tid ticks name". The name (field 2) is in parentheses
# and may hold spaces; utime and stime are the 12th and 13th fields after it.
sample() {
  local stat tid rest name
  for stat in /proc/"$pid"/task/*/stat; do
    read -r line < "$stat" 2>/dev/null || continue
    tid=${line%% *}
    name=${line#*(}; name=${name%)*}
    rest=${line##*) }
    # shellcheck disable=SC2086
    set -- $rest
    echo "$tid $(( ${12} + ${13} )) ${name// /_}"
  done
}
hz=$(getconf CLK_TCK)
before=$(sample)
t0=$(date +%s.%N)
sleep "$seconds"
after=$(sample)
t1=$(date +%s.%N)
[ -d "/proc/$pid" ] || { echo "thread_cpu.sh: process $pid ended during the window" >&2; exit 1; }
window=$(echo "$t1 - $t0" | bc -l)
echo "process $pid ($(cat /proc/"$pid"/comm)), ${window:0:6} s, % of one core:"
join -a 2 -o 2.1,1.2,2.2,2.3 -e - <(echo "$before" | sort -k1,1) <(echo "$after" | sort -k1,1) |
  awk -v hz="$hz" -v w="$window" '
    { start = ($2 == "-") ? $3 : $2; printf "%8.2f  %-16s %s\n", 100 * ($3 - start) / hz / w, $4, $1 }' |
  sort -k1,1 -rn | awk '{ print; total += $1 } END { printf "%8.2f  total\n", total }'
