# The publication of a release folder's packages into a repository, the
# same for every format; sourced (common.sh with it) by each format's
# repository script, which calls publish "$@" once it has set:
# - address_variable: the variable that gives the address users fetch
#   the repository from when --uri is not given (GLYPHROW_APT_URI);
# - package_glob: the names of the release's packages (glyphrow_*.deb);
# - entry_file: the file at the repository's top that users install to
#   add it, which names its address;
# - signed_index and index_signature: the index whose signature says
#   whether the repository is signed, within it (a glob: the first match
#   counts), and what its signature's name adds to its own (.gpg);
# - clients: those the entry file sets up, which refuse an unsigned
#   repository;
# and defined, each printing its result:
# - package_folder PACKAGE: the folder of the repository it goes in;
# - package_version PACKAGE, and version_older A B, whether version A is
#   older than B by the format's own comparison;
# - package_date PACKAGE: its build time, in seconds since the epoch;
# - indexes_made OUT REPOSITORY URI SIGNER: writes in folder OUT, laid
#   out as the repository, everything but the packages that the
#   publication changes, and prints the files that go in last, a line
#   each in the order they go in: its indexes, the signature of one as
#   SIGNATURE:INDEX, the entry file and the key. OUT holds in their
#   folders the packages added, and those there before as links.
# A format may define too:
# - same_package A B: whether A and B are one package (default: the same
#   bytes);
# - package_signer: what gpg signs with (default: GLYPHROW_SIGNING_KEY);
# - packages_signed SIGNER PACKAGE...: signs the packages added;
# - package_signature: what the name of a package's detached signature
#   adds to its own, for a format that signs packages so.
# shellcheck shell=bash
# shellcheck disable=SC2154 # entry_file and the like: the format's script sets them
# shellcheck source=packaging/lib/common.sh
source "${BASH_SOURCE[0]%/*}/common.sh"

same_package() { cmp --quiet "$1" "$2"; }
package_signer() { echo "${GLYPHROW_SIGNING_KEY:-}"; }
packages_signed() { :; }
package_signature=

# Publishes the release in folder RELEASE_FOLDER into REPOSITORY, which
# it makes if absent, as the usage line of the calling script says.
publish() {
	local uri=${!address_variable:-} release repository signer listed file
	local indexes=() packages=() top=() added=() others=()
	arguments_given 2 "$@"
	if [[ $1 == --uri ]]; then
		uri=$2
		shift 2
		arguments_given 2 "$@"
	fi
	release=$(realpath "$2")
	repository=$(realpath --canonicalize-missing "$1")
	cd "$(dirname "$0")/../.."
	shopt -s nullglob extglob
	repository_address_given "$address_variable" "$uri"
	signing_key_usable
	signer=$(package_signer)
	work=$(mktemp -d)
	trap 'rm -rf "$work"' EXIT
	# shellcheck disable=SC2206 # the format's globs, expanded
	packages=("$release"/$package_glob) indexes=("$repository"/$signed_index)
	((${#packages[@]})) || fail "$script: $release holds no $package_glob"
	if ((${#indexes[@]})); then
		signed_as_before "${indexes[0]}" "${indexes[0]}$index_signature"
	fi

	accepted "$repository" "$work/out" "${packages[@]}"
	mapfile -t added < <(files_below "$work/out")
	if [[ -z $signer ]]; then
		echo "$script: unsigned, which $clients, as $entry_file sets them up, refuse: set GLYPHROW_SIGNING_KEY" >&2
	elif ((${#added[@]})); then
		(cd "$work/out" && packages_signed "$signer" "${added[@]}")
		mapfile -t added < <(files_below "$work/out")
	fi
	# Each added package dated by its build, signed or not.
	for file in "${added[@]}"; do
		[[ $file == */$package_glob ]] &&
		    touch --date="@$(package_date "$work/out/$file")" "$work/out/$file"
	done
	linked_beside "$repository" "$work/out"
	listed=$(indexes_made "$work/out" "$repository" "$uri" "$signer")
	mapfile -t top <<<"$listed"

	if ((${#added[@]} == 0)) && whole_there "$repository" "$work/out" "${top[@]}"; then
		published_already "$repository" "$release"
	fi
	# In place: the packages first, then what else the publication made,
	# then the files that go in last, in their order, so a client never
	# reads an index that names what is not there yet. Each file is
	# written beside, then renamed over the old.
	top=("${top[@]%%:*}")
	mapfile -t others < <(files_below "$work/out" |
	    grep -vxF -f <(printf '%s\n' "${added[@]}" "${top[@]}"))
	for file in "${added[@]}" "${others[@]}" "${top[@]}"; do
		[[ -f $work/out/$file ]] || continue
		mkdir -p "$(dirname "$repository/$file")"
		cp -p "$work/out/$file" "$repository/$file.new"
		mv "$repository/$file.new" "$repository/$file"
	done
	chmod -R u=rwX,go=rX "$repository"
	echo "$script: $(find "$work/out" -type f -name "$package_glob" | wc -l) packages added; $repository holds $(find "$repository" -type f -name "$package_glob" | wc -l)"
}

# Copies into folder $2, each into its folder, the packages $3... that
# repository $1 lacks, and makes there the folder of each package; ends
# the script, nothing written in the repository, at the first refused:
# one older than the newest in its folder there, or another package
# under a name there. A package there without its signature (with
# GLYPHROW_SIGNING_KEY, in a format that signs packages), as a
# publication ended half way leaves it, is added again.
accepted() {
	local repository=$1 out=$2 package folder newest version there
	local -A newest_of=()
	shift 2
	for package; do
		folder=$(package_folder "$package")
		there=$repository/$folder/${package##*/}
		# Read once a folder: a pool holds every version published.
		[[ -v newest_of[$folder] ]] ||
		    newest_of[$folder]=$(newest_in "$repository/$folder")
		newest=${newest_of[$folder]}
		version=$(package_version "$package")
		if [[ -n $newest ]] && version_older "$version" "$newest"; then
			fail "$script: ${package##*/} is older than $newest, the newest in $repository/$folder"
		fi
		if [[ -e $there ]] && ! same_package "$package" "$there"; then
			fail "$script: $there is there already, another package"
		fi
		mkdir -p "$out/$folder"
		if [[ ! -e $there || ( -n $package_signature &&
		    -n ${GLYPHROW_SIGNING_KEY:-} && ! -e $there$package_signature ) ]]; then
			cp "$package" "$out/$folder/"
		fi
	done
}

# The newest version of the packages in folder $1, if any.
newest_in() {
	local package version newest=
	# shellcheck disable=SC2086 # the format's glob
	for package in "$1"/$package_glob; do
		version=$(package_version "$package")
		if [[ -z $newest ]] || version_older "$newest" "$version"; then
			newest=$version
		fi
	done
	echo "$newest"
}

# The latest build time of the packages in folders $@, in seconds since
# the epoch; 0 for none.
newest_date() {
	local folder package date newest=0
	for folder; do
		# shellcheck disable=SC2086 # the format's glob
		for package in "$folder"/$package_glob; do
			date=$(package_date "$package")
			((date > newest)) && newest=$date
		done
	done
	echo "$newest"
}

# Links into each folder below $2 the packages in the same folder of
# repository $1 that it lacks, with their signatures, so that the
# indexes made there list every version.
linked_beside() {
	local repository=$1 out=$2 folder file files
	while IFS= read -r folder; do
		# shellcheck disable=SC2206 # the format's globs, expanded
		files=("$repository/$folder"/$package_glob)
		if [[ -n $package_signature ]]; then
			# shellcheck disable=SC2206
			files+=("$repository/$folder"/$package_glob$package_signature)
		fi
		for file in "${files[@]}"; do
			[[ -e $out/$folder/${file##*/} ]] || ln -s "$file" "$out/$folder/"
		done
	done < <(cd "$out" && find . -mindepth 1 -type d -printf '%P\n')
}

# The files below folder $1, links aside, by their paths within it, a
# line each, in a fixed order.
files_below() {
	(cd "$1" && find . -type f -printf '%P\n' | LC_ALL=C sort)
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

# Whether signature $1, clear-signed (as APT's InRelease) or detached,
# holds over file $2 and was made by GLYPHROW_SIGNING_KEY's primary key
# or a subkey of it: a publication ended before its last signature
# leaves none, or an old one.
signed_by_key() {
	local signature=$1 data=$2 primary status first
	[[ -f $signature && -f $data ]] || return 1
	primary=$(fingerprint_of "$GLYPHROW_SIGNING_KEY")
	read -r first <"$signature" || true
	if [[ $first == '-----BEGIN PGP SIGNED MESSAGE-----' ]]; then
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
