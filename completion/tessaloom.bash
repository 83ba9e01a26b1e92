# Bash completion for tessaloom: the command word first, then file names where the command
# takes a file, and the options of --delta, --find, --map, --strings, --struct, --scan and --carve. Numbers (OFFSET, LEN, MIN_LEN)
# and hex patterns get no completion.

# What each command takes, argument by argument: "file" or "-" for anything else.
declare -A _tessaloom_arguments=(
    [--gui]=""
    [--dump]="file - -"
    [--diff]="file file"
    [--delta]="file file"
    [--entropy]="file"
    [--strings]="file -"
    [--replace]="file - - file"
    [--struct]="file"
    [--scan]="file"
    [--carve]="file file"
    [--find]="file"
    [--patch]="file file file"
    [--map]="file"
    [--view]="file file"
    [--version]=""
)

# The options of the commands that have any, offered for a word that starts with "-"; the word
# after --svg is a file.
declare -A _tessaloom_options=(
    [--delta]="--json --stream-limit"
    [--find]="--text --utf16 --json"
    [--map]="--block --json --svg"
    [--strings]="--all --encoding --json"
    [--struct]="--json --stream-limit"
    [--scan]="--deep --deep-limit --json --stream-limit"
    [--carve]="--deep --deep-limit --force"
)

_tessaloom_complete_files() {
    if declare -F _filedir >/dev/null; then
        _filedir
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$1")
    fi
}

_tessaloom() {
    local cur words cword
    COMPREPLY=()
    if declare -F _get_comp_words_by_ref >/dev/null; then
        # Keep "DE:AD" of a hex pattern one word, so that positions are counted right.
        _get_comp_words_by_ref -n := cur words cword
    else
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
        cur=${COMP_WORDS[COMP_CWORD]}
    fi

    if ((cword == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "${!_tessaloom_arguments[*]}" -- "$cur")
        return
    fi
    local command=${words[1]}
    # The word is only ever used as a key, never evaluated.
    [[ -n $command && -n ${_tessaloom_arguments[$command]+known} ]] || return
    local -a kinds
    read -ra kinds <<<"${_tessaloom_arguments[$command]}"
    if ((cword > 2)) && [[ $cur == -* && -n ${_tessaloom_options[$command]-} ]]; then
        mapfile -t COMPREPLY < <(compgen -W "${_tessaloom_options[$command]}" -- "$cur")
    elif [[ ${kinds[cword - 2]-} == file || ${words[cword - 1]} == --svg ]]; then
        _tessaloom_complete_files "$cur"
    fi
}

complete -F _tessaloom tessaloom tessaloom.exe
