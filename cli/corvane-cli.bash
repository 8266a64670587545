# bash completion for corvane-cli: commands, their options, files to send and the folder to
# receive into.
_corvane_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    local command="" word
    for word in "${words[@]:1:cword-1}"; do
        case $word in
            send | receive)
                command=$word
                break
                ;;
        esac
    done

    case $prev in
        --to)
            _known_hosts_real -- "$cur"
            return
            ;;
        --into)
            _filedir -d
            return
            ;;
        --sha256-file)
            _filedir
            return
            ;;
        --info-port | --binary-port | --chunk-size | --count)
            return
            ;;
    esac
    $split && return

    case $command in
        send)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--to --info-port --binary-port --chunk-size --help' \
                    -- "$cur"))
            else
                _filedir
            fi
            ;;
        receive)
            COMPREPLY=($(compgen -W '--into --info-port --binary-port --yes --overwrite --count
                --sha256-file --help' -- "$cur"))
            ;;
        *)
            COMPREPLY=($(compgen -W 'send receive --help --version' -- "$cur"))
            ;;
    esac
} && complete -F _corvane_cli corvane-cli
