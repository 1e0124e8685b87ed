# wine-env.sh: source it to run Windows programs in the project's private Wine session.
#
#   . scripts/wine-env.sh        then: wine build/win/norvane.exe
#
# Exports WINEPREFIX, WINEARCH=win32, WINEDEBUG (-all unless already set),
# WINEDLLOVERRIDES and DISPLAY, and makes sure the session runs: a private Xvfb,
# the prefix (created once, shared by every build tree of this checkout) and a
# persistent wineserver (see scripts/wine-session). Sourcing it again is cheap and
# reuses everything, which is why scripts/wine-exec can source it for every test.
#
# NORVANE_WINE_DIR picks another session (default build/wine). With
# NORVANE_USE_DISPLAY=1 and DISPLAY set, a session started now uses that display
# instead of a private Xvfb. The session ends by itself after NORVANE_WINE_LINGER
# idle seconds; `scripts/wine-session stop` ends it now, `scripts/wine-session lease
# $$` keeps it while your shell lives.

_nv_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export NORVANE_WINE_DIR=${NORVANE_WINE_DIR:-${_nv_scripts%/*}/build/wine}
export WINEPREFIX=$NORVANE_WINE_DIR/prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'

# The running session's display; the pid must still be the keeper's (the file may predate a reboot).
_nv_session_display() {
    local pid display args
    read -r pid display 2>/dev/null < "$NORVANE_WINE_DIR/session" &&
        mapfile -d '' -t args 2>/dev/null < "/proc/$pid/cmdline" && [[ ${args[1]:-} == */wine-session ]] &&
        _nv_display=$display
}

if ! _nv_session_display; then
    if [ "${NORVANE_USE_DISPLAY:-}" = 1 ] && [ -n "${DISPLAY:-}" ]; then
        NORVANE_SESSION_DISPLAY=$DISPLAY "$_nv_scripts/wine-session" start
    else
        NORVANE_SESSION_DISPLAY= "$_nv_scripts/wine-session" start
    fi && _nv_session_display || return 1
fi
export DISPLAY=$_nv_display
: > "$NORVANE_WINE_DIR/last-use"
unset _nv_display
