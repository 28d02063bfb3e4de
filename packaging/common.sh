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

step() { printf '\n--- %s\n' "$*"; }

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

# Every file below folder $1 with its SHA-256, a line each, in a fixed
# order: to compare a repository before and after a step.
folder_sums() {
	(cd "$1" && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
}

# Unpacks the files of RPM $1 into folder $2, which it makes. The payload
# goes through a file, not a pipe: cpio stops reading at the archive's
# trailer, which can kill rpm2cpio, still writing, with SIGPIPE.
rpm_unpacked() {
	mkdir "$2"
	rpm2cpio "$1" >"$2.cpio"
	(cd "$2" && cpio --extract --make-directories --quiet) <"$2.cpio"
	rm "$2.cpio"
}

# The versions of source package $1 that the licenses/linked-packages read
# on standard input name, one a line.
linked_versions_of() {
	awk -v source="$1" '$1 == "Source:" { wanted = ($2 == source) }
	    wanted && $1 == "Source-Version:" { print $2 }' | LC_ALL=C sort -u
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
# is then given as its one argument; each run does the part of its root,
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
		    "$copies/tree/packaging/$script" "$copies/folder" ||
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

# The package release of the source tree $1, the RPM's and Arch's, as
# packaging/CMakeLists.txt sets it.
package_release_of() {
	sed -n 's/^set(CPACK_GLYPHROW_PACKAGE_RELEASE \([0-9]\+\))$/\1/p' \
	    "$1/packaging/CMakeLists.txt"
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

# Ends the script, before anything is written, unless this publication
# is signed as the repository it adds to: with index $1 there, signed
# when signature $2 is there too. Unsigned over a signed repository would
# leave its old signatures beside new indexes, which clients then refuse
# or, as apt with an old InRelease, quietly take for the whole; signed
# over an unsigned one would mix packages signed and not.
signed_as_before() {
	local index=$1 signature=$2
	[[ -e $index ]] || return 0
	if [[ -e $signature && -z ${GLYPHROW_SIGNING_KEY:-} ]]; then
		fail "$script: $index is signed ($signature): set GLYPHROW_SIGNING_KEY to its key to publish into it; unsigned, the old signatures would stay beside new indexes. Nothing was written"
	elif [[ ! -e $signature && -n ${GLYPHROW_SIGNING_KEY:-} ]]; then
		fail "$script: $index is unsigned (no $signature): publish into it with GLYPHROW_SIGNING_KEY unset, or signed into a new repository; nothing was written"
	fi
}

# Whether signature $1, clear-signed (InRelease) or detached, holds over
# file $2 and was made by GLYPHROW_SIGNING_KEY's primary key or a subkey
# of it: a publication ended before its last signature leaves none, or
# an old one.
signed_by_key() {
	local signature=$1 data=$2 primary status
	[[ -f $signature && -f $data ]] || return 1
	primary=$(gpg --batch --with-colons --list-keys "$GLYPHROW_SIGNING_KEY" |
	    awk -F: '$1 == "fpr" && !printed++ { print $10 }')
	if [[ ${signature##*/} == InRelease ]]; then
		gpg --batch --quiet --yes --output "$work/clear-signed" --decrypt \
		    "$signature" 2>/dev/null || return 1
		cmp --quiet "$work/clear-signed" "$data" || return 1
		status=$(gpg --batch --status-fd 1 --verify "$signature" 2>/dev/null) ||
		    return 1
	else
		status=$(gpg --batch --status-fd 1 --verify "$signature" "$data" \
		    2>/dev/null) || return 1
	fi
	[[ $status =~ VALIDSIG\ [^$'\n']*\ $primary($'\n'|$) ]]
}

# Ends the script, nothing written, as repository $1 holds release folder
# $2 already: publishing it again, after an interrupted upload say, is no
# fault.
published_already() {
	echo "$script: $1 holds every package of $2 already, its indexes${GLYPHROW_SIGNING_KEY:+ and signatures} whole: nothing changed"
	exit 0
}

# Whether repository $1 holds whole what this publication made in folder
# $2, laid out as the repository: each file $3... it made, the same bytes
# there; and each signature it made, named SIGNATURE:FILE, there made by
# GLYPHROW_SIGNING_KEY over that file there, not left stale or missing
# by a publication ended half way.
whole_there() {
	local there=$1 made=$2 file
	shift 2
	for file; do
		[[ -e $made/${file%%:*} ]] || continue
		if [[ $file == *:* ]]; then
			signed_by_key "$there/${file%%:*}" "$there/${file#*:}" || return 1
		else
			cmp --quiet "$made/$file" "$there/$file" || return 1
		fi
	done
}

# Ends the script unless $2 is the absolute http(s) or file address users
# will fetch the repository from, given by --uri or variable $1: the file
# they install names it, and a wrong one fails only on their machines.
repository_address_given() {
	[[ $2 =~ ^(https?://[^/]|file:///[^/]) ]] ||
	    fail "$script: the repository's address is needed, for the file users install: --uri URI (or $1), such as --uri https://example.org/glyphrow/${2:+; not: $2}"
}

# Dates files $3... (a repository's index files, as written for a new
# publication) $1, in seconds since the epoch, or a second after the date
# of $2 (the same file as published before, if any), whichever is later.
# A web server gives that date as Last-Modified, and answers a client
# that asks If-Modified-Since with the date it holds "not modified" unless
# the file is later: each publication must be, even two made within one
# second.
dated_after() {
	local date=$1 previous=$2 before
	shift 2
	if [[ -e $previous ]]; then
		before=$(stat --format=%Y "$previous")
		((date > before)) || date=$((before + 1))
	fi
	touch --no-create --no-dereference --date="@$date" "$@"
}

# With GLYPHROW_SIGNING_KEY, ends the script unless its primary key is RSA
# of 4096 bits that can sign, which every RPM and pacman client verifies
# (RHEL 9 refuses SHA-1 and, in practice, Ed25519); then prints what
# makes gpg sign with that primary key rather than a subkey: its
# fingerprint and "!". Without a key, prints nothing.
rsa_signer() {
	local algorithm bits fingerprint capabilities
	[[ -n ${GLYPHROW_SIGNING_KEY:-} ]] || return 0
	read -r algorithm bits fingerprint capabilities < <(gpg --batch \
	    --with-colons --list-secret-keys "$GLYPHROW_SIGNING_KEY" |
	    awk -F: '$1 == "sec" { key = $4 " " $3 " "; caps = $12 }
	        $1 == "fpr" && key != "" && !printed++ { print key $10 " " caps }')
	[[ $algorithm == 1 && $bits -ge 4096 ]] ||
	    fail "$script: GLYPHROW_SIGNING_KEY=$GLYPHROW_SIGNING_KEY is not an RSA key of 4096 bits (gpg's algorithm $algorithm, $bits bits): every RPM and pacman client verifies RSA, while RHEL 9 and its rebuilds refuse SHA-1 and, in practice, Ed25519 signatures"
	[[ $capabilities == *s* ]] ||
	    fail "$script: the primary key of GLYPHROW_SIGNING_KEY=$GLYPHROW_SIGNING_KEY cannot sign; the repository's signature must be the primary key's"
	echo "$fingerprint!"
}

# Makes the files below folders $@, a client's cache of a repository's
# metadata, a week old, as time passing would: each client takes newer
# metadata from the server only once its own copy is old enough by a rule
# of its own, named where each check calls this, and steps a second apart
# or less, as a fast machine runs them, are too close for some. A week is
# more than any of those rules asks for.
cache_aged() {
	local week_ago
	week_ago=$(($(date +%s) - 7 * 24 * 60 * 60))
	find "$@" -exec touch --no-dereference --date="@$week_ago" {} +
}

# The version of Debian package $2 installed in root $1.
installed_version() {
	# shellcheck disable=SC2016 # dpkg-query's own format
	in_root "$1" dpkg-query --show --showformat='${Version}' "$2"
}

# Runs the calling check's install_and_upgrade of client $2 $1 times in a
# row, as its --upgrades N asks, to show that none fails by chance.
upgraded_times() {
	local times=$1 client=$2 run
	for ((run = 1; run <= times; run++)); do
		echo "run $run of $times"
		install_and_upgrade "$client"
	done
}

# Makes folder $2 a fresh minimal root of Debian suite $1, with packages
# $3... and the suite's main component as its source, for the clients a
# check runs. The archive serves sid's Release past the Valid-Until it
# gives, which apt refuses as expired: a sid root is a throwaway that
# reads the archive once, for the newest clients, so it is taken as it
# is.
client_root() {
	local suite=$1 root=$2 packages options=()
	packages=$(IFS=,; echo "${*:3}")
	[[ $suite == sid ]] &&
	    options=(--aptopt='Acquire::Check-Valid-Until "false"')
	quietly mmdebstrap --variant=minbase --mode=root "${options[@]}" \
	    --include="$packages" "$suite" "$root" \
	    "deb http://deb.debian.org/debian $suite main"
}

# Runs a command as root of root $1 (a Debian root a check made), with /proc
# and /dev, the clients' output in the C locale. The root is a mount point
# of its own, as a system's is: pacman looks up the file system it
# installs onto.
in_root() {
	local root=$1
	shift
	# shellcheck disable=SC2016 # the inner shell expands its arguments
	unshare --mount --fork --pid -- sh -c 'root=$0 &&
	    mount --bind "$root" "$root" &&
	    mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" &&
	    exec chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
	        HOME=/root LC_ALL=C DEBIAN_FRONTEND=noninteractive "$@"' \
	    "$root" "$@"
}

# The commands of sh block $3 (counting from 1) of document $1's section
# headed $2, a line each, as a user pastes them.
document_block() {
	awk -v heading="$2" -v wanted="$3" '
	    /^#/ { within = ($0 == heading) }
	    within && /^```sh$/ { inside = (++blocks == wanted); next }
	    /^```$/ { inside = 0 }
	    inside { print }' "$1"
}

# Runs block $4 of section $3 of document $2 in root $1, in one shell as
# the root's user, "user", pastes it, every line in turn, stopping at the
# first that fails; the document's address is that of served repository
# $5 (of serve's $address), its FINGERPRINT the caller's $fingerprint; run
# in folder $6 of the root where given, the folder of the files the user
# downloaded, which is also the document's FOLDER. Fails too if apt or
# pacman says there is an error, or apt warns.
as_document_says() {
	local root=$1 block commands lines
	block=$(document_block "$2" "$3" "$4")
	[[ -n $block ]] || fail "$script: $2 has no sh block $4 under: $3"
	commands="cd ${6:-/home/user} || exit"$'\n'$(sed -e 's/$/ || exit $?/' \
	    -e "s|https://example.org/glyphrow/|$address/$5/|g" \
	    -e "s|FOLDER|${6:-FOLDER}|g" \
	    -e "s|FINGERPRINT|${fingerprint:-FINGERPRINT}|g" <<<"$block")
	mapfile -t lines <<<"$block"
	printf '# %s\n' "${lines[@]}"
	# Every question asked, answered yes, as at a terminal; yes ends,
	# killed by SIGPIPE, once the commands are done, which is no fault.
	in_root "$root" runuser -u user -- env HOME=/home/user \
	    bash -c "$commands" < <(yes || true) 2>&1 | tee "$work/readme.log"
	if grep -E '^(W: |E: |error: )' "$work/readme.log"; then
		fail "$script: apt or pacman warned as above"
	fi
}

# Serves folder $1 over HTTP on 127.0.0.1, in the background until the
# script ends (its trap kills its jobs), and sets address to its URL. The
# server binds a port the kernel chooses and says which, so the clients
# reach this server and no other.
serve() {
	local port=
	mkfifo "$work/http.port"
	python3 -c '
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler,
    directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
print(server.server_address[1], flush=True)
server.serve_forever()' "$1" 2>"$work/http.log" >"$work/http.port" &
	# Its first line, once the socket listens; none if it failed.
	read -r port <"$work/http.port" || true
	[[ -n $port ]] || failed "$work/http.log" "the HTTP server of $1"
	address=http://127.0.0.1:$port
}

# Builds a throwaway version, one patch above this tree's, with workflow
# preset $1 in a scratch clone of this commit in folder $2, dated a minute
# after this version (a client takes no metadata older than what it has),
# and sets newer to that version. The clone's build/ holds what it packed.
newer_version_built() {
	local preset=$1 clone=$2 version major minor patch epoch maintainer
	version=$(version_of .)
	IFS=. read -r major minor patch <<<"$version"
	newer=$major.$minor.$((patch + 1))
	git clone --quiet . "$clone"
	epoch=$(env -u SOURCE_DATE_EPOCH cmake -P packaging/source_date.cmake)
	maintainer=$(sed -n '/^ -- /{s/^ -- \(.*>\)  .*/\1/p;q}' packaging/changelog)
	(
		cd "$clone"
		sed -i "s/^    VERSION $version\$/    VERSION $newer/" CMakeLists.txt
		{
			echo "glyphrow ($newer) unstable; urgency=medium"
			echo
			echo "  * A throwaway version, to check upgrades."
			echo
			echo " -- $maintainer  $(LC_ALL=C date --utc --date="@$((epoch + 60))" -R)"
			echo
			cat packaging/changelog
		} >"$work/changelog"
		mv "$work/changelog" packaging/changelog
		env -u SOURCE_DATE_EPOCH cmake --workflow --preset "$preset"
	) >"$work/log" 2>&1 || failed "$work/log" "the build of $newer"
}
