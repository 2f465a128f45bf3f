#!/bin/bash
# The bash completion, sourced into plain bash: what it offers for a command
# line, the last word being the one completed.
#   completion_test.sh scripts/korvin.bash
set -u
source "$1" || exit 1

tmp=$(mktemp -d "${TMPDIR:-/tmp}/korvin-completion.XXXXXX") || exit 1
trap 'rm -rf "$tmp"' EXIT

# Stand-ins for korvin: one on PATH, one named by its path; each prints the
# listing its file holds for --list-ports, and nothing else.
fake_korvin() {
    mkdir -p "$1"
    printf '#!/bin/sh\n[ "$*" = --list-ports ] && cat "%s"\n' "$1/listing" >"$1/korvin"
    chmod +x "$1/korvin"
}
fake_korvin "$tmp/path"
fake_korvin "$tmp/other"
PATH=$tmp/path:$PATH

# A working folder for file names.
mkdir -p "$tmp/work/results"
touch "$tmp/work/run.log" "$tmp/work/report.xml"
cd "$tmp/work" || exit 1

# Prints what completing the last of the words offers, sorted, on one line.
offers() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _korvin "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

failed=0
expect() {
    local want=$1 got
    shift
    got=$(offers "$@")
    if [ "$got" != "$want" ]; then
        echo "FAILED: '$*' offers '$got', not '$want'"
        failed=$((failed + 1))
    fi
}

got=$(complete -p korvin)
[ "$got" = "complete -F _korvin korvin" ] || { echo "FAILED: complete -p korvin: $got"; failed=1; }

all_options="--ask-board --board-id --board-number --count --diagnose --dump --events --full --full-range --help --list-ports --peek --poke --probe-flash --record --report --report-dir --station --strict --summary --timeout --until-swapped --version --wait -c -h -l -p -v"
cat >"$tmp/path/listing" <<'EOF'
1                                                 COM1 (/dev/ttyS0), 16550A UART
/dev/ttyUSB0                                      FT232R USB UART
/dev/serial/by-id/usb-FTDI_FT232R_A10K1234-if00   FT232R USB UART
EOF
echo "7  COM7 (/dev/ttyS6), 16550A UART" >"$tmp/other/listing"

# want | command line
while IFS='|' read -r want line; do
    read -r -a words <<<"$line"
    # '' in the table is an empty word: completing after a space.
    for i in "${!words[@]}"; do
        [ "${words[i]}" = "''" ] && words[i]=""
    done
    expect "$want" "${words[@]}"
done <<EOF
$all_options|korvin -
--diagnose --dump|korvin --d
--record --report --report-dir|korvin -v --r
--station --strict|korvin --st
results|korvin --station --report-dir ''
|korvin --station --count ''
--strict|korvin sdram --str
flash sdram sram|korvin ''
sdram sram|korvin -c s
flash|korvin -p 1 f
/dev/serial/by-id/usb-FTDI_FT232R_A10K1234-if00 /dev/ttyUSB0 1|korvin -p ''
/dev/ttyUSB0|korvin -v -p /dev/tty
7|$tmp/other/korvin -p ''
report.xml results run.log|korvin -l ''
run.log|korvin sram -l ru
report.xml results|korvin --report re
|korvin --wait ''
|korvin --timeout 1
postgresql:// sqlite:|korvin --record ''
sqlite:run.log|korvin --summary sqlite:ru
--since --station|korvin --summary sqlite:r.db --s
EOF

# No ports: the listing's one line is no port name.
echo "No serial ports found." >"$tmp/path/listing"
expect "" korvin -p ""
# A korvin that lists nothing at all.
: >"$tmp/path/listing"
expect "" korvin -p ""

if [ $failed -ne 0 ]; then
    echo "$failed completion check(s) failed"
    exit 1
fi
echo "all completion checks passed"
