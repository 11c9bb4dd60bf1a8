#!/usr/bin/env bash
# modbuscalc's bash completion as bash runs it: names after an option or its
# '=', and only the options of the verb typed. Skipped (77) without
# bash-completion.
set -u
[ -f /usr/share/bash-completion/bash_completion ] || exit 77
source /usr/share/bash-completion/bash_completion
source "$1"

# The candidates for a command line split as bash splits it ('=' apart).
candidates() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    # As typed: no blanks around '=', which bash splits apart all the same.
    COMP_LINE="${COMP_WORDS[0]}"
    local i
    for ((i = 1; i < ${#COMP_WORDS[@]}; i++)); do
        if [ "${COMP_WORDS[i]}" = "=" ] || [ "${COMP_WORDS[i - 1]}" = "=" ]; then
            COMP_LINE+="${COMP_WORDS[i]}"
        else
            COMP_LINE+=" ${COMP_WORDS[i]}"
        fi
    done
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _modbuscalc modbuscalc "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

failed=0
expect() {
    local want="$1"
    shift
    local got
    got="$(candidates "$@")"
    if [ "$got" != "$want" ]; then
        echo "modbuscalc completion of '$*': got '$got', want '$want'" >&2
        failed=1
    fi
}

expect 'REAL ' modbuscalc read --format = RE
expect 'REAL ' modbuscalc read --format RE
expect 'ref ' modbuscalc --notation = r
expect 'low-first ' modbuscalc read --word-order = l
expect '--header --help ' modbuscalc address --he
expect '--header --help --host-column= --host= ' modbuscalc read --h
expect '--header --help --host-column= --host= ' modbuscalc --h
expect 'cell ' modbuscalc -m c
expect '--format-column= --format= ' modbuscalc read --form
expect ' ' modbuscalc cell --form # nothing: no such option for cell
expect 'serve ' modbuscalc se
expect '--save= --serial= --stop-bits= ' modbuscalc serve --s
expect '--read-only --retries= ' modbuscalc --re
expect ' ' modbuscalc serve --ho # serve listens: no --host
expect 'export ' modbuscalc ex
expect 'node-red ' modbuscalc export --to = n
expect '--host-column= --host= ' modbuscalc write --ho
expect '--name-column= ' modbuscalc export --na
exit $failed
