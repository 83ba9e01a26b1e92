#!/usr/bin/env bash
# Checks the bash completion of tessaloom: given a command line and the cursor's word, the
# candidates offered, in a folder holding a few files. The cases run on the script alone and,
# where the bash-completion package is installed, once more with its helpers loaded, as an
# interactive shell has them.
# Usage: completion_test.sh path/to/tessaloom.bash
set -u
script=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch firmware.bin fixed.bin notes.txt
mkdir folder

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}
# expect "LINE" "CANDIDATES": LINE's last word (empty after a trailing space) is completed. The
# words are split as bash splits them, a colon being a word of its own.
expect() {
    local line=$1 expected=$2
    read -ra COMP_WORDS <<<"${line//:/ : }"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _tessaloom tessaloom "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local actual
    actual=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    actual=${actual% }
    if [[ $actual != "$expected" ]]; then
        fail "'$line' offered '$actual', expected '$expected'"
    fi
}

run_cases() {
    expect "tessaloom " "--carve --delta --diff --dump --entropy --find --gui --map --patch --replace --scan --strings --struct --version --view"
    expect "tessaloom --d" "--delta --diff --dump"
    expect "tessaloom --delta firmware.bin fixed.bin -" "--json --stream-limit"
    expect "tessaloom --carve firmware.bin fo" "folder"
    expect "tessaloom --carve firmware.bin folder -" "--deep --deep-limit --force"
    expect "tessaloom --s" "--scan --strings --struct"
    expect "tessaloom --scan notes.txt -" "--deep --deep-limit --json --stream-limit"
    expect "tessaloom --struct n" "notes.txt"
    expect "tessaloom --struct notes.txt -" "--json --stream-limit"
    expect "tessaloom --struct notes.txt --s" "--stream-limit"
    expect "tessaloom --struct notes.txt " ""
    expect "tessaloom --help" ""
    expect "tessaloom --dump f" "firmware.bin fixed.bin folder"
    expect "tessaloom --dump fi" "firmware.bin fixed.bin"
    expect "tessaloom --dump firmware.bin " ""
    expect "tessaloom --dump firmware.bin 0x10 " ""
    expect "tessaloom --diff firmware.bin n" "notes.txt"
    expect "tessaloom --diff firmware.bin fixed.bin n" ""
    expect "tessaloom --entropy n" "notes.txt"
    expect "tessaloom --strings n" "notes.txt"
    expect "tessaloom --strings notes.txt " ""
    expect "tessaloom --strings notes.txt -" "--all --encoding --json"
    expect "tessaloom --replace fi" "firmware.bin fixed.bin"
    expect "tessaloom --replace firmware.bin " ""
    expect "tessaloom --replace firmware.bin DEAD " ""
    expect "tessaloom --replace firmware.bin DEAD BEEF n" "notes.txt"
    expect "tessaloom --replace firmware.bin DEAD BEEF out.bin n" ""
    expect "tessaloom --view n" "notes.txt"
    expect "tessaloom --view firmware.bin n" "notes.txt"
    expect "tessaloom --view firmware.bin fixed.bin n" ""
    expect "tessaloom --gui " ""
    expect "tessaloom --find n" "notes.txt"
    expect "tessaloom --find notes.txt --t" "--text"
    expect "tessaloom --find notes.txt DEAD " ""
    expect "tessaloom --patch firmware.bin n" "notes.txt"
    expect "tessaloom --patch firmware.bin notes.txt fi" "firmware.bin fixed.bin"
    expect "tessaloom --map firmware.bin --" "--block --json --svg"
    expect "tessaloom --map firmware.bin --svg n" "notes.txt"
    expect "tessaloom --map firmware.bin --block 64K " ""
    expect "tessaloom --DUMP n" ""
    expect "tessaloom notes.txt n" ""
    expect "tessaloom \$(>evaluated) n" ""
    [[ ! -e evaluated ]] || fail "a word of the command line was evaluated"
}

status=0
# shellcheck source=/dev/null
(source "$script" && run_cases && exit $((failures > 0))) || status=1
helpers=/usr/share/bash-completion/bash_completion
if [[ -f $helpers ]]; then
    (
        # shellcheck source=/dev/null
        source "$helpers" && source "$script" || exit 1
        declare -F _filedir >/dev/null || exit 1
        run_cases
        # The helpers keep a hex pattern with colons one word.
        expect "tessaloom --replace firmware.bin DE:AD BE:EF n" "notes.txt"
        exit $((failures > 0))
    ) || status=1
fi

if ((status != 0)); then
    exit 1
fi
echo "completion: all cases passed"
