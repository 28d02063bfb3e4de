# Turns packaging/changelog, Debian's form, into the entries of an RPM
# package's %changelog, newest first: a heading with the date, maintainer
# and version-release, then each item as a "- " line.
/^glyphrow \(/ {
	version = $2
	gsub(/[()]/, "", version)
	items = ""
}
/^  \* / { items = items "- " substr($0, 5) "\n" }
/^    / { items = items "  " substr($0, 5) "\n" }
/^ -- / {
	who = $0
	sub(/^ -- /, "", who)
	sub(/>  .*/, ">", who)
	date = $0
	sub(/.*>  /, "", date)
	command = "LC_ALL=C date --utc --date='" date "' '+%a %b %d %Y'"
	command | getline day
	close(command)
	gsub(/%/, "%%", items)
	printf "* %s %s - %s-1\n%s\n", day, who, version, items
}
