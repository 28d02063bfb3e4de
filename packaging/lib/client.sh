# What the repository checks (packaging/*/repository-check) share, each
# running real clients on throwaway roots; sourced, common.sh with it. Each
# check makes its scratch folder, work, and has checked_up run at its
# exit.
# shellcheck shell=bash
# shellcheck disable=SC2154 # work: the calling check's scratch folder, which it makes
# shellcheck source=packaging/lib/common.sh
source "${BASH_SOURCE[0]%/*}/common.sh"

# What a check does at its exit, however it ends: its HTTP servers and
# other jobs stopped, its scratch folder removed.
checked_up() {
	# shellcheck disable=SC2046 # process IDs, a word each
	kill $(cat "$work/servers" 2>/dev/null) $(jobs -p) 2>/dev/null || true
	wait
	rm -rf "$work"
}

# The N of the check's arguments $@, [--upgrades N] RELEASE_FOLDER: how
# many times in a row each client is to install and upgrade, and nothing
# more; 0 without it. Ends the script if N is not a whole number above 0.
upgrades_asked() {
	[[ $1 == --upgrades ]] || { echo 0 && return; }
	[[ $2 =~ ^[1-9][0-9]*$ && $# -ge 3 ]] ||
	    fail "$script: --upgrades takes a whole number above 0, then the release folder; $(sed -n 's/^# usage: /usage: /p' "$0")"
	echo "$2"
}

# Fails unless what the last block run by as_document_says showed names
# the fingerprint of GLYPHROW_SIGNING_KEY, as a user compares it.
fingerprint_shown() {
	local fingerprint
	fingerprint=$(fingerprint_of "$GLYPHROW_SIGNING_KEY")
	grep -qF "$fingerprint" "$work/readme.log" ||
	    fail "$script: the fingerprint shown is not $fingerprint"
}

# Makes a key of kind $2 (rsa4096, ed25519) with user ID $1 in GNUPGHOME
# $work/other-key, for a repository signed by a key users do not trust.
other_key_made() {
	[[ -d $work/other-key ]] || mkdir -m 0700 "$work/other-key"
	GNUPGHOME=$work/other-key gpg --batch --quiet --passphrase '' \
	    --quick-generate-key "someone else <$1>" "$2" sign 1d
}

# Runs both programs, each named first, as a user would: directory $1's,
# by the command $2... if given (an emulator, or in_root and a root).
programs_run() {
	local folder=$1 program
	shift
	for program in glyphrow_hollow glyphrow_solid; do
		echo "\$ $program"
		"$@" "$folder/$program"
	done
}

# Adds to root $1 the user "user", who may run anything as root through
# sudo with no password asked, as the documents' commands expect; the
# machine's name resolves, as the installer sets it, or sudo says it
# cannot.
sudo_user_added() {
	in_root "$1" useradd --create-home --shell /bin/bash user
	echo 'user ALL=(ALL:ALL) NOPASSWD: ALL' >"$1/etc/sudoers.d/user"
	echo "127.0.1.1 $(hostname)" >>"$1/etc/hosts"
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

# Runs the calling check's install_and_upgrade of each client $2... $1
# times in a row, as its --upgrades N asks, to show that none fails by
# chance.
upgraded_times() {
	local times=$1 client run
	shift
	for client; do
		for ((run = 1; run <= times; run++)); do
			echo "$client: run $run of $times"
			install_and_upgrade "$client"
		done
	done
	echo "$script: each client installed and upgraded $times times in a row"
}

# Runs a command on system $1: this machine for /, or else the Debian
# root there (in_root).
on_system() {
	local system=$1
	shift
	if [[ $system == / ]]; then "$@"; else in_root "$system" "$@"; fi
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
# first that fails; the document's address is the served repository's,
# $5, its FINGERPRINT that of GLYPHROW_SIGNING_KEY; run in folder $6 of
# the root where given, the folder of the files the user downloaded,
# which is also the document's FOLDER. Fails too if apt or pacman says
# there is an error, or apt warns.
as_document_says() {
	local root=$1 block commands lines fingerprint
	fingerprint=$(fingerprint_of "$GLYPHROW_SIGNING_KEY")
	block=$(document_block "$2" "$3" "$4")
	[[ -n $block ]] || fail "$script: $2 has no sh block $4 under: $3"
	commands="cd ${6:-/home/user} || exit"$'\n'$(sed -e 's/$/ || exit $?/' \
	    -e "s|https://example.org/glyphrow/|$5|g" \
	    -e "s|FOLDER|${6:-FOLDER}|g" \
	    -e "s|FINGERPRINT|$fingerprint|g" <<<"$block")
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

# Serves folder $1 over HTTP on 127.0.0.1 until the check ends
# (checked_up stops it), and prints its URL. The server binds a port the
# kernel chooses and says which, so the clients reach this server and no
# other.
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
	echo "$!" >>"$work/servers"
	# Its first line, once the socket listens; none if it failed.
	read -r port <"$work/http.port" || true
	[[ -n $port ]] || failed "$work/http.log" "the HTTP server of $1"
	echo "http://127.0.0.1:$port"
}

# Builds a throwaway version, one patch above this tree's, with workflow
# preset $1 in a scratch clone of this commit in folder $2, dated a minute
# after this version (a client takes no metadata older than what it has),
# and prints that version. The clone's build/ holds what it packed.
newer_version_built() {
	local preset=$1 clone=$2 version major minor patch epoch maintainer newer
	version=$(version_of .)
	IFS=. read -r major minor patch <<<"$version"
	newer=$major.$minor.$((patch + 1))
	git clone --quiet . "$clone"
	epoch=$(env -u SOURCE_DATE_EPOCH cmake -P packaging/cmake/source_date.cmake)
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
	echo "$newer"
}
