#!/bin/sh
# A stand-in for pkexec in tests: records the command it was asked to run
# with elevation (ROOT/var/log/pkexec.log) and ends with the exit code in
# ROOT/etc/pkexec-exit (0 when there is none; 126 is a refused request).
# It runs nothing: an ordinary user cannot become root in a test.
root=$(cd "$(dirname "$0")/../.." && pwd)
printf 'uid=%s pkexec %s\n' "$(id -u)" "$*" >> "$root/var/log/pkexec.log"
code=$(cat "$root/etc/pkexec-exit" 2>/dev/null)
exit "${code:-0}"
