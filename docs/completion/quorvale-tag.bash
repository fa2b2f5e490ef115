# bash completion for quorvale-tag
_quorvale_tag() {
    local cur prev words cword
    _init_completion || return

    local tag_options="--title --artist --album --genre --date --track --json --set --remove"
    # the property keys most taggers use; any other key is taken as well
    local property_keys="ALBUMARTIST DISCNUMBER TRACKNUMBER COMPOSER COMMENT LYRICS COMPILATION BPM ARTISTSORT ALBUMSORT ALBUMARTISTSORT ORIGINALDATE LABEL ISRC MUSICBRAINZ_TRACKID MUSICBRAINZ_ALBUMID MUSICBRAINZ_ARTISTID REPLAYGAIN_TRACK_GAIN REPLAYGAIN_TRACK_PEAK REPLAYGAIN_ALBUM_GAIN REPLAYGAIN_ALBUM_PEAK TITLE ARTIST ALBUM GENRE DATE"
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
