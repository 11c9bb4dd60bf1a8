#!/usr/bin/env bash
# The native window's live value and table view under Wine, against
# Debian's pymodbus on a free port of 127.0.0.1: the UI test's LiveValue and
# TableView tests, and the window scenarios with the live-value window open,
# at 96 dpi in a Wine prefix of their own. Skips (77) without pymodbus.
#
#   live_value_test.sh WINE UI_TEST.EXE TESTS_DIR PREFIX
set -u
wine="$1" ui_test="$2" tests="$(readlink -f "$3")" prefix="$(readlink -m "$4")"
/usr/bin/python3 -c 'import pymodbus' 2>/dev/null || exit 77
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/python3 "$tests/modbus_server.py" "$port" 2>/dev/null &
server=$!
trap 'kill $server 2>/dev/null; wait 2>/dev/null' EXIT
for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
export MODBUSCALC_TEST_PORT="$port"
"$tests/win32/with-wine-desktop" "$prefix" 96 "$wine" "$ui_test" \
    --gtest_filter='LiveValue*:TableView*:*ScenariosWithLiveValue*'
