#!/bin/sh
# usage: check_manual.sh PAGE OS
# Renders the manual page with each formatter at hand; any warning, from
# groff, man or mandoc's linter, fails, and so does a rendered page whose
# footer does not name the system OS (the program and its version).
set -u
page=$1
os=$2
status=0

for tool in groff man; do
	if ! command -v $tool >/dev/null; then
		echo "$tool not installed: manual page not checked"
		exit 77
	fi
done

check() {
	msgs=$("$@" 2>&1 >/dev/null)
	if [ -n "$msgs" ]; then
		printf '%s:\n%s\n' "$*" "$msgs"
		status=1
	fi
}

check groff -mandoc -ww -z "$page"
MANWIDTH=80 check man -l "$page"
if command -v mandoc >/dev/null; then
	check mandoc -T lint -W warning "$page"
else
	echo "mandoc not installed: lint skipped"
fi
rendered=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
printf '%s\n' "$rendered" | grep -q '^NAME' || status=1
footer=$(printf '%s\n' "$rendered" | sed '/^$/d' | tail -n 1)
case $footer in
"$os "*" $os") ;;
*)
	echo "footer does not name $os: $footer"
	status=1
	;;
esac
exit $status
