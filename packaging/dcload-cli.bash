# bash completion for dcload-cli: its commands, each command's own options, ports and files.
# Installed as share/bash-completion/completions/dcload-cli.

_dcload_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --port)
            # The built-in simulator, a device server's address, or a serial device.
            COMPREPLY=($(compgen -W 'sim tcp:// rfc2217://' -- "$cur")
                $(compgen -f -X '!/dev/tty@(USB|ACM|S|AMA)*' -- "${cur:-/dev/tty}"))
            [[ ${COMPREPLY[*]} == *:// ]] && compopt -o nospace
            return
            ;;
        --csv | --bdf)
            _filedir csv
            return
            ;;
        --pdf)
            _filedir pdf
            return
            ;;
        --publish-password-file)
            _filedir
            return
            ;;
        --cell)
            COMPREPLY=($(compgen -W 'li-ion lead-acid' -- "$cur"))
            return
            ;;
        --steps)
            _filedir json
            return
            ;;
        --baud)
            COMPREPLY=($(compgen -W '1200 2400 4800 9600 19200 38400 57600 115200' -- "$cur"))
            return
            ;;
        --address | --time-scale | --reply-timeout | --period | --count | --current | --cutoff | \
            --results | --station | --publish | --cell-resistance | --cell-capacity | --since)
            return
            ;;
    esac
    $split && return

    # The command given so far; the words after a value option are its value.
    local command='' i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            measure | battery | list | send | profile | report | runs | export)
                command=${words[i]}
                break
                ;;
            --port | --baud | --address | --time-scale | --reply-timeout | --period | --count | \
                --current | --cutoff | --results | --station | --publish | --publish-password-file | --csv | \
                --steps | --bdf | --pdf | --cell | --cell-resistance | --cell-capacity | --since)
                ((i++))
                ;;
        esac
    done

    if [[ $cur == -* ]]; then
        local options='--help --version --port --baud --address --time-scale --reply-timeout --json
            --trace --results --station --publish --publish-password-file --cell --cell-resistance
            --cell-capacity'
        case $command in
            measure) options+=' --period --count' ;;
            battery) options+=' --current --cutoff --period --csv --bdf --force' ;;
            list) options+=' --steps --repeat --trigger --csv --force' ;;
            profile) options+=' --csv --bdf --force' ;;
            report) options+=' --pdf --force' ;;
            runs) options+=' --since' ;;
            export) options+=' --csv --force' ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W 'measure battery list send profile report runs export' -- "$cur"))
    elif [[ $command == profile ]]; then
        _filedir '@(txt|json)'
    fi
} && complete -F _dcload_cli dcload-cli
