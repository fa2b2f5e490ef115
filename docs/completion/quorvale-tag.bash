# bash completion for quorvale-tag
_quorvale_tag() {
    local cur prev words cword
    _init_completion || return

    local tag_options="--title --artist --album --genre --date --track --json --set --set-custom --remove"
    # the property keys most taggers use (--set takes a key of the table or one the file holds)
    local property_keys="ALBUMARTIST DISCNUMBER TRACKNUMBER COMPOSER COMMENT LYRICS COMPILATION BPM ARTISTSORT ALBUMSORT ALBUMARTISTSORT ORIGINALDATE LABEL ISRC MUSICBRAINZ_TRACKID MUSICBRAINZ_ALBUMID MUSICBRAINZ_ARTISTID REPLAYGAIN_TRACK_GAIN REPLAYGAIN_TRACK_PEAK REPLAYGAIN_ALBUM_GAIN REPLAYGAIN_ALBUM_PEAK TITLE ARTIST ALBUM GENRE DATE"
    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "read get keys write cover batch strip copy export import rename totag help --help --version" -- "$cur"))
        return
    fi
    case ${words[1]} in
        help)
            [[ $cword -eq 2 ]] && COMPREPLY=($(compgen -W "read get keys write cover batch strip copy export import rename totag" -- "$cur"))
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
        --title | --artist | --album | --genre | --date | --track | --set-custom)
            return
            ;;
        --json)
            # an object, "-" for standard input or @FILE
            [[ $cur == @* ]] && COMPREPLY=($(compgen -P @ -f -- "${cur#@}"))
            return
            ;;
        --remove)
            COMPREPLY=($(compgen -W "title artist album genre date track $property_keys" -- "$cur"))
            return
            ;;
        --set)
            # KEY=VALUE: the key is completed, the value is the user's
            COMPREPLY=($(compgen -S = -W "$property_keys" -- "$cur"))
            compopt -o nospace
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        case ${words[1]} in
            read) COMPREPLY=($(compgen -W "-r --recursive --all --json --text --help" -- "$cur")) ;;
            get | keys) COMPREPLY=($(compgen -W "-r --recursive --help" -- "$cur")) ;;
            strip) COMPREPLY=($(compgen -W "-r --recursive --pictures --dry-run --help" -- "$cur")) ;;
            copy) COMPREPLY=($(compgen -W "-r --recursive --no-pictures --help" -- "$cur")) ;;
            export) COMPREPLY=($(compgen -W "-r --recursive --csv --json --help" -- "$cur")) ;;
            import) COMPREPLY=($(compgen -W "--csv --json --help" -- "$cur")) ;;
            rename | totag) COMPREPLY=($(compgen -W "-r --recursive --dry-run --help" -- "$cur")) ;;
            write) COMPREPLY=($(compgen -W "-r --recursive --dry-run --help $tag_options" -- "$cur")) ;;
            batch) COMPREPLY=($(compgen -W "-r --recursive --help $tag_options" -- "$cur")) ;;
            cover) COMPREPLY=($(compgen -W "-r --recursive --help" -- "$cur")) ;;
        esac
        return
    fi
    # get FILE... KEY: a key after the first file
    if [[ ${words[1]} == get && $cword -ge 3 ]]; then
        COMPREPLY=($(compgen -W "title artist album genre date track $property_keys" -- "$cur"))
    fi
    _filedir
}
complete -F _quorvale_tag quorvale-tag
