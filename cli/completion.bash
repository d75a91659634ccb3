# bash completion for krizclean                            -*- shell-script -*-
# The options come from `krizclean --help` itself, so that the completion
# knows every option the installed program has.

_krizclean()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --json | --json-lines | --log | -f | --file-list)
            _filedir
            return
            ;;
        --codepage)
            COMPREPLY=($(compgen -W "437 850 852 866" -- "$cur"))
            return
            ;;
        --backup | --restore)
            _filedir -d
            return
            ;;
        --exclude | --exclude-dir)
            # A pattern: nothing to offer.
            return
            ;;
        -j | --jobs)
            COMPREPLY=($(compgen -W "$(seq 1 "$(_ncpus)")" -- "$cur"))
            return
            ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '$(_parse_help "$1")' -- "$cur"))
        return
    fi
    _filedir
} &&
    complete -F _krizclean krizclean
