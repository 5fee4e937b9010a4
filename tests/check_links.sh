#!/bin/sh
# usage: check_links.sh FILE.md ...
#
# Fails on a link in the Markdown files given that points nowhere: to a file
# that is not there, relative to the file that links, or to a section that
# has no heading.  A section is named as Markdown renderers name it: its
# heading in lower case, punctuation left out, blanks made hyphens.  Links
# to other sites are left alone.
set -eu

# The sections of a Markdown file, one name a line.
sections() {
	awk '/^```/ { code = !code; next }
	!code && /^#+ / {
		sub(/^#+ +/, "")
		$0 = tolower($0)
		gsub(/[^a-z0-9 _-]/, "")
		gsub(/ /, "-")
		print
	}' "$1"
}

# The targets of the links in a Markdown file, one a line, leaving out code.
targets() {
	awk '/^```/ { code = !code; next }
	!code {
		line = $0
		gsub(/`[^`]*`/, "", line)
		while (match(line, /\]\([^)]*\)/)) {
			print substr(line, RSTART + 2, RLENGTH - 3)
			line = substr(line, RSTART + RLENGTH)
		}
	}' "$1"
}

status=0
for doc; do
	while IFS= read -r target; do
		case $target in
		'' | *://* | mailto:*) continue ;;
		\#*) file=$doc ;;
		*) file=$(dirname "$doc")/${target%%#*} ;;
		esac
		if [ ! -e "$file" ]; then
			echo "$doc: the link to $target: no file $file" >&2
			status=1
		elif [ "$target" != "${target#*#}" ] &&
			! sections "$file" | grep -qxF -- "${target#*#}"; then
			echo "$doc: the link to $target: no such section in $file" >&2
			status=1
		fi
	done <<-EOF
		$(targets "$doc")
	EOF
done
exit $status
