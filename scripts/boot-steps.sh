# shellcheck shell=bash
# The boot-time update's steps in docs/deploying.md as the boot tests read them, sourced
# by scripts/boot-test.sh and scripts/vm-test.sh: they copy the files the steps name to
# where the steps say, so that a guide that drifts from the examples fails a boot.
# shellcheck disable=SC2016 # the guide's backquotes are matched, not expanded

# The guide whose steps the boot tests follow, from the top of the source tree.
# shellcheck disable=SC2034 # for the script that sources this file
boot_guide=docs/deploying.md

# The section "The boot-time update" of the guide FILE, up to the next heading; a line
# beginning with # inside a fenced block is a shell comment, not a heading.
boot_section() {
    awk '/^```/ { fenced = !fenced }
        !fenced && /^#+ / { if (on) exit; on = ($0 ~ /^#+ The boot-time update$/); next }
        on' "$1"
}

# The numbered steps of "The boot-time update", one a line.
boot_steps() {
    boot_section "$1" | awk '
        /^[0-9]+\. / { if (step != "") print step; step = $0; next }
        step != "" && /^   / { sub(/^ +/, " "); step = step $0; next }
        step != "" { print step; step = "" }
        END { if (step != "") print step }'
}

# Prints step NUMBER of the guide FILE, failing when it has none.
boot_step() {
    local step
    step=$(boot_steps "$1" | awk -v number="$2" 'index($0, number ". ") == 1')
    if [ -z "$step" ]; then
        echo "$1: no step $2 in \"The boot-time update\"" >&2
        return 1
    fi
    echo "$step"
}

# The copies a step asks for ("`file` to `/destination`"), one "file destination" a line,
# in the step's order; with LEAD, only those the step begins with those words ("Without
# systemd, ").
boot_step_copies() {
    boot_step "$1" "$2" | grep -o "${3:-}"'`[^`]*` to `[^`]*`' |
        sed 's/^.*`\([^`]*\)` to `\([^`]*\)`$/\1 \2/'
}

# The first copy of boot_step_copies into step_file and step_destination, failing when
# the step asks for none.
boot_step_copy() {
    local copy
    copy=$(boot_step_copies "$@" | head -n 1)
    if [ -z "$copy" ]; then
        echo "$1: step $2 of \"The boot-time update\" names no ${3:-}\`file\` to \`/destination\`" >&2
        return 1
    fi
    # shellcheck disable=SC2034 # for the script that sources this file
    read -r step_file step_destination <<<"$copy"
}

# The quoted commands of a step that begin with WORD ("systemctl").
boot_step_commands() {
    boot_step "$1" "$2" | grep -o '`[^`]*`' | tr -d '`' | awk -v word="$3" '$1 == word'
}

# The folder the guide says the examples are installed in.
boot_examples_folder() {
    boot_section "$1" | grep -o 'The examples in `[^`]*`' | head -n 1 | sed 's/.*`\(.*\)`/\1/'
}

# Sets NAME=VALUE in a settings file that has a NAME= line, failing when it has none.
set_setting() {
    grep -q "^$2=" "$1" || { echo "$1: no $2= to set" >&2; return 1; }
    sed -i "s|^$2=.*|$2=$3|" "$1"
}

# The name the guide gives the init script under BusyBox.
boot_busybox_name() {
    boot_step "$1" "$2" | grep -o '`[^`]*` under BusyBox' | sed 's/^`\([^`]*\)`.*/\1/'
}

# Copies FILE from the folder FROM to DESTINATION below the root ROOT, as a step says: a
# destination that ends in / is a folder that keeps the file's name. NAME renames the copy.
boot_copy() {
    local root=$1 from=$2 file=$3 destination=$4 name=${5:-}
    if [[ $destination == */ ]]; then
        destination=$destination${name:-$file}
    fi
    mkdir -p "$root$(dirname "$destination")"
    cp "$from/$file" "$root$destination"
    echo "$destination"
}
