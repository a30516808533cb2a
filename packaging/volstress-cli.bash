# Bash completion for volstress-cli: options, their words, volume letters from --list, and paths.
_volstress_cli() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    case "$prev" in
        --method) COMPREPLY=($(compgen -W "random butterfly forward backward" -- "$cur")); return ;;
        --pause-type) COMPREPLY=($(compgen -W "fixed random" -- "$cur")); return ;;
        --json|--log|--live) COMPREPLY=($(compgen -f -- "$cur") $(compgen -W "-" -- "$cur")); return ;;
        --block-size) COMPREPLY=($(compgen -W "512 1024 2048 4096 8192 16384 32768 65536 131072 262144" -- "$cur")); return ;;
        --create) COMPREPLY=($(compgen -W "64M 256M 1G 4G" -- "$cur")); return ;;
        --submit-batch) COMPREPLY=($(compgen -W "auto 1" -- "$cur")); return ;;
        --poll-us) COMPREPLY=($(compgen -W "0 50" -- "$cur")); return ;;
        --arrival) COMPREPLY=($(compgen -W "fixed poisson" -- "$cur")); return ;;
        --steady-state) COMPREPLY=($(compgen -W "iops mbps p99" -- "$cur")); return ;;
        --threads|--minutes|--seconds|--reads|--writes|--pause|--period|--queue-depth|--live-interval|--metrics-listen|--metrics-linger|--round|--precondition|--latency-target|--target-step|--rate|--cliff-fall|--cliff-rise|--cliff-intervals|--cliff-baseline) return ;;
        --start-at) COMPREPLY=($(compgen -W "$(date -u -d '+1 minute' +%Y-%m-%dT%H:%M:00Z 2>/dev/null)" -- "$cur")); return ;;
        log2csv|analyze|merge) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
    if [[ "$cur" == -* ]]; then
        COMPREPLY=($(compgen -W "--block-size --method --threads --minutes --seconds --reads --writes --pause
            --pause-type --period --queue-depth --submit-batch --poll-us --register-files --register-buffers --verify --verify-after
            --direct --start-at --destroy-data --create --log --live --live-interval --metrics-listen --metrics-linger --steady-state --round
            --precondition --rate --arrival --latency-target --target-step --cliff-fall --cliff-rise --cliff-intervals --cliff-baseline --json --list --help --version" -- "$cur"))
    elif [[ "${COMP_WORDS[1]}" == merge ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
    elif [[ "$cur" == ?=* ]]; then
        local letter="${cur%%=*}"
        COMPREPLY=($(compgen -f -- "${cur#*=}" | sed "s|^|$letter=|"))
    elif ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "log2csv analyze merge" -- "$cur") $(volstress-cli --list 2>/dev/null | cut -c1 | grep -i "^${cur:0:1}"))
    else
        COMPREPLY=($(volstress-cli --list 2>/dev/null | cut -c1 | grep -i "^${cur:0:1}"))
    fi
}
complete -o filenames -F _volstress_cli volstress-cli
