# bash completion for brindlex: its commands and options, device numbers, and
# the ports that `brindlex ports` lists.

_brindlex_ports()
{
    # The first word of each port line: a device node, or COMn on Windows.
    "${1:-brindlex}" ports 2>/dev/null | awk '$1 ~ /^(\/dev\/|COM[0-9])/ { print $1 }'
}

_brindlex()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command='' position=0 i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        --library | --delay | --port | --udev-rule | --settle | --device | --outputs | --listen | --pulse) ((i++)) ;;
        -*) ;;
        *)
            if [[ -z $command ]]; then
                command=${COMP_WORDS[i]}
            else
                ((position++))
            fi
            ;;
        esac
    done

    case $prev in
    --library)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    --port | --udev-rule)
        COMPREPLY=($(compgen -W "$(_brindlex_ports "${COMP_WORDS[0]}")" -- "$cur"))
        return
        ;;
    --delay)
        COMPREPLY=($(compgen -W "0 50 100 200 500 1000" -- "$cur"))
        return
        ;;
    --pulse)
        COMPREPLY=($(compgen -W "50 100 250 500 1000" -- "$cur"))
        return
        ;;
    --listen)
        return
        ;;
    --settle)
        COMPREPLY=($(compgen -W "500 1000 2000" -- "$cur"))
        return
        ;;
    --device)
        COMPREPLY=($(compgen -W "all $(seq 1 8)" -- "$cur"))
        return
        ;;
    --outputs)
        COMPREPLY=($(compgen -W "all $(seq 0 31)" -- "$cur"))
        return
        ;;
    esac

    case $command in
    '')
        COMPREPLY=($(compgen -W "devices set level test panel check ports --library --version --help" -- "$cur"))
        ;;
    set | level)
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--settle --hold --help" -- "$cur"))
        elif ((position == 0)); then
            COMPREPLY=($(compgen -W "1 2 3 4 5 6 7 8" -- "$cur"))
        elif [[ $command == set ]]; then
            COMPREPLY=($(compgen -W "all none $(seq 0 31)" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "0 128 255" -- "$cur"))
        fi
        ;;
    test) COMPREPLY=($(compgen -W "--delay --device --outputs --settle --help" -- "$cur")) ;;
    panel) COMPREPLY=($(compgen -W "--listen --pulse --settle --no-browser --help" -- "$cur")) ;;
    check) COMPREPLY=($(compgen -W "--port --help" -- "$cur")) ;;
    ports) COMPREPLY=($(compgen -W "--udev-rule --help" -- "$cur")) ;;
    devices) COMPREPLY=($(compgen -W "--help" -- "$cur")) ;;
    esac
}

complete -F _brindlex brindlex
