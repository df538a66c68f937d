#!/bin/bash
# The tool's lines in the system log are tagged app_kelvane whatever C
# library it is linked against (KELVANE_LIBC) and whatever name it was
# called by. Left to itself, glibc names a program's lines after the name
# it was called by, musl gives them no name at all and uClibc-ng names
# them "syslog"; the tool says its own name.
. "$(dirname "$0")/e2e.sh"

libc=${KELVANE_LIBC:-glibc}
case $libc in
    glibc) unnamed="the program's name" ;;
    musl) unnamed="no name" ;;
    uclibc) unnamed="syslog" ;;
    *) echo "e2e: no C library $libc" >&2; exit 1 ;;
esac

e2e_begin log_identity
e2e_boot

e2e_case "a refused registration, called as sshd, logs its reason under the name app_kelvane ($libc)"
device_run /bin/ln -s /usr/bin/app_kelvane /usr/sbin/sshd || e2e_fail "cannot link sshd to the tool"
DEVICE_APP=("${DEVICE_APP[@]:0:${#DEVICE_APP[@]}-1}" /usr/sbin/sshd)
mapfile -t args < <(for i in $(seq 1 13); do echo "/usr/bin/heartbeat -i $i"; done)
run_app register "${args[@]}"
expect_rc 0
echo "Register failed" | expect_out
# Nothing else logs between the marks of a run that does not signal init:
# every line there is the tool's, whatever it is tagged.
if [ ! -s "$E2E_OUT/log" ]; then
    e2e_fail "the run logged nothing"
elif grep -qv '^.\{15\} [^ ]* user\.info app_kelvane: ' "$E2E_OUT/log"; then
    e2e_fail "log lines not tagged app_kelvane ($libc tags a program's lines with $unnamed unless it says its name):"
    sed 's/^/    /' "$E2E_OUT/log"
fi

e2e_finish
