#!/bin/bash
# The rewrite in place (the inittab is a mount point, so no file can be
# renamed over it) killed at, or failing in, each of its calls.  A rewrite
# in place cannot be atomic: killed part way, it may leave the new content
# over the old, but never a file cut short or holding anything else.  A
# call that fails, though, is seen: the inittab is then the old content or
# the complete new one, never half written, and a reported failure says
# why in the system log.
. "$(dirname "$0")/fault.sh"

fault_begin faults_in_the_rewrite_in_place
fault_programs hb-a hb-b
mkdir -p "$DEVICE_ROOT/data"
# The register grows the file past a page, and past the copy's buffer.
fault_in_place_inittabs
cp "$FAULT_OUT/small.a" "$DEVICE_ROOT/data/inittab"
fault_boot
device_run /bin/mount -n --bind /data/inittab "$INITTAB" || device_die "cannot bind-mount the inittab"

inittab_is_mount_point() {
    awk '$5 == "/etc/inittab" { found = 1 } END { exit !found }' "/proc/$DEVICE_PID/mountinfo"
}
etc_listing=$(fault_listing /etc)

tried=0
crossed=0 # crashes that left the new content over the old
for edit in register deregister; do
    if [ "$edit" = register ]; then
        OLD=$FAULT_OUT/small.a NEW=$FAULT_OUT/small.ab AGAIN=("[Duplicated]" "Register failed")
    else
        OLD=$FAULT_OUT/large.ab NEW=$FAULT_OUT/large.a AGAIN=("[Nothing to deregister]" "Deregister failed")
    fi
    ARGS=("$edit" "/usr/bin/hb-b -i bound")
    FAILED_LINE="${edit^} failed"
    rm -f "$FAULT_OUT/plan.sweep"
    fault_sweep_plan "$edit in place, traced"
    grep -q '^ftruncate ' "$FAULT_OUT/plan" || fault_fail "the run did not rewrite in place"
    while read -r name index _ _ paths; do
        [ "$paths" = "$INITTAB," ] || continue
        case $name in
            fallocate | write) errors=(ENOSPC EIO) ;;
            ftruncate | fsync) errors=(EIO) ;;
            *) continue ;;
        esac
        for action in signal=KILL "${errors[@]/#/error=}"; do
            fault_case "$edit in place: $action at $name #$index"
            tried=$((tried + 1))
            fault_inject_at "$name" "$index" "$paths" "$action" --log -- "${ARGS[@]}" || continue
            state=$(fault_inittab_state "$OLD" "$NEW")
            if [ "$action" = signal=KILL ]; then
                if [ "$state" = other ]; then
                    crossed=$((crossed + 1))
                    fault_inittab_is_overlay "$OLD" "$NEW" ||
                        fault_fail "$INITTAB is cut short or holds bytes of neither content"
                fi
            elif [ "$state" = other ]; then
                fault_fail "$INITTAB is half written (- new, + actual):"
                fault_show_inittab_diff "$NEW"
            elif [ "$(cat "$FAULT_OUT/rest")" = "$FAILED_LINE" ]; then
                grep -qF "($(fault_error_text "${action#error=}"))" "$FAULT_OUT/applog" ||
                    fault_fail "the system log does not say why: $(tr '\n' '|' <"$FAULT_OUT/applog")"
                [ -z "$(fault_trace_kills)" ] || fault_fail "signals sent: $(fault_trace_kills | tr '\n' ' ')"
            else
                expect_out_lines
                [ "$state" = new ] || fault_fail "the run reports no failure, but $INITTAB is the old content"
            fi
            inittab_is_mount_point || fault_fail "$INITTAB is no longer a mount point"
            fault_sweep_next_run "$state" "$etc_listing"
        done
    done <"$FAULT_OUT/plan.sweep"
done

fault_case "summary"
echo "faults tried in the rewrite in place: $tried ($crossed crashes left new content over old)"
[ "$tried" -gt 0 ] || fault_fail "no fault was tried"
fault_finish
