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

# Starts making folder $2 a fresh minimal root of Debian suite $1, with
# packages $3... and Debian's sources as a user has them (the suite's
# main component, and its updates and security fixes where the suite
# has them), for the clients a check runs; client_root_made waits for it.
# It is made in the background, as part of its time goes to waiting on
# the archive: a check starts its roots first and builds meanwhile. The archive serves
# sid's Release past the Valid-Until it gives, which apt refuses as
# expired: a sid root is a throwaway that reads the archive once, for the
# newest clients, so it is taken as it is.
declare -A making_root=()
client_root() {
	local suite=$1 root=$2 packages options=() sources
	packages=$(IFS=,; echo "${*:3}")
	sources=("deb http://deb.debian.org/debian $suite main")
	if [[ $suite == sid ]]; then
		options=(--aptopt='Acquire::Check-Valid-Until "false"')
	else
		sources+=("deb http://deb.debian.org/debian $suite-updates main"
		    "deb http://deb.debian.org/debian-security $suite-security main")
	fi
	mmdebstrap --variant=minbase --mode=root "${options[@]}" \
	    --include="$packages" "$suite" "$root" "${sources[@]}" >"$root.log" 2>&1 &
	making_root[$root]=$!
}

# Waits for root $1 that client_root began; fails, showing what
# mmdebstrap said, if it could not be made.
client_root_made() {
	wait "${making_root[$1]}" || failed "$1.log" mmdebstrap of "$1"
	rm "$1.log"
}

# Runs a command as root of root $1 (a Debian root a check made), with /proc
# and /dev, the clients' output in the C locale. The root is a mount point
# of its own, as a system's is: pacman looks up the file system it
# installs onto. Its /dev/shm is its own too: the command is PID 1 of a
# namespace of its own, like every other root's, and faketime names its
# shared memory there by its PID, so two roots' at once would collide
# ("faketime: sem_open: File exists").
in_root() {
	local root=$1
	shift
	# shellcheck disable=SC2016 # the inner shell expands its arguments
	unshare --mount --fork --pid -- sh -c 'root=$0 &&
	    mount --bind "$root" "$root" &&
	    mount --rbind /dev "$root/dev" && mount -t tmpfs shm "$root/dev/shm" &&
	    mount -t proc proc "$root/proc" &&
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
# $5, its FINGERPRINT that of GLYPHROW_SIGNING_KEY, or document_fingerprint
# where that is set; run in folder $6 of the root where given, the folder
# of the files the user downloaded, which is also the document's FOLDER.
# Fails if apt or pacman says there is an error, or apt warns; returns the
# block's status.
as_document_says() {
	local root=$1 block commands lines fingerprint status=0
	fingerprint=${document_fingerprint:-$(fingerprint_of "$GLYPHROW_SIGNING_KEY")}
	block=$(document_block "$2" "$3" "$4")
	[[ -n $block ]] || fail "$script: $2 has no sh block $4 under: $3"
	commands="cd ${6:-/home/user} || exit"$'\n'$(sed -e 's/$/ || exit $?/' \
	    -e "s|$(published_address .)|$5|g" \
	    -e "s|FOLDER|${6:-FOLDER}|g" \
	    -e "s|FINGERPRINT|$fingerprint|g" <<<"$block")
	mapfile -t lines <<<"$block"
	printf '# %s\n' "${lines[@]}"
	# Every question asked, answered yes, as at a terminal; yes ends,
	# killed by SIGPIPE, once the commands are done, which is no fault.
	in_root "$root" runuser -u user -- env HOME=/home/user \
	    bash -c "$commands" < <(yes || true) 2>&1 | tee "$work/readme.log" ||
	    status=$?
	if grep -E '^(W: |E: |error: )' "$work/readme.log"; then
		fail "$script: apt or pacman warned as above"
	fi
	return "$status"
}

# Runs block $4 of section $3 of document $2 in root $1 as
# as_document_says does, with the served repository's address $5, but with
# a fingerprint that is not the key's, as a user who mistyped it or read
# another: the block must stop, and paths $6... of the root, where the
# client keeps the keys it trusts and its repositories, must be as they
# were.
untouched_with_wrong_fingerprint() {
	local root=$1 document=$2 section=$3 number=$4 address=$5 before
	shift 5
	before=$(paths_state "$root" "$@")
	echo "with a wrong fingerprint:"
	if document_fingerprint=0123456789ABCDEF0123456789ABCDEF01234567 \
	    as_document_says "$root" "$document" "$section" "$number" "$address"; then
		fail "$script: $document's block $number under $section went on with a wrong fingerprint"
	fi
	[[ $(paths_state "$root" "$@") == "$before" ]] ||
	    fail "$script: $document's block $number under $section changed $* in $root with a wrong fingerprint"
	echo "stopped, nothing of $* changed"
}

# The names and sums of the files under paths $2... of root $1, absent
# ones named so.
paths_state() {
	local root=$1 path
	shift
	for path; do
		if [[ -e $root$path ]]; then
			find "$root$path" -type f -exec sha256sum {} + | sort
		else
			echo "no $path"
		fi
	done
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

# Copies into folder $2 the packages preset $1 packs (configure, build and
# package) of a throwaway version, one patch above this tree's, dated a
# minute after this version (a client takes no metadata older than what
# it has), and prints that version. It is built in a clone of this
# commit, build/newer-COMMIT, each preset once, which the checks of the
# commit share: CI runs them side by side, and each waits for the build
# another began. Its tests are left out: only its packages are wanted.
newer_version_built() {
	local preset=$1 into=$2 version major minor patch epoch newer shared lock
	local built
	version=$(version_of .)
	IFS=. read -r major minor patch <<<"$version"
	newer=$major.$minor.$((patch + 1))
	epoch=$(env -u SOURCE_DATE_EPOCH cmake -P packaging/cmake/source_date.cmake)
	shared=$PWD/build/newer-$(git rev-parse HEAD)
	mkdir -p build "$into"
	# The clone made under one lock; each preset built under its own, so
	# that a check wanting one preset never waits for another's build.
	exec {lock}>>build/newer.lock
	flock "$lock"
	if [[ ! -d $shared ]]; then
		rm -rf build/newer-*/ "$shared.new"
		git clone --quiet . "$shared.new"
		(cd "$shared.new" && packaging/new-version --date "@$((epoch + 60))" \
		    "$newer" "A throwaway version, to check upgrades.") >"$work/log" 2>&1 ||
		    failed "$work/log" "new-version $newer"
		mkdir -p "$shared.new/build"
		mv "$shared.new" "$shared"
	fi
	exec {built}>>"$shared/build/$preset.lock"
	flock "$built"
	exec {lock}>&-
	if [[ ! -f $shared/build/$preset.packed ]]; then
		(
			cd "$shared"
			# Each step chained, as errexit does not hold here, left of ||.
			unset SOURCE_DATE_EPOCH &&
			    cmake --preset "$preset" -DBUILD_TESTING=OFF &&
			    cmake --build --preset "$preset" && cpack --preset "$preset"
		) >"$work/log" 2>&1 || failed "$work/log" "the build of $newer"
		touch "$shared/build/$preset.packed"
	fi
	exec {built}>&-
	find "$shared/build/$preset" -maxdepth 1 -type f -name "*[-_]${newer}[-_.]*" \
	    -exec cp -t "$into" {} +
	echo "$newer"
}

# A change of key, as each client follows it. The calling check sets
# served and address (serve's folder and URL) and release (its release
# folder), and defines, for its client $1 and its root named $2, which follows the
# served repository of that name:
# - set_up CLIENT NAME REPOSITORY: the root made as the README says, for
#   served repository REPOSITORY, trusting only the key at its top, and
#   glyphrow-archive-keyring and glyphrow installed from it;
# - followed CLIENT NAME [FINGERPRINT]: the client's usual update and
#   upgrade, its copy of the metadata as old as time passing leaves it,
#   run after the command in array clock (faketime, say) where it is set;
#   where the client asks to trust a new key, it shows FINGERPRINT's and
#   the answer is yes;
# - refused CLIENT NAME: the same update fails, and says why;
# - keyring_installed CLIENT NAME: the version of glyphrow-archive-keyring
#   there, without the packing's number;
# - resigned FOLDER KEY: a copy of a repository signed by KEY alone, as
#   the format's clients check it.
# A client named in array past_expiry_taken takes a repository signed
# past the first expiry of the key it trusts, without the keyring
# package's extension (zypper, which may take the extended key from the
# repository's key file itself): for it, the refusal past expiry is not
# shown.
clock=()
past_expiry_taken=()

# Makes in $work/rotation what a change of key publishes, with
# GLYPHROW_SIGNING_KEY as the old key: the keyrings gnupg-before, a copy
# of GNUPGHOME, and gnupg, the same with the old key's expiry moved on by
# two years, a new key (next@glyphrow.invalid) and a stranger's
# (stranger@glyphrow.invalid); release folders of keyring packages of
# format $1, each of a version after this tree's: extended (the old key
# as extended), start and switch (it and the new key), finish (the new
# key alone, the old one retired); rotation_version names the version of
# each. Then rotation_published, once for every client of the check,
# in repositories of that format.
declare -A rotation_version=()
rotation_prepared() {
	local rotation=$work/rotation version major minor patch epoch n=0 step
	local old home key keys retired
	format=$1
	mkdir -p "$rotation"
	old=$(fingerprint_of "$GLYPHROW_SIGNING_KEY")
	for home in gnupg-before gnupg; do
		mkdir -m 0700 "$rotation/$home"
		gpg --batch --export-secret-keys "$old" |
		    GNUPGHOME=$rotation/$home quietly gpg --batch --import
		echo "$old:6:" | GNUPGHOME=$rotation/$home quietly gpg --import-ownertrust
	done
	local -x GNUPGHOME=$rotation/gnupg
	quietly gpg --batch --pinentry-mode loopback --passphrase '' \
	    --quick-set-expire "$old" 2y
	for key in next stranger; do
		quietly gpg --batch --passphrase '' --quick-generate-key \
		    "glyphrow $key <$key@glyphrow.invalid>" rsa4096 sign 1y
	done
	version=$(version_of .)
	IFS=. read -r major minor patch <<<"$version"
	epoch=$(env -u SOURCE_DATE_EPOCH cmake -P packaging/cmake/source_date.cmake)
	for step in extended:"$old" start:"$old":next switch:"$old":next finish:next; do
		n=$((n + 1))
		IFS=: read -r -a keys <<<"$step"
		rotation_version[${keys[0]}]=$major.$minor.$((patch + n))
		keys=("${keys[@]/#next/next@glyphrow.invalid}")
		gpg --batch --armor --export "${keys[@]:1}" >"$rotation/${keys[0]}.asc"
		retired=()
		if [[ ${keys[0]} == finish ]]; then
			echo "$old" >"$rotation/retired"
			retired=(--retired "$rotation/retired")
		fi
		SOURCE_DATE_EPOCH=$((epoch + n * 60)) quietly \
		    packaging/libexec/keyring-packages "${retired[@]}" "$rotation/${keys[0]}.asc" \
		    "$rotation/${keys[0]}" "${rotation_version[${keys[0]}]}" "$1"
	done
	rotation_published
}

# Publishes, with the release folder of the calling check, release, and
# its newer version in $work/newer-release, each state of the repository
# a change of key goes through, as the maintainers publish it, and keeps
# a copy of each as state rotation-STATE: set-up, the release
# signed by the old key as it was; extended, the keyring package of the
# extended key added; then, signed three days later, past the old key's
# first expiry: start, both keys signing; switch, the new key alone
# signing, the newer version added; finish, the old key dropped.
# Published once, each client follows copies of them (step_served):
# a publication costs more than many a client's update.
rotation_published() {
	local rotation=$work/rotation old new=next@glyphrow.invalid
	old=$GLYPHROW_SIGNING_KEY
	published set-up gnupg-before "$old" "$release"
	published extended gnupg "$old" "$rotation/extended"
	clock=(faketime -f +3d)
	published start gnupg "$old" "$rotation/start" "$new"
	published switch gnupg "$new" "$rotation/switch" "" "$work/newer-release"
	published finish gnupg "$new" "$rotation/finish"
	clock=()
}

# Runs the rest of the arguments, a shell function among them, with the
# clock of array clock where it is set: the variables its command (faketime)
# sets, so that every program the function runs has that clock.
clocked() {
	local preload faked
	if ((${#clock[@]} == 0)); then
		"$@"
		return
	fi
	# shellcheck disable=SC2016 # expanded by the shell the clock runs
	read -r preload faked < <("${clock[@]}" bash -c 'echo "$LD_PRELOAD $FAKETIME"')
	(
		export LD_PRELOAD=$preload FAKETIME=$faked
		"$@"
	)
}

# Publishes release folders $4, then $6... into the repository of
# rotation_published, $work/published/rotation, from keyring $2 of
# rotation_prepared (gnupg-before, gnupg) with GLYPHROW_SIGNING_KEY=$3
# and, where $5 is given, --start-rotation $5; at the time of array clock
# where it is set, so that its signatures are made then. Keeps a copy of
# the repository then as state rotation-$1.
published() {
	local state=$1 repository=$work/published/rotation options=() release
	[[ -z ${5:-} ]] || options+=(--start-rotation "$5")
	for release in "$4" "${@:6}"; do
		GNUPGHOME=$work/rotation/$2 GLYPHROW_SIGNING_KEY=$3 \
		    quietly "${clock[@]}" "packaging/$format/repository" "${options[@]}" \
		    --uri "$address/published/" "$repository" "$release"
	done
	cp -a "$repository" "$repository-$state"
}

# Publishes once, for every client of the check, the two states of a
# repository of format $1 that each client's install and upgrade goes
# through, as step_served serves them: upgrade-from, the served
# repository good, of the check's release; upgrade-to, with the newer
# version in $work/newer-release added.
upgrade_published() {
	local repository=$work/published/upgrade
	format=$1
	mkdir -p "$work/published"
	address_moved "$served/good" "$repository" good published
	cp -a "$repository" "$repository-from"
	quietly "packaging/$format/repository" --uri "$address/published/" \
	    "$repository" "$work/newer-release"
	cp -a "$repository" "$repository-to"
}

# Copies served repository $1 as $2, its address there, where its files
# at the top name one, that of the served repository $4, not $3.
address_moved() {
	local named
	rm -rf "${2:?}"
	cp -a "$1" "$2"
	mapfile -t named < <(find "$2" -maxdepth 1 -type f \
	    -exec grep -lF "$address/$3/" {} + || true)
	((${#named[@]})) || fail "$script: no file at the top of $1 names its address"
	sed -i "s|$address/$3/|$address/$4/|" "${named[@]}"
}

# Serves as repository $1 a copy of state $2 of rotation_published or
# upgrade_published, its address there that repository's.
step_served() {
	address_moved "$work/published/$2" "$served/$1.new" published "$1"
	rm -rf "${served:?}/$1"
	mv "$served/$1.new" "$served/$1"
}

# Client $1, in its root named $2, refuses the served repository of that
# name, or $4, once re-signed by key $3 alone, says why, and installs
# nothing; then the repository is as before. The signature is made, and
# checked, at the time of array clock where it is set.
refused_signed_by() {
	local client=$1 name=$2 key=$3 repository=${4:-$2} before
	before=$(keyring_installed "$client" "$name")
	mv "$served/$repository" "$served/$repository.kept"
	cp -a "$served/$repository.kept" "$served/$repository"
	GNUPGHOME=$work/rotation/gnupg clocked resigned "$served/$repository" "$key"
	echo "signed by $key alone:"
	refused "$client" "$name"
	rm -rf "${served:?}/$repository"
	mv "$served/$repository.kept" "$served/$repository"
	[[ $(keyring_installed "$client" "$name") == "$before" ]] ||
	    fail "$script: $client installed from the repository signed by $key"
}

# Client $1, in its root named $2, its clock past the first expiry of the
# key it trusts, refuses the served repository $3 re-signed then by that
# key, says why, and installs nothing: what shows that the clock a check
# moves on is the one the client checks keys by. (A signature made before
# the expiry holds after it for some clients: Debian 13's apt, with sqv.)
# The root is one of its own, as a client whose clock went back keeps
# what it made of the keys (pacman's trust database, say).
refused_past_expiry() {
	clock=(faketime -f +3d)
	refused_signed_by "$1" "$2" "$GLYPHROW_SIGNING_KEY" "$3"
	# shellcheck disable=SC2034 # the check's refused runs its client after it
	clock=()
}

# Client $1 follows the served repository $2 to the keyring package of
# step $3 of rotation_prepared, with fingerprint $4 where it is to show
# one.
followed_to() {
	local client=$1 name=$2 wanted=${rotation_version[$3]} have
	followed "$client" "$name" "${4:-}"
	have=$(keyring_installed "$client" "$name")
	[[ $have == "$wanted" ]] ||
	    fail "$script: $client has glyphrow-archive-keyring $have, not $wanted"
	echo "$client: glyphrow-archive-keyring $have"
}

# Runs rotation_followed for each client $1..., side by side, each with a
# scratch folder of its own within work (its roots, its log), sharing
# what rotation_prepared published, the newer release and the entries of work
# that array rotation_shared names; then the function named by
# rotation_checked, if set, for the client in that folder. Shows each
# client's lines in turn, and fails after them if any failed.
rotation_shared=()
rotation_in_folder() {
	local work=$2
	rotation_followed "$1"
	[[ -z ${rotation_checked:-} ]] || "$rotation_checked" "$1"
}
rotations_side_by_side() {
	local client failed=() own shared
	local -A rotating=()
	for client; do
		own=$work/$client
		mkdir "$own"
		for shared in rotation published newer-release "${rotation_shared[@]}"; do
			ln -s "$work/$shared" "$own/"
		done
		rotation_in_folder "$client" "$own" >"$own.log" 2>&1 &
		rotating[$client]=$!
	done
	for client; do
		wait "${rotating[$client]}" || failed+=("$client")
		cat "$work/$client.log"
		rm -rf "${work:?}/$client" "$work/$client.log"
	done
	((${#failed[@]} == 0)) ||
	    fail "$script: the change of key failed for ${failed[*]}, as said above"
}

# Client $1, in a root of its own named rot-$1, set up as the README says
# with the old key, follows a change of key, served to it as
# rotation_published made it, with its usual update command alone: the
# old key's expiry extended, which a second root, set up alike but left
# behind, refuses three days later, past the first expiry, as faketime
# sets its clock; then, the client's clock three days on, the three
# steps. At each step, the repository re-signed by a stranger's key is
# refused, and before the switch, re-signed by the new key alone. Last, a
# root set up after the change, with the new key, installs the check's
# newer version of glyphrow, published at the switch.
rotation_followed() {
	local client=$1 name=rot-$1 rotation=$work/rotation new=next@glyphrow.invalid
	step "$client, a change of key: set up as the README says, trusting the old key alone"
	step_served "$name" rotation-set-up
	set_up "$client" "$name" "$name"
	[[ " ${past_expiry_taken[*]} " == *" $client "* ]] ||
	    set_up "$client" "$name-unextended" "$name"
	echo "$client: glyphrow-archive-keyring $(keyring_installed "$client" "$name")"
	refused_signed_by "$client" "$name" stranger@glyphrow.invalid
	refused_signed_by "$client" "$name" "$new"

	step "$client, a change of key: the old key's expiry extended"
	step_served "$name" rotation-extended
	if [[ " ${past_expiry_taken[*]} " == *" $client "* ]]; then
		echo "$client takes a repository signed past the key's first expiry without the extension: no refusal to show"
	else
		echo "three days later, past the key's first expiry, a root that has not taken the extension:"
		refused_past_expiry "$client" "$name-unextended" "$name"
	fi
	echo "the same day:"
	followed_to "$client" "$name" extended
	# From here on the client's clock is three days on, as the
	# publications' was, so that each step below is signed and checked
	# past the old key's first expiry.
	echo "three days later, and at every step below:"
	clock=(faketime -f +3d)
	followed "$client" "$name"

	step "$client, a change of key: (a) start, both keys signing"
	step_served "$name" rotation-start
	refused_signed_by "$client" "$name" stranger@glyphrow.invalid
	refused_signed_by "$client" "$name" "$new"
	followed_to "$client" "$name" start

	step "$client, a change of key: (b) switch, the new key alone signing"
	# A new glyphrow too, the check's newer version, whose package a
	# root set up after the change installs.
	step_served "$name" rotation-switch
	refused_signed_by "$client" "$name" stranger@glyphrow.invalid
	followed_to "$client" "$name" switch \
	    "$(GNUPGHOME=$rotation/gnupg fingerprint_of "$new")"

	step "$client, a change of key: (c) finish, the old key dropped"
	step_served "$name" rotation-finish
	refused_signed_by "$client" "$name" stranger@glyphrow.invalid
	followed_to "$client" "$name" finish

	step "$client, a change of key: a root set up afterwards, with the new key"
	set_up "$client" "$name-after" "$name"
	echo "$client: glyphrow-archive-keyring $(keyring_installed "$client" "$name-after")"
	# shellcheck disable=SC2034
	clock=()
}
