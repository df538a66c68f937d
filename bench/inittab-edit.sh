#!/bin/sh
# The shell script a user could write instead of app_kelvane: the same
# locked transaction on /etc/inittab with standard tools (flock, cp, grep,
# sed, kill), keeping the same count line, so that the benchmark compares
# equal work. It produces the same inittab as the tool for the cases the
# benchmark runs.
#
# Usage: inittab-edit.sh register|deregister PROCESS...
set -u

inittab=/etc/inittab
work=/tmp/tmp_watchdog
max_programs=12

# One edit at a time: the lock is held until the script exits.
exec 9>>/tmp/tmp_lockfile
flock 9 || exit 1

command=${1:-}
[ "$#" -gt 0 ] && shift

# Splits the count line into $orig and $new; false when there is none.
read_count_line() {
	line=$(grep -m 1 'Orig:' "$work") || return 1
	orig=${line#*Orig:}
	orig=${orig%% *}
	new=${line#*New:}
	new=${new%% *}
}

register() {
	for process; do
		[ -e "${process%% *}" ] || { echo "The file doesn't exist"; return 1; }
	done
	for process; do
		if grep -qxF "::respawn:$process" "$work"; then
			echo "[Duplicated]"
			return 1
		fi
	done
	if read_count_line; then
		total=$((new + $#))
		[ "$total" -le "$max_programs" ] || { logger "Exceed the maximum process running"; return 1; }
		sed -i "s/^# Orig:$orig New:$new\$/# Orig:$orig New:$total/" "$work"
	else
		[ "$#" -le "$max_programs" ] || { logger "Exceed the maximum process running"; return 1; }
		echo "# Orig:$(wc -l <"$work") New:$#" >>"$work"
	fi
	for process; do
		echo "::respawn:$process" >>"$work"
	done
}

deregister() {
	for process; do
		grep -qxF "::respawn:$process" "$work" || { echo "[Nothing to deregister]"; return 1; }
	done
	for process; do
		grep -vxF "::respawn:$process" "$work" >"$work.new"
		mv "$work.new" "$work"
	done
	if read_count_line; then
		sed -i "s/^# Orig:$orig New:$new\$/# Orig:$orig New:$((new - $#))/" "$work"
	fi
}

# Init must never read half a file: the new one is complete before the
# rename puts it in place.
replace_inittab() {
	cp "$work" "$inittab.new" && mv "$inittab.new" "$inittab"
}

stop_programs() {
	for process; do
		pids=$(pidof "${process%% *}") && kill "${pids%% *}"
	done
}

cp "$inittab" "$work" || exit 1
case $command in
register)
	if register "$@" && replace_inittab; then
		kill -HUP 1
	else
		echo "Register failed"
	fi
	;;
deregister)
	if deregister "$@" && replace_inittab; then
		kill -HUP 1
		stop_programs "$@"
	else
		echo "Deregister failed"
	fi
	;;
*)
	echo "usage: inittab-edit.sh register|deregister PROCESS..."
	;;
esac
rm -f "$work"
