#!/usr/bin/env bash
# Runs a command in the build tree's own Wine prefix: a win32 prefix under wine32, or with
# KO197311_WINE_BITS=64 a win64 prefix under wine64. Started as root, it drops to an unprivileged
# user: root may write files that Windows keeps read-only, and callers are ordinary users.
set -eu
: "${WINEPREFIX:?set WINEPREFIX to a prefix in the build tree}"
here=$(cd "$(dirname "$0")" && pwd)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="

skip() {
  echo "SKIPPED: $1"
  exit 77
}
missing() {
  echo "SKIPPED: $1 is not installed (bash tools/setup installs it)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}

if [ "${KO197311_WINE_BITS:-32}" = 64 ]; then
  # Debian's wine and wineboot start the 32-bit loader whenever it is installed, even for a win64
  # prefix; the shims in wine64/ name the 64-bit loader and server.
  [ -x /usr/lib/wine/wine64 ] || missing wine64
  export WINEARCH=win64 PATH="$here/wine64:$PATH"
else
  # The one reason a Wine run may be skipped under CI too: the host cannot run wine32 at all.
  i386=${KO197311_I386:-}
  if [ -z "$i386" ]; then
    i386=yes
    /usr/bin/python3 "$here/../../tools/i386_probe.py" || i386=no
  fi
  [ "$i386" = no ] && skip "32-bit Wine run: this host cannot execute 32-bit x86 code (the 64-bit twin's runs, preset windows64, cover the program here)"
  { [ -x /usr/lib/wine/wine ] && command -v wine >/dev/null 2>&1; } || missing wine32
  export WINEARCH=win32
fi

if [ "$(id -u)" = 0 ]; then
  mkdir -p "$WINEPREFIX"
  chown 65534:65534 "$WINEPREFIX"
  exec setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$WINEPREFIX" "$@"
fi
exec "$@"
