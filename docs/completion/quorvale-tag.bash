# bash completion for quorvale-tag
_quorvale_tag() {
    local cur prev words cword
    _init_completion || return

    local tag_options="--title --artist --album --genre --date --track --json --remove"
    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "read write cover batch help --help --version" -- "$cur"))
        return
    fi
    case ${words[1]} in
        help)
            [[ $cword -eq 2 ]] && COMPREPLY=($(compgen -W "read write cover batch" -- "$cur"))
            return
            ;;
        cover)
            if [[ $cword -eq 2 ]]; then
                COMPREPLY=($(compgen -W "get set remove" -- "$cur"))
                return
            fi
            ;;
    esac
    case $prev in
        --title | --artist | --album | --genre | --date | --track | --json)
            return
            ;;
        --remove)
            COMPREPLY=($(compgen -W "title artist album genre date track" -- "$cur"))
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        case ${words[1]} in
            read) COMPREPLY=($(compgen -W "-r --recursive --all --help" -- "$cur")) ;;
            write) COMPREPLY=($(compgen -W "-r --recursive --dry-run --help $tag_options" -- "$cur")) ;;
            batch) COMPREPLY=($(compgen -W "-r --recursive --help $tag_options" -- "$cur")) ;;
            cover) COMPREPLY=($(compgen -W "-r --recursive --help" -- "$cur")) ;;
        esac
        return
    fi
    _filedir
}
complete -F _quorvale_tag quorvale-tag
