#!/bin/sh
# Runs the command in a mount namespace of its own in which the user and
# group databases are the given files; the machine's own files and what
# other processes see of them stay as they are.
# Usage: with_private_accounts.sh PASSWD GROUP COMMAND [ARGUMENT...]
exec unshare --mount --propagation private sh -c \
  'mount --bind "$1" /etc/passwd && mount --bind "$2" /etc/group && shift 2 && exec "$@"' \
  with-private-accounts "$@"
