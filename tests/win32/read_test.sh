#!/usr/bin/env bash
# modbuscalc.exe read and write under Wine against Debian's pymodbus, the same server
# script as the Linux tests, and modbuscalc.exe serve with pymodbus's client
# on the Linux side as its master: over TCP on a free port of 127.0.0.1, and as
# RTU through Wine's COM5, which the RTU test's prefix maps to
# PREFIX/com5-line; the test makes it one end of a socat pseudo-terminal
# pair, with the serial server at the other (parity N: these ptys take no
# other). Skips (77) without pymodbus or socat.
#
#   read_test.sh tcp|rtu WINE MODBUSCALC.EXE TESTS_DIR PREFIX
set -u
mode="$1" wine="$2" exe="$(readlink -f "$3")" tests="$(readlink -f "$4")" prefix="$(readlink -m "$5")"
export WINEDEBUG=-all WINEPREFIX="$prefix"
wineserver="${wine%/*}/wineserver"
/usr/bin/python3 -c 'import pymodbus' 2>/dev/null || exit 77
scratch="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    [ "$mode" != rtu ] || "$wineserver" -k 2>/dev/null
    rm -f "$prefix/com5-line"
    rm -rf "$scratch"
}
trap cleanup EXIT

if [ ! -d "$prefix" ]; then
    "$wine" wineboot --init >/dev/null 2>&1
    "$wineserver" -w 2>/dev/null
fi

failed=0
# expect OUT STATUS ERR-PART INPUT VERB ARGS...: runs modbuscalc.exe.
expect() {
    local want_out="$1" want_status="$2" want_err="$3" input="$4"
    shift 4
    local out err status attempt
    for attempt in 1 2 3; do
        status=0
        printf '%s' "$input" | "$wine" "$exe" "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
        # Under load, Wine now and then fails to start a program at all: it
        # says so before the program's first thread ("wine client error:0:").
        # The program never ran, so it is started again.
        grep -q '^wine client error:0:' "$scratch/err" || break
        echo "modbuscalc.exe did not start: $(head -n 1 "$scratch/err"); once more" >&2
    done
    out="$(tr -d '\r' <"$scratch/out")"
    err="$(tr -d '\r' <"$scratch/err")"
    if [ "$out" != "$want_out" ] || [ "$status" != "$want_status" ] ||
        { [ -n "$want_err" ] && [[ "$err" != *"$want_err"* ]]; }; then
        echo "modbuscalc.exe $*:" >&2
        echo "  out '$(head -c 300 <<<"$out")', want '$(head -c 300 <<<"$want_out")'" >&2
        echo "  status $status, want $want_status; err '$err'" >&2
        failed=1
    fi
}

# peer LINK WHERE REQUESTS ANSWERS: pymodbus's client (tests/serve_peer.py)
# sends the requests to modbuscalc.exe serve, and must get the answers.
peer() {
    local got
    got="$(printf '%s\n' "$3" | /usr/bin/python3 "$tests/serve_peer.py" "$1" "$2" 2>&1)"
    if [ "$got" != "$4" ]; then
        echo "serve_peer.py $1 $2 <<<'$3':" >&2
        echo "  got '$got', want '$4'" >&2
        failed=1
    fi
}

free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# A map of table 2's first 300 cells, and what reading it gives: register a holds a.
map="$(awk 'BEGIN { for (a = 0; a < 300; a++) print 2 "," int(a / 256) "," a % 256 }')"
read_map="$(awk 'BEGIN { for (a = 0; a < 300; a++)
    print 2 "," int(a / 256) "," a % 256 "," 4096 + a "," 4096 + a }')"

if [ "$mode" = tcp ]; then
    port=$(free_port)
    /usr/bin/python3 "$tests/modbus_server.py" "$port" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
    host="127.0.0.1:$port"
    expect "2305 2305" 0 "" "" read --host "$host" 1 1 1
    expect "2306 2305" 0 "" "" read --host "$host" -m 1 1 1
    expect "402306 2305" 0 "" "" read --host "$host" -n ref 402306
    expect "$read_map" 0 "" "$map" read --host "$host"
    nobody=$(free_port)
    expect "" 2 "127.0.0.1:$nobody: no connection: refused" "" read --host "127.0.0.1:$nobody" 1 1 1
    expect "2310 1.5" 0 "" "" write --host "$host" --verify --format f32 1 1 6 1.5
    expect "2310 1.5" 0 "" "" read --host "$host" --format f32 1 1 6
    # A gateway with units 3 and 7: the others get exception 11 at once.
    units_port=$(free_port)
    /usr/bin/python3 "$tests/modbus_server.py" --units 3,7 "$units_port" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$units_port") 2>/dev/null && break; sleep 0.1; done
    expect "$(printf '3 holding input coil discrete\n7 holding input coil discrete')" 0 "" "" \
        scan --host "127.0.0.1:$units_port" --units 1-9
    # A watch: three polls, each record with its time.
    polled="$("$wine" "$exe" read --host "$host" --interval 0.05 --polls 3 --output csv 1 1 6 \
        </dev/null 2>/dev/null | tr -d '\r')"
    if [ "$(grep -cE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z,1,1,6,2310,' \
        <<<"$polled")" != 3 ]; then
        echo "modbuscalc.exe read --interval: '$polled'" >&2
        failed=1
    fi
    # Served: a map's values, units of their own, exception 11 for another.
    printf '1,1,1,1234\n' >"$scratch/served.csv"
    served_port=$(free_port)
    "$wine" "$exe" serve --listen "127.0.0.1:$served_port" --unit 1,7 --value-column 4 \
        "Z:$scratch/served.csv" 2>"$scratch/serve.err" &
    serve_pid=$!
    pids+=($serve_pid)
    for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$served_port") 2>/dev/null && break; sleep 0.1; done
    peer tcp "$served_port" "$(printf '1 3 2305 2\n1 16 10 5 6\n1 3 10 2\n7 3 10 2\n2 3 0 1\n1 1 0 3')" \
        "$(printf 'ok 1234 0\nok\nok 5 6\nok 0 0\nexception 11\nok 0 0 0')"
    expect "2305 1234" 0 "" "" read --host "127.0.0.1:$served_port" 1 1 1
    kill "$serve_pid" 2>/dev/null
    grep -q "unit 1: function 16, address 10, count 2: cell 0 0 10 = 5, cell 0 0 11 = 6" \
        <(tr -d '\r' <"$scratch/serve.err") || { echo "serve's log: $(cat "$scratch/serve.err")" >&2; failed=1; }
elif [ "$mode" = rtu ]; then
    command -v socat >/dev/null || exit 77
    # Wine's device manager keeps the COM links itself, remaking them from
    # the registry as the prefix's server starts, and only to lines that are
    # there: COM5 is mapped in the registry of this test's own prefix, and
    # the server started anew once the pseudo-terminal is made, then kept
    # until the test ends.
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$prefix/com5-line" /f >/dev/null 2>&1
    socat "pty,raw,echo=0,link=$prefix/com5-line" "pty,raw,echo=0,link=$scratch/theirs" &
    pids+=($!)
    for _ in $(seq 100); do [ -e "$prefix/com5-line" ] && [ -e "$scratch/theirs" ] && break; sleep 0.1; done
    "$tests/win32/keep-wine-server" "$wineserver"
    /usr/bin/python3 "$tests/modbus_server.py" --serial "$scratch/theirs" 7 2>/dev/null &
    pids+=($!)
    rtu=(--serial COM5 --parity N --unit 7 --timeout 0.5)
    for _ in $(seq 50); do
        "$wine" "$exe" read "${rtu[@]}" 0 0 1 >/dev/null 2>&1 && break
        sleep 0.2
    done
    expect "2305 2305" 0 "" "" read "${rtu[@]}" 1 1 1
    expect "$(head -n 20 <<<"$read_map")" 0 "" "$(head -n 20 <<<"$map")" read "${rtu[@]}"
    expect "2311 4321" 0 "" "" write "${rtu[@]}" --verify 1 1 7 4321
    expect "7 holding input coil discrete" 0 "" "" scan --serial COM5 --parity N --timeout 0.3 \
        --units 6-8
    # Served on COM5, with pymodbus's client at the line's other end.
    kill "${pids[-1]}" 2>/dev/null
    wait "${pids[-1]}" 2>/dev/null
    "$wine" "$exe" serve --serial COM5 --parity N --unit 7 2>"$scratch/serve.err" &
    pids+=($!)
    for _ in $(seq 100); do grep -q "serving unit 7" "$scratch/serve.err" && break; sleep 0.1; done
    peer rtu "$scratch/theirs" "$(printf '7 16 100 8 9\n7 3 100 2\n8 3 100 1\n7 5 3 1\n7 1 3 1')" \
        "$(printf 'ok\nok 8 9\nnone\nok\nok 1')"
else
    echo "usage: read_test.sh tcp|rtu WINE EXE TESTS_DIR PREFIX" >&2
    exit 2
fi
exit $failed
