#!/usr/bin/env bash
# Runs a command in the build tree's own Wine prefix. Started as root, it drops to an unprivileged
# user: root may write files that Windows keeps read-only, and callers are ordinary users.
set -eu
: "${WINEPREFIX:?set WINEPREFIX to a prefix in the build tree}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" WINEARCH=win32
if ! command -v wine >/dev/null 2>&1; then
  echo "SKIPPED: wine is not installed (bash tools/setup installs it)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
if [ "$(id -u)" = 0 ]; then
  mkdir -p "$WINEPREFIX"
  chown 65534:65534 "$WINEPREFIX"
  exec setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$WINEPREFIX" "$@"
fi
exec "$@"
