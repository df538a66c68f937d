#!/bin/bash
# The suite of the sandboxed device against weakened copies of the tool.
# Each copy leaves out one thing the tool promises; at least one test must
# report a failed check for it.  A copy that every test passes is a gap in
# the suite: this check then fails and names the weakening.
#
# Usage: mutants.sh SOURCE_DIR WORK_DIR [NAME...], with the inputs of the
# device tests (tests/device/target.sh) in the environment; KELVANE_TOOL is
# replaced by each weakened copy in turn (the NAMEd ones only, if given).
set -uo pipefail
source_dir=$1
work=$2
shift 2
tests=(command_line register deregister limit real_world_inittab lock_wait concurrent)

# NAME@FILE@LINE@REPLACEMENT: the weakening NAME replaces each line of
# src/FILE that is exactly LINE (tabs included) with REPLACEMENT.
mutants=$(cat <<'LIST'
no SIGHUP to init@kelvane.cpp@	kill(setting->init_pid, SIGHUP);@
no SIGTERM on deregister@process_control.cpp@		kill(pid, SIGTERM);@
count line never rewritten@inittab_edit.cpp@		Kelvane_WriteTotalCountLine(&table->slots[at], orig, total);@		;
count line never rewritten@inittab_edit.cpp@		Kelvane_WriteTotalCountLine(&table->slots[at], orig, static_cast<long long>(news) - n);@		;
lock never taken@file_services.cpp@		if (flock(*handle, LOCK_EX | LOCK_NB) != 0) {@		if (false) {
working copy not removed@kelvane.cpp@	if (remove(setting->working_copy) != 0 && (made || errno != ENOENT))@	if (false)
no fsync of the new inittab@file_services.cpp@	if (fsync(out) != 0) {@	if (false) {
LIST
)

# Copies the sources to DIR and applies every line of weakening NAME; fails
# when a line to weaken is not found, as after a change of the sources.
weaken() {
    local name=$1 dir=$2 file line replacement
    rm -rf "$dir"
    cp -R "$source_dir/src" "$dir"
    while IFS=@ read -r _ file line replacement; do
        awk -v old="$line" -v new="$replacement" '
            $0 == old { hits++; if (new != "") print new; next }
            { print }
            END { exit hits == 0 }' "$dir/$file" >"$dir/$file.new" || {
            echo "weakening '$name': no line '$line' in src/$file" >&2
            return 1
        }
        mv "$dir/$file.new" "$dir/$file"
    done < <(grep -F "$name@" <<<"$mutants")
}

# Builds the tool from DIR as the debug build does, but without the
# warnings that a weakened copy may give.
build() {
    local dir=$1 object objects=()
    for object in kelvane inittab_edit process_control file_services; do
        g++ -std=c++17 -O1 -fno-exceptions -fno-rtti -D_FILE_OFFSET_BITS=64 -D_GNU_SOURCE \
            -I"$dir" -c "$dir/$object.cpp" -o "$dir/$object.o" || return 1
        objects+=("$dir/$object.o")
    done
    gcc -o "$dir/app_kelvane" "${objects[@]}"
}

# The device tests that report a failed check with the tool at TOOL, two at
# a time; a test that could not run catches nothing.
catching_tests() {
    local tool=$1 name pids=() caught=()
    for name in "${tests[@]}"; do
        KELVANE_TOOL=$tool DEVICE_WORK=$work/device.$name \
            bash "$source_dir/tests/device/e2e_$name.sh" >"$work/$name.log" 2>&1 &
        pids+=($!)
        if [ ${#pids[@]} = 2 ]; then
            wait "${pids[@]}"
            pids=()
        fi
    done
    wait "${pids[@]}" 2>/dev/null
    for name in "${tests[@]}"; do
        grep -q '^FAIL \[' "$work/$name.log" && caught+=("device.$name")
    done
    echo "${caught[*]}"
}

mkdir -p "$work"
status=0
while read -r name; do
    dir=$work/$(tr ' ' '-' <<<"$name")
    if ! weaken "$name" "$dir" || ! build "$dir"; then
        echo "FAIL: the weakening '$name' could not be made"
        status=1
        continue
    fi
    caught=$(catching_tests "$dir/app_kelvane")
    if [ -n "$caught" ]; then
        echo "caught: $name, by $caught"
    else
        echo "FAIL: no test catches the weakening '$name'"
        status=1
    fi
done < <(if [ $# -gt 0 ]; then printf '%s\n' "$@"; else cut -d@ -f1 <<<"$mutants" | uniq; fi)
[ "$status" != 0 ] || rm -rf "$work"
exit "$status"
