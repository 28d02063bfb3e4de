# Helpers the scripts in packaging/ share; sourced, not run. A failure
# anywhere, in a pipeline or a command substitution too, ends the script,
# and says where (died).
# shellcheck shell=bash
# shellcheck disable=SC2154 # work: the calling script's scratch folder, which it makes
set -eEuo pipefail
shopt -s inherit_errexit
trap 'died "$?" "${PIPESTATUS[*]}" "$BASH_COMMAND" "${BASH_SOURCE[0]:-$0}" "$LINENO"' ERR

# Names the file, the line and the command that ended the script, and its
# status, with each command's of a pipeline, whose last command alone
# bash names: a command killed by a signal (141: SIGPIPE, a pipe's reader
# gone) says nothing of it itself.
died() {
	local status=$1 statuses=$2 command=$3 file=${4##*packaging/} line=$5 signal=
	((status > 128)) && signal=" (SIG$(kill -l "$status" 2>/dev/null || echo "$((status - 128))"))"
	[[ $statuses == *' '* ]] && signal+=", its pipeline's commands' $statuses"
	echo "$file:$line: failed with status $status$signal: $command" >&2
}

fail() {
	echo "$*" >&2
	exit 1
}

# Ends the script, saying how to call it (the "# usage:" line of its
# header), unless it was given at least $1 arguments, the rest, none of
# them empty: an unset variable passed on would otherwise name nothing,
# or the working folder, and the script carry on.
arguments_given() {
	local least=$1 argument usage
	shift
	usage=$(sed -n 's/^# usage: /usage: /p' "$0")
	for argument; do
		[[ -n $argument ]] || fail "$script: an argument is empty; $usage"
	done
	(($# >= least)) || fail "$script: too few arguments; $usage"
}

# How long the script has run, in minutes and seconds: 12:05.
run_time() { printf '%d:%02d' $((SECONDS / 60)) $((SECONDS % 60)); }

# Each step's line says when it started, so that a log shows where the
# time goes.
step() { printf '\n--- [%s] %s\n' "$(run_time)" "$*"; }

# The running script's name within packaging/, as deb/repository, for its
# messages: several formats' scripts share a name.
script=${0##*packaging/}

# Runs one command, a simple one, with its output kept aside in $work/log
# ($work being the caller's scratch folder). If it fails, shows that output
# and one line naming the command, and ends the script.
quietly() {
	"$@" >"$work/log" 2>&1 || failed "$work/log" "$@"
}

# As quietly, but the command's standard output goes to file $1; only what
# it says on standard error is shown if it fails.
quietly_into() {
	local output=$1
	shift
	"$@" >"$output" 2>"$work/log" || failed "$work/log" "$@"
}

# Fails unless the command, the rest of the arguments, fails and says
# what $1 expects of it; what it said is left in $work/log.
must_fail() {
	local expected=$1
	shift
	if "$@" >"$work/log" 2>&1; then
		cat "$work/log"
		fail "$script: passed, but should have failed: $*"
	fi
	grep -F -- "$expected" "$work/log" ||
	    { cat "$work/log"; fail "$script: failed without saying: $expected"; }
}

# Shows log $1 and ends the script with one line naming the command that
# failed, the rest of the arguments.
failed() {
	cat "$1" >&2
	shift
	fail "$script: failed: $*"
}

# Fails unless every sum in folder $1's SHA256SUMS holds and it names every
# other file there but the signatures.
sums_hold() {
	local named present
	(cd "$1" && sha256sum --check --strict SHA256SUMS)
	named=$(awk '{ print $2 }' "$1/SHA256SUMS" | LC_ALL=C sort)
	present=$(files_in "$1" | grep -vx -e SHA256SUMS -e '.*\.asc')
	[[ $named == "$present" ]] ||
	    fail "SHA256SUMS names: $named"$'\n'"$1 holds: $present"
}

# The names of the files in folder $1, a line each, in a fixed order.
files_in() {
	find "$1" -mindepth 1 -maxdepth 1 -type f -printf '%f\n' | LC_ALL=C sort
}

# Unpacks the files of archive $1, a tarball, an RPM or an Arch Linux
# package, into folder $2, which it makes: libarchive reads them all.
unpacked() {
	mkdir "$2"
	bsdtar -xf "$1" -C "$2"
}

# Field $1 of the Debian control data (deb822: a .dsc, a buildinfo,
# licenses/linked-packages) in file $2, or standard input: its value in
# each paragraph that has it, a line each, the first line's if it holds
# one, then each continuation line without its leading space. Field names
# match whatever their case, as in Debian's own tools.
control_field() {
	awk -v field="$1" '
	    /^[^ \t]/ { listed = 0 }
	    tolower($0) ~ "^" tolower(field) ":" {
	        sub(/^[^:]*:[ \t]*/, ""); if ($0 != "") print; listed = 1; next }
	    listed && /^[ \t]/ { sub(/^[ \t]+/, ""); print }' "${2:--}"
}

# Fields $2... of each paragraph of the Debian control data in file $1
# (- for standard input) that has the first, a line each, their values
# (the first line's) apart by tabs.
control_fields() {
	local file=$1
	shift
	awk -v names="$*" '
	    BEGIN { n = split(tolower(names), wanted, " ") }
	    function flush(  i, line) {
	        if (!((1) in value)) return
	        line = value[1]
	        for (i = 2; i <= n; i++) line = line "\t" value[i]
	        print line
	        delete value
	    }
	    /^$/ { flush(); next }
	    /^[^ \t]/ {
	        name = tolower(substr($0, 1, index($0, ":") - 1))
	        for (i = 1; i <= n; i++)
	            if (name == wanted[i]) { sub(/^[^:]*:[ \t]*/, ""); value[i] = $0 }
	    }
	    END { flush() }' "$file"
}

# The versions of source package $1 that the licenses/linked-packages read
# on standard input name, one a line.
linked_versions_of() {
	local listed
	listed=$(control_fields - Source Source-Version)
	awk -F '\t' -v source="$1" '$1 == source { print $2 }' <<<"$listed" |
	    LC_ALL=C sort -u
}

# The architectures of cmake/architectures by their Debian names, a line
# each, in its order; with a suite, only those that suite's build root
# builds.
architecture_names() {
	awk -v suite="${1:-}" '!/^#/ && NF && (suite == "" || $7 == suite) { print $1 }' \
	    cmake/architectures
}

# Field $1 of the architecture Debian names $2, by its name:
# - as cmake/architectures gives it: machine (what `uname -m` prints
#   there, which the portable tarball's name ends in), emulator and cpu
#   (its baseline; "-" for the machine that builds natively), rpm and
#   arch (RPM's and Arch Linux's names for it), suite (of the build root
#   that builds it);
# - as the presets name them: deb_workflow and deb_preset, the workflow
#   that builds, tests and packs the .deb and its preset (the folder
#   under build/ it packs into, whose tests run it), and portable, the
#   workflow and preset of the portable tarball, RPM and Arch package.
# Fails for an architecture or a field it does not know.
architecture_field() {
	awk -v field="$1" -v architecture="$2" '
	    BEGIN {
	        n = split("debian machine emulator cpu rpm arch suite", names)
	        for (i = 1; i <= n; i++) column[names[i]] = i
	    }
	    !/^#/ && NF && $1 == architecture && !found++ {
	        native = ($3 == "-")
	        if (field == "deb_workflow") print native ? "package" : "package-" $1
	        else if (field == "deb_preset") print native ? "default" : "package-" $1
	        else if (field == "portable") print native ? "portable" : "portable-" $1
	        else if (field in column) print $column[field]
	        else unknown = 1
	    }
	    END { exit !found || unknown }' cmake/architectures ||
	    fail "$script: cmake/architectures gives no $1 of $2"
}

# The architectures of cmake/architectures that this machine emulates, a
# line each: the name field $1 gives (rpm, arch), then its emulator and
# baseline CPU.
emulated_architectures() {
	local architecture
	for architecture in $(architecture_names); do
		[[ $(architecture_field emulator "$architecture") == - ]] && continue
		echo "$(architecture_field "$1" "$architecture") $(architecture_field emulator "$architecture") $(architecture_field cpu "$architecture")"
	done
}

# The suites of the build roots, a line each, in the order
# cmake/architectures first names them.
root_suites() {
	awk '!/^#/ && NF && !seen[$7]++ { print $7 }' cmake/architectures
}

# The suite of the Debian release this runs on: in a build root, the root's.
this_suite() {
	(source /etc/os-release && echo "$VERSION_CODENAME")
}

# The name packaging/build-root.conf gives the root of suite $1 (debian-12).
root_name() {
	(suite=$1 && source packaging/build-root.conf && echo "$name")
}

# The source packages whose code the programs built in the root of suite
# $1 carry, as packaging/build-root.conf names them, on one line.
root_carried() {
	(suite=$1 && source packaging/build-root.conf && echo "${carried[*]}")
}

# The packages packaging/build-root.conf has the build root of suite $1
# hold besides build-essential, a line each: its packages, then each
# foreign package for each architecture that root builds but this
# machine's.
root_packages() {
	local suite=$1 native architecture
	native=$(dpkg --print-architecture)
	(
		source packaging/build-root.conf
		printf '%s\n' "${packages[@]}"
		for architecture in $(architecture_names "$suite"); do
			[[ $architecture == "$native" ]] ||
			    printf '%s\n' "${foreign_packages[@]//ARCH/$architecture}"
		done
	)
}

# Unless this runs in a build root already, runs the calling script again
# in each build root in turn (packaging/in-root), on one set of copies of
# this tree (without build/ and .git/) and of folder $1, which the script
# is then given as its first argument, the rest of the arguments after
# it; each run does the part of its root,
# and GLYPHROW_SHARED names a scratch folder they all share. Ends this
# script: failing with the first run that fails, the later roots left
# out, or once every root has had its run.
in_each_root() {
	[[ -n ${GLYPHROW_IN_ROOT:-} ]] && return
	local copies suite status=0
	copies=$(mktemp -d)
	mkdir "$copies/tree" "$copies/shared"
	tar --create --exclude=./build --exclude=./.git . |
	    tar --extract --directory="$copies/tree"
	cp -r "$1" "$copies/folder"
	for suite in $(root_suites); do
		GLYPHROW_SHARED=$copies/shared packaging/in-root "$suite" "$copies" \
		    "$copies/tree/packaging/$script" "$copies/folder" "${@:2}" ||
		    { status=$? && break; }
	done
	rm -rf "$copies"
	exit "$status"
}

# Whether this runs in the build root of the last suite root_suites names,
# whose run of a script that runs in each (in_each_root) comes last.
in_last_root() {
	[[ $(this_suite) == "$(root_suites | tail -n 1)" ]]
}

# The version of the source tree $1: its changelog's newest entry.
version_of() {
	sed -n '1s/^glyphrow (\([^)]*\)).*/\1/p' "$1/packaging/changelog"
}

# What comes before a version where the documents write one (an extended
# regular expression): a file name, a release folder, or the word.
# shellcheck disable=SC2034 # for the scripts that source this
version_written_after='(glyphrow[-_ (]|glyphrow-archive-keyring[-_]|releases/|[Vv]ersion )'

# The maintainer of the source tree $1: the newest changelog entry's, as
# its packages name them; older entries keep their own.
maintainer_of() {
	sed -n '/^ -- /{s/^ -- \(.*>\)  .*/\1/p;q}' "$1/packaging/changelog"
}

# Where the maintainers of the source tree $1 publish, as packaging/address
# names it; and whether address $1 is the placeholder no one serves.
published_address() {
	sed -n '/^[^#]/{p;q}' "$1/packaging/address"
}
placeholder_address() {
	[[ $1 == https://example.org/* ]]
}

# The package release of the source tree $1, the RPM's and Arch's, as
# packaging/CMakeLists.txt sets it.
package_release_of() {
	sed -n 's/^set(CPACK_GLYPHROW_PACKAGE_RELEASE \([0-9]\+\))$/\1/p' \
	    "$1/packaging/CMakeLists.txt"
}

# The fingerprint of key $1's primary key.
fingerprint_of() {
	local listed
	listed=$(gpg --batch --with-colons --fingerprint "$1")
	awk -F: '$1 == "fpr" { print $10; exit }' <<<"$listed"
}

# The fingerprints of the primary keys in OpenPGP key file $1, armoured or
# not, a line each in bytewise order.
key_fingerprints() {
	local listed
	listed=$(gpg --batch --with-colons --show-keys "$1" 2>/dev/null)
	awk -F: '$1 == "pub" { primary = 1 }
	    $1 == "fpr" && primary { print $10; primary = 0 }' <<<"$listed" |
	    LC_ALL=C sort
}

# Ends the script unless GLYPHROW_SIGNING_KEY is unset or names a secret
# key gpg can sign with: said before anything is built, not once all is.
signing_key_usable() {
	local said
	[[ -z ${GLYPHROW_SIGNING_KEY:-} ]] && return
	said=$(gpg --batch --quiet --local-user "$GLYPHROW_SIGNING_KEY" \
	    --detach-sign --output /dev/null /dev/null 2>&1) || {
		said=${said//gpg: /}
		fail "$script: GLYPHROW_SIGNING_KEY=$GLYPHROW_SIGNING_KEY cannot sign, so nothing was written (gpg: ${said//$'\n'/; }); gpg --list-secret-keys lists the keys it can sign with"
	}
}
