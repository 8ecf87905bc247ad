# Driving the real installer window the way a user does: under Xvfb (or the
# user's display), with xdotool. Sourced by the end-to-end tests, the demo and
# the benchmarks.

# Starts Xvfb on a free display and exports DISPLAY.
start_xvfb() {
    local fdfile
    fdfile="$(mktemp)"
    # -noreset: the server would otherwise restart whenever the last client
    # leaves, refusing the next installer for a moment.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$fdfile" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -s "$fdfile" ] && break
        sleep 0.05
    done
    export DISPLAY=":$(tr -d '\n' < "$fdfile")"
    rm -f "$fdfile"
}

stop_xvfb() {
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
}

# Makes a fresh, isolated user under $1: home, temp, config and LOCALAPPDATA
# (the last one may be given as $2, to test folder names).
make_user() {
    local base="$1"
    local localappdata="${2:-$base/home/AppData/Local}"
    mkdir -p "$base/home" "$base/tmp" "$base/runtime" "$localappdata"
    chmod 700 "$base/runtime"
    cat > "$base/env" <<ENV
HOME=$base/home
TMPDIR=$base/tmp
XDG_CONFIG_HOME=$base/home/.config
XDG_DATA_HOME=$base/home/.local/share
XDG_STATE_HOME=$base/home/.local/state
XDG_CACHE_HOME=$base/home/.cache
XDG_RUNTIME_DIR=$base/runtime
LOCALAPPDATA=$localappdata
ENV
}

# Starts the installer as the user made by make_user ($1), the stand-ins (or
# TAMBRIX_PLATFORM_DIR) first on PATH; sets INSTALLER_PID.
start_installer() {
    local base="$1"
    local -a vars=()
    local line
    while IFS= read -r line; do vars+=("$line"); done < "$base/env"
    env -i PATH="${TAMBRIX_PLATFORM_DIR:-$TAMBRIX_BUILD/platform-bin}:/usr/bin:/bin" DISPLAY="$DISPLAY" \
        QT_QPA_PLATFORM=xcb LANG=C.UTF-8 "${vars[@]}" \
        "${INSTALLER:-$TAMBRIX_BUILD/src/TambrixSetup}" > "$base/installer.log" 2>&1 &
    INSTALLER_PID=$!
}

# Waits until $1 visible windows titled "Tambrix Setup" or "Tambrix" exist
# (the dialog, then a message box on top of it). Prints the first window that
# is not $2 (pass the dialog's id to get the message box).
wait_windows() {
    local want="$1" except="${2:-}" ids
    for _ in $(seq 300); do
        ids="$(xdotool search --onlyvisible --name '^Tambrix( Setup)?$' 2>/dev/null || true)"
        if [ "$(printf '%s\n' "$ids" | grep -c .)" -ge "$want" ]; then
            printf '%s\n' "$ids" | grep -vx "${except:-none}" | head -1
            return 0
        fi
        sleep 0.1
    done
    echo "timed out waiting for $want installer window(s)" >&2
    return 1
}

# Waits until only the dialog is left (the message box has closed).
wait_box_closed() {
    local ids
    for _ in $(seq 100); do
        ids="$(xdotool search --onlyvisible --name '^Tambrix( Setup)?$' 2>/dev/null || true)"
        [ "$(printf '%s\n' "$ids" | grep -c .)" -le 1 ] && return 0
        sleep 0.1
    done
    return 1
}

# Sends a key to a window after giving it the focus.
press() {
    local window="$1" key="$2"
    xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
    sleep 0.2
    xdotool key --clearmodifiers "$key"
}

# Waits for the installer to exit (at most $1 seconds); sets INSTALLER_EXIT.
wait_installer() {
    local limit="${1:-120}"
    for _ in $(seq $((limit * 10))); do
        if ! kill -0 "$INSTALLER_PID" 2>/dev/null; then
            wait "$INSTALLER_PID" && INSTALLER_EXIT=0 || INSTALLER_EXIT=$?
            return 0
        fi
        sleep 0.1
    done
    kill "$INSTALLER_PID" 2>/dev/null || true
    INSTALLER_EXIT=timeout
    return 1
}
