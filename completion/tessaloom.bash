# Bash completion for tessaloom: the command word first, then file names where the command
# takes a file. Numbers (OFFSET, LEN, MIN_LEN) and hex patterns get no completion.

# What each command takes, argument by argument: "file" or "-" for anything else.
declare -A _tessaloom_arguments=(
    [--gui]=""
    [--dump]="file - -"
    [--diff]="file file"
    [--entropy]="file"
    [--strings]="file -"
    [--replace]="file - - file"
    [--view]="file file"
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
    if [[ ${kinds[cword - 2]-} == file ]]; then
        _tessaloom_complete_files "$cur"
    fi
}

complete -F _tessaloom tessaloom tessaloom.exe
