# bash completion for velmora-csv                          -*- shell-script -*-

_velmora_csv() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null 2>&1; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    local commands="headers rows select search sort stats warnings count info help"
    local common="--no-header --delimiter --encoding --format --pretty --table --max-width -h --help"

    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "$commands -h --help -V --version" -- "$cur"))
        return
    fi

    case $prev in
        --delimiter)
            COMPREPLY=($(compgen -W "auto tab , ; |" -- "$cur"))
            return ;;
        --encoding)
            COMPREPLY=($(compgen -W "auto utf-8 utf-16le utf-16be windows-1252 latin1 shift_jis gb18030 koi8-r" -- "$cur"))
            return ;;
        --format)
            COMPREPLY=($(compgen -W "json ndjson csv tsv table" -- "$cur"))
            return ;;
        --offset|--limit|--max-width)
            return ;;
    esac

    local cmd=${words[1]} own=""
    case $cmd in
        help) [[ $cword -eq 2 ]] && COMPREPLY=($(compgen -W "${commands% help}" -- "$cur")); return ;;
        rows) own="--offset --limit" ;;
        search) own="-i --ignore-case" ;;
        sort) own="--desc" ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$common $own" -- "$cur"))
        return
    fi
    # Files, and '-' for standard input.
    COMPREPLY=($(compgen -f -- "$cur"))
    [[ -z $cur ]] && COMPREPLY+=(-)
    compopt -o filenames 2>/dev/null
}

complete -F _velmora_csv velmora-csv
