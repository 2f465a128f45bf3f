# bash completion for korvin. Plain bash: it needs nothing from the
# bash-completion package, which loads it from
# share/bash-completion/completions/korvin; or source it from ~/.bashrc.

_korvin_ports()
{
    # The ports are the first column of the listing; "No serial ports found."
    # is the only line that is no port.
    "$1" --list-ports 2>/dev/null | while IFS=$' \t' read -r port _; do
        [ -n "$port" ] && [ "$port" != No ] && printf '%s\n' "$port"
    done
}

_korvin()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()

    case $prev in
        --report-dir)
            # A folder.
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -d -- "$cur"))
            return 0
            ;;
        -l|--report|--html)
            # File names, with directories shown as such.
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0
            ;;
        -p)
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "$(_korvin_ports "${COMP_WORDS[0]}")" -- "$cur"))
            return 0
            ;;
        --record|--summary)
            # A store: a SQLite file after "sqlite:", or a URI to type.
            if [[ $cur == sqlite:* ]]; then
                local IFS=$'\n'
                COMPREPLY=($(compgen -P sqlite: -f -- "${cur#sqlite:}"))
            else
                COMPREPLY=($(compgen -W "sqlite: postgresql://" -- "$cur"))
                compopt -o nospace 2>/dev/null
            fi
            return 0
            ;;
        --station)
            # After --summary a station's name; korvin --station takes nothing.
            [[ " ${COMP_WORDS[*]} " == *" --summary "* ]] && return 0
            ;;
        --wait|--timeout|--count|--board-number|--board-id|--since|--until|--full-range|--peek|--poke|--dump)
            # A number, an ID, a date or an address: nothing to offer.
            return 0
            ;;
    esac

    case $cur in
        -*)
            if [[ " ${COMP_WORDS[*]} " == *" --summary "* ]]; then
                COMPREPLY=($(compgen -W "--since --until --station --html" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "-c -h -l -p -v --diagnose --report --strict --wait
                    --timeout --list-ports --help --version --station --count --report-dir
                    --events --ask-board --board-number --board-id --until-swapped --record
                    --summary --full --full-range --probe-flash --peek --poke --dump" -- "$cur"))
            fi
            ;;
        *)
            COMPREPLY=($(compgen -W "sdram flash sram" -- "$cur"))
            ;;
    esac
    return 0
}

complete -F _korvin korvin
