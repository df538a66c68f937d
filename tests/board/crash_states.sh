#!/bin/bash
# Every crash state of a register and a deregister, on the board's ext4.
# qemu logs every write and flush that reaches the board's /etc disk
# (blklogwrites, the kernel's dm-log-writes format). The tool registers a
# program and deregisters it; then the shell script a user would write
# instead (bench/inittab-edit.sh: cp to a file beside the inittab and mv,
# no fsync) does the same. For each run, logreplay rebuilds from the log
# every state a power cut could have left: every prefix of the writes, and
# for every flush epoch every subset of its writes on top of the epochs
# before it. Each state must check clean once its journal is replayed and
# hold the inittab from before or after the run, byte for byte; a state
# that holds the last flush before the run returned must hold the one
# after. The tool must pass in every state; with noauto_da_alloc the
# script must not (an empty or stale inittab, or old after it returned),
# or the test could not tell a careless copy back from a safe one.
# Usage: crash_states.sh MOUNT_OPTIONS typical|large
# Environment: BOARD_LOGREPLAY (the host's logreplay); CRASH_SEED (the seed
# of the random subsets of large epochs, printed; random by default).
. "$(dirname "$0")/../device/e2e.sh"

options=${1:?the mount options of /etc}
size=${2:?typical or large}
replay=${BOARD_LOGREPLAY:?BOARD_LOGREPLAY names the logreplay program}
seed=${CRASH_SEED:-$RANDOM}
cycle="/usr/bin/heartbeat -i cycle"
started=$SECONDS

case $size in
    typical) fixture=$TYPICAL ;;
    large) fixture=$DEVICE_WORK/inittab.large.$$ ;;
    *) device_die "the inittab is typical or large, not $size" ;;
esac
if [ "$size" = large ]; then
    # About 10,000 lines: one copy takes several write requests.
    mkdir -p "$DEVICE_WORK"
    "$(dirname "$0")/../../bench/gen-inittab" "$TYPICAL" 10000 "$fixture" ||
        device_die "cannot make the large inittab"
fi
export BOARD_LOG_WRITES=yes BOARD_ETC_OPTIONS=$options
e2e_begin "crash_states_${size}_${options//[^a-z0-9]/_}" "$fixture"
[ "$size" = typical ] || rm -f "$fixture"
mkdir -p "$DEVICE_ROOT/usr/libexec"
cp "$(dirname "$0")/../../bench/inittab-edit.sh" "$DEVICE_ROOT/usr/libexec/inittab-edit.sh"
script=/usr/libexec/inittab-edit.sh

# The three inittabs the runs pass through: as installed, with the
# program registered, and with it deregistered (the count line stays).
cp "$DEVICE_ROOT/etc/inittab" "$E2E_OUT/installed"
inittab_with "$E2E_OUT/registered" "$E2E_OUT/installed" 1 "$cycle"
inittab_with "$E2E_OUT/deregistered" "$E2E_OUT/installed" 0

# The count line, if any, counts the lines before it and the entries after.
count_line_agrees() {
    awk '/^# Orig:[0-9]+ New:[0-9]+$/ && !seen { seen = 1; split($2, o, ":"); split($3, n, ":");
            orig = o[2]; new = n[2]; before = NR - 1; next }
        seen && /^::respawn:/ { entries++ }
        END { exit seen && (orig != before || new != entries + 0) }' "$1"
}

# log_count VAR: the entries the log's superblock counts, into VAR.  A log
# that cannot be read ends the test (logreplay says why).
log_count() {
    local count
    if ! count=$("$replay" count "$BOARD_WRITE_LOG"); then
        e2e_fail "the write log cannot be read"
        e2e_finish
    fi
    printf -v "$1" '%s' "$count"
}

# Everything the board holds for /etc on the disk, and in the log: the
# second sync's flush covers what the first wrote back after its own (the
# journal's metadata, put in place once committed).
sync_twice() {
    device_run /bin/sh -c 'sync && sync'
}

# track NAME EXPECTED_OLD EXPECTED_NEW CMD...: one run of CMD on the board,
# between two syncs; BEFORE, RETURNED and END of NAME are the log's entries
# before it, when it returned, and after the syncs that follow.  The log
# is read on the host, a few milliseconds after the run returned on the
# board: a flush of the board's own in those milliseconds would count as
# before the return, which only makes the check stricter.
declare -A before=() returned=() end=()
runs=()
track() {
    local name=$1 old=$2 new=$3 out
    shift 3
    runs+=("$name")
    device_get /etc/inittab >"$E2E_OUT/$name.old"
    cmp -s "$old" "$E2E_OUT/$name.old" || e2e_fail "$name starts from an inittab other than $(basename "$old")"
    sync_twice
    log_count "before[$name]"
    out=$(device_run "$@" </dev/null 2>&1)
    RC=$?
    log_count "returned[$name]"
    # The board's own commit comes first, as on a device left alone after
    # a run: ext4 commits the rename within commit=1's second, whether or
    # not the new file's data has reached the disk.
    sleep 2
    sync_twice
    log_count "end[$name]"
    device_get /etc/inittab >"$E2E_OUT/$name.new"
    if [ "$RC" != 0 ] || [ -n "$out" ]; then
        e2e_fail "$name: status $RC, output: $out"
    fi
    cmp -s "$new" "$E2E_OUT/$name.new" || e2e_fail "$name left an inittab other than $(basename "$new")"
}

e2e_case "the three inittabs have count lines that agree with their entries"
for state in installed registered deregistered; do
    count_line_agrees "$E2E_OUT/$state" || e2e_fail "the count line of $state does not agree"
done

e2e_boot
e2e_case "/etc is ext4 on the logged disk, mounted with $options"
# shellcheck disable=SC2016 # awk's fields
mount_options=,$(device_run /usr/bin/awk '$2 == "/etc" && $3 == "ext4" { print $4 }' /proc/mounts),
for option in ${options//,/ }; do
    [[ $mount_options == *",$option,"* ]] || e2e_fail "/etc is mounted ${mount_options:-not at all}, without $option"
done

if [ "$size" = large ]; then
    e2e_case "requests of at most 64 KiB, as a small device's flash controller takes"
    # So that one copy of the large inittab takes several of them.
    device_sh 'echo 64 >/sys/block/vda/queue/max_sectors_kb' || e2e_fail "cannot limit the disk's requests"
fi

e2e_case "register and deregister with the tool, then with the shell script"
track tool.register "$E2E_OUT/installed" "$E2E_OUT/registered" "${DEVICE_APP[@]}" register "$cycle"
track tool.deregister "$E2E_OUT/registered" "$E2E_OUT/deregistered" "${DEVICE_APP[@]}" deregister "$cycle"
track script.register "$E2E_OUT/deregistered" "$E2E_OUT/registered" /bin/sh "$script" register "$cycle"
track script.deregister "$E2E_OUT/registered" "$E2E_OUT/deregistered" /bin/sh "$script" deregister "$cycle"
board_cut

e2e_case "replaying the whole log gives the disk qemu wrote"
total=
log_count total
cp --sparse=always "$BOARD_LOG_BASE" "$E2E_OUT/replayed.img"
if ! "$replay" apply "$BOARD_WRITE_LOG" "$E2E_OUT/replayed.img" "1-$total"; then
    e2e_fail "the log cannot be replayed"
    e2e_finish
fi
if cmp -s "$E2E_OUT/replayed.img" "$BOARD_DISK"; then
    rm -f "$E2E_OUT/replayed.img"
else
    e2e_fail "the replay of $total entries differs from the disk: $(cmp "$E2E_OUT/replayed.img" "$BOARD_DISK" 2>&1 | head -n 1)"
    # Kept with the outputs, for a look at what differs.
    cp "$BOARD_WRITE_LOG" "$E2E_OUT/etc.log"
    cp --sparse=always "$BOARD_DISK" "$E2E_OUT/etc.img"
    cp --sparse=always "$BOARD_LOG_BASE" "$E2E_OUT/etc.base.img"
fi

e2e_case "a log that cannot be read is refused with the reason"
expect_refused() {
    local what=$1 message=$2 err
    if err=$("$replay" count "$E2E_OUT/damaged.log" 2>&1); then
        e2e_fail "logreplay read a log with $what: $err"
    elif [[ $err != *"$message"* ]]; then
        e2e_fail "logreplay refused a log with $what without saying so: $err"
    fi
}
cp "$BOARD_WRITE_LOG" "$E2E_OUT/damaged.log"
printf '\x99' | dd of="$E2E_OUT/damaged.log" bs=1 seek=0 conv=notrunc status=none
expect_refused "a wrong magic" "wrong magic"
head -c "$(($(stat -c %s "$BOARD_WRITE_LOG") / 2))" "$BOARD_WRITE_LOG" >"$E2E_OUT/damaged.log"
expect_refused "half its entries missing" "past the end of the log"
rm -f "$E2E_OUT/damaged.log"

# What a state holds: unclean (the file system is not clean once its
# journal is replayed), old or new (the inittab of before or after the
# run), empty, or other.  WHAT is where its inittab is kept.
state_of() {
    local base=$1 list=$2 old=$3 new=$4 image=$E2E_OUT/state.img
    cp --sparse=always "$base" "$image"
    "$replay" apply "$BOARD_WRITE_LOG" "$image" "$list" || { echo unreadable; return; }
    # The kernel replays the journal when it mounts; here e2fsck does.
    e2fsck -E journal_only -p "$image" >/dev/null 2>&1
    if [ $? -gt 1 ] || ! e2fsck -fn "$image" >"$E2E_OUT/state.fsck" 2>&1; then
        echo unclean
        return
    fi
    debugfs -R "cat /inittab" "$image" 2>/dev/null >"$E2E_OUT/state.inittab"
    if cmp -s "$E2E_OUT/state.inittab" "$old"; then echo old
    elif cmp -s "$E2E_OUT/state.inittab" "$new"; then echo new
    elif [ ! -s "$E2E_OUT/state.inittab" ]; then echo empty
    else echo other
    fi
}

# Says what a faulty state held.
show_fault() {
    local name=$1 label=$2 kind=$3 need=$4
    case $kind in
        old) echo "    $name $label: the inittab from before the run, after the run had returned" ;;
        empty) echo "    $name $label: an empty inittab" ;;
        unclean) echo "    $name $label: the file system is not clean after journal replay:"
            sed 's/^/        /' "$E2E_OUT/state.fsck" | head -n 12 ;;
        other) echo "    $name $label: an inittab that is neither state ($(wc -c <"$E2E_OUT/state.inittab") bytes; against the one after):"
            diff "$E2E_OUT/$name.new" "$E2E_OUT/state.inittab" | head -n 12 | sed 's/^/        /' ;;
        *) echo "    $name $label: $kind (need $need)" ;;
    esac
}

# check_run NAME: every crash state of the run NAME. Sets FAULTS.
check_run() {
    local name=$1 base=$E2E_OUT/$1.base.img from=$SECONDS
    local need label list kind states=0 distinct=0 shown=0 figures
    local -A kind_of=() tally=()
    FAULTS=0
    cp --sparse=always "$BOARD_LOG_BASE" "$base"
    [ "${before[$name]}" = 0 ] || "$replay" apply "$BOARD_WRITE_LOG" "$base" "1-${before[$name]}" ||
        { e2e_fail "$name: the disk before the run cannot be rebuilt"; return; }
    "$replay" states "$BOARD_WRITE_LOG" "${before[$name]}" "${returned[$name]}" "${end[$name]}" "$seed" \
        >"$E2E_OUT/$name.states" || { e2e_fail "$name: no crash states from the log"; return; }
    while read -r need label list; do
        kind=${kind_of[$list]:-}
        if [ -z "$kind" ]; then
            kind=$(state_of "$base" "$list" "$E2E_OUT/$name.old" "$E2E_OUT/$name.new")
            kind_of[$list]=$kind
            distinct=$((distinct + 1))
        fi
        states=$((states + 1))
        tally[$kind]=$((${tally[$kind]:-0} + 1))
        case $need:$kind in
            any:old | any:new | new:new) continue ;;
        esac
        FAULTS=$((FAULTS + 1))
        if [ "$shown" -lt 5 ]; then
            shown=$((shown + 1))
            # The shown file is the last one checked: check it again.
            state_of "$base" "$list" "$E2E_OUT/$name.old" "$E2E_OUT/$name.new" >/dev/null
            show_fault "$name" "$label (writes $list)" "$kind" "$need"
        fi
    done <"$E2E_OUT/$name.states"
    rm -f "$base" "$E2E_OUT/state.img"
    figures=$("$replay" summary "$BOARD_WRITE_LOG" "$((before[$name] + 1))" "${returned[$name]}")
    echo "   $name: $figures until it returned;" \
        "$("$replay" summary "$BOARD_WRITE_LOG" "$((before[$name] + 1))" "${end[$name]}") until the sync after it"
    echo "   $name: $states crash states ($distinct distinct disks, entries ${before[$name]}+1 to ${end[$name]}," \
        "returned at ${returned[$name]}) in $((SECONDS - from)) s:" \
        "$(for k in old new empty other unclean unreadable; do printf '%s %s, ' "$k" "${tally[$k]:-0}"; done)faulty $FAULTS"
}

echo "   seed of the random subsets: $seed (CRASH_SEED=$seed repeats them)"
script_faults=0
for name in "${runs[@]}"; do
    e2e_case "every crash state of $name"
    check_run "$name"
    case $name in
        tool.*) [ "$FAULTS" = 0 ] || e2e_fail "$FAULTS crash states of $name lose or mangle the inittab" ;;
        script.*) script_faults=$((script_faults + FAULTS)) ;;
    esac
done

e2e_case "the careless script is caught"
case ,$options, in
    *,noauto_da_alloc,*)
        # Without ext4's flush on replace, a copy back without fsync must
        # show; if it does not, the states prove nothing for the tool.
        [ "$script_faults" -gt 0 ] ||
            e2e_fail "no crash state of the script without fsync is faulty: the test cannot see a careless copy back" ;;
    *) echo "   (mounted without noauto_da_alloc, the script's faults are counted, not required)" ;;
esac
echo "   $script_faults faulty crash states of the script; $((SECONDS - started)) s in all"
e2e_finish
