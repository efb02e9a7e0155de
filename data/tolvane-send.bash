# bash completion for tolvane-send: options, the keys it knows, and ports.
_tolvane_send() {
    local cur prev word prefix=
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    # --port=Comm2: bash splits the word at '=' unless COMP_WORDBREAKS was changed.
    if [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    elif [[ $cur == --port=* || $cur == --delay=* ]]; then
        prev=${cur%%=*}
        prefix=$prev=
        cur=${cur#*=}
    fi
    case $prev in
        --port)
            local ports="Comm1 Comm2 Comm3 Comm4"
            if [[ $cur == */* ]]; then
                compopt -o filenames 2>/dev/null
                COMPREPLY=($(compgen -f -- "$cur"))
            else
                local stable=(/dev/serial/by-id/*)
                [ -e "${stable[0]}" ] || stable=()
                COMPREPLY=($(compgen -W "$ports ${stable[*]}" -- "$cur"))
            fi
            COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
            return
            ;;
        --delay)
            COMPREPLY=($(compgen -W "0 500 1000 2000 5000" -- "$cur"))
            COMPREPLY=("${COMPREPLY[@]/#/$prefix}")
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--port --delay --direct --check --list-keys --list-ports --help --version --" -- "$cur"))
        return
    fi
    # --check and the lists take no keys.
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case $word in --check | --list-keys | --list-ports | --help | --version) return ;; esac
    done
    # The keys from the program itself, so the list never differs from what it accepts.
    local keys
    keys=$("${COMP_WORDS[0]}" --list-keys 2>/dev/null | while read -r plain _; do printf '%s ' "$plain"; done)
    COMPREPLY=($(compgen -W "$keys" -- "$cur"))
}
complete -F _tolvane_send tolvane-send
