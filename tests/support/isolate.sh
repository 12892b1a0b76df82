#!/bin/sh
# Runs one test in a private environment: its own home, settings, data, cache, state,
# runtime and temporary folders, removed afterwards, and the offscreen Qt platform.
root=$(mktemp -d "${ZR_TEST_TMP_ROOT:-/tmp}/zrtest.XXXXXX") || exit 1
export HOME="$root/home"
export XDG_CONFIG_HOME="$root/config"
export XDG_DATA_HOME="$root/data"
export XDG_CACHE_HOME="$root/cache"
export XDG_STATE_HOME="$root/state"
export XDG_RUNTIME_DIR="$root/run"
export TMPDIR="$root/tmp"
export ZR_TEST_ROOT="$root"
export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY MORAVEL_UPDATE_SERVER_CN MORAVEL_UPDATE_SERVER_US
# No proxy of the machine's, and desktop settings of the test's own (in memory, unless
# the test names a backend): a test that wants a proxy sets one up itself.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
export GSETTINGS_BACKEND="${GSETTINGS_BACKEND:-memory}"
# No desktop service of the machine's either (NetworkManager, power profiles): a test that
# wants one starts it on a private bus of its own.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$root/run/no-system-bus"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$root/run/no-session-bus"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME" "$XDG_RUNTIME_DIR" "$TMPDIR"
chmod 700 "$XDG_RUNTIME_DIR"
cd "$root" || exit 1
"$@"
rc=$?
chmod -R u+rwX "$root" 2>/dev/null
rm -rf "$root"
exit $rc
