#!/bin/sh
# The manual page must format without a single complaint from mandoc's
# strictest check, and from groff's warnings where groff is installed.
#
# usage: lint_page.sh PAGE MANDOC [GROFF]
set -eu

page=$1
mandoc=$2
groff=${3:-}

if ! command -v "$mandoc" >/dev/null 2>&1; then
	echo "mandoc is needed to check the manual page (Debian package mandoc)" >&2
	exit 1
fi

# Two kinds of line speak of the machine, not of the page: whether the
# pages named under SEE ALSO are installed here, and the state of the
# machine's page database. Everything else is a finding.
findings=$("$mandoc" -T lint -W all "$page" 2>&1 |
	grep -v -e ': STYLE: referenced manual not found: Xr ' \
	        -e '^mandoc: outdated mandoc\.db lacks ' || true)
if [ -n "$findings" ]; then
	printf '%s\n' "$findings"
	echo "mandoc -T lint reports the findings above" >&2
	exit 1
fi
echo "mandoc -T lint -W all: nothing to report on $page"

if [ -n "$groff" ]; then
	warnings=$("$groff" -ww -z -mandoc "$page" 2>&1) || {
		printf '%s\n' "$warnings"
		echo "groff failed on $page" >&2
		exit 1
	}
	if [ -n "$warnings" ]; then
		printf '%s\n' "$warnings"
		echo "groff -ww reports the warnings above" >&2
		exit 1
	fi
	echo "groff -ww -z: nothing to report on $page"
fi
