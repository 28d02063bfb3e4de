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
# - keyring_glob: the names of its keyring packages
#   (glyphrow-archive-keyring_*.deb);
# - several_signatures: set where the format's clients take an index
#   signed by several keys, when one of them is trusted and none is bad;
# and defined, each printing its result:
# - package_folder PACKAGE: the folder of the repository it goes in, or
#   the folders, a line each;
# - package_name PACKAGE;
# - keyring_keys PACKAGE: the fingerprints of the keys a keyring package
#   gives its client (key_fingerprints);
# - package_version PACKAGE, and version_older A B, whether version A is
#   older than B by the format's own comparison;
# - package_date PACKAGE: its build time, in seconds since the epoch;
# - indexes_made OUT REPOSITORY URI SIGNERS: writes in folder OUT, laid
#   out as the repository, everything but the packages that the
#   publication changes, signed by each of SIGNERS (a word each, the
#   first the key that signs the packages, the next key of a rotation
#   second), and prints the files that go in last, a line
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

several_signatures=

# Publishes the release in folder RELEASE_FOLDER into REPOSITORY, which
# it makes if absent, as the usage line of the calling script says: with
# --start-rotation KEY, the indexes that the format's clients take signed
# by several keys signed by KEY too, the first step of a change of key.
publish() {
	local uri=${!address_variable:-} next='' release repository signer listed file folder
	local indexes=() packages=() top=() added=() others=() signers
	arguments_given 2 "$@"
	while [[ $1 == --uri || $1 == --start-rotation ]]; do
		if [[ $1 == --uri ]]; then uri=$2; else next=$2; fi
		shift 2
		arguments_given 2 "$@"
	done
	release=$(realpath "$2")
	repository=$(realpath --canonicalize-missing "$1")
	cd "$(dirname "$0")/../.."
	shopt -s nullglob extglob
	if [[ -z $uri ]] && ! placeholder_address "$(published_address .)"; then
		uri=$(published_address .)
	fi
	repository_address_given "$address_variable" "$uri"
	signing_key_usable
	signer=$(package_signer)
	signers=$signer
	index_keys=()
	[[ -z $signer ]] || index_keys=("$GLYPHROW_SIGNING_KEY")
	if [[ -n $next ]]; then
		[[ -n $signer ]] ||
		    fail "$script: --start-rotation $next adds a signature to the one of GLYPHROW_SIGNING_KEY, which is unset"
		listed=$(signer_of "$next")
		if [[ -n $several_signatures ]]; then
			signers+=" $listed"
			index_keys+=("$next")
		fi
	fi
	work=$(mktemp -d)
	trap 'rm -rf "$work"' EXIT
	# shellcheck disable=SC2206 # the format's globs, expanded
	packages=("$release"/$package_glob) indexes=("$repository"/$signed_index)
	((${#packages[@]})) || fail "$script: $release holds no $package_glob"
	if ((${#indexes[@]})); then
		signed_as_before "${indexes[0]}" "${indexes[0]}$index_signature"
	fi
	if [[ -n $signer ]]; then
		keys_in_order "$repository" "$release" "${indexes[0]:-}" "$next"
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
	listed=$(indexes_made "$work/out" "$repository" "$uri" "$signers")
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
	    { grep -vxF -f <(printf '%s\n' "${added[@]}" "${top[@]}") || true; })
	for file in "${added[@]}" "${others[@]}" "${top[@]}"; do
		[[ -f $work/out/$file ]] || continue
		folder=$repository/$file
		folder=${folder%/*}
		[[ -d $folder ]] || mkdir -p "$folder"
		cp -p "$work/out/$file" "$repository/$file.new"
		mv "$repository/$file.new" "$repository/$file"
	done
	chmod -R u=rwX,go=rX "$repository"
	echo "$script: $(find "$work/out" -type f -name "$package_glob" | wc -l) packages added; $repository holds $(find "$repository" -type f -name "$package_glob" | wc -l)"
}

# What signs for key $1, checked as GLYPHROW_SIGNING_KEY is.
signer_of() {
	local GLYPHROW_SIGNING_KEY=$1
	signing_key_usable
	package_signer
}

# Copies into folder $2, each into its folders, the packages $3... that
# repository $1 lacks, and makes there the folders of each package; ends
# the script, nothing written in the repository, at the first refused:
# one older than the newest of its name in its folder there, or another
# package under a name there. A package there without its signature (with
# GLYPHROW_SIGNING_KEY, in a format that signs packages), as a
# publication ended half way leaves it, is added again.
accepted() {
	local repository=$1 out=$2 package folder newest version there name
	local -A newest_of=()
	shift 2
	for package; do
		name=$(package_name "$package")
		version=$(package_version "$package")
		while read -r folder; do
			there=$repository/$folder/${package##*/}
			# Read once a folder: a pool holds every version published.
			[[ -v newest_of[$folder/$name] ]] ||
			    newest_of[$folder/$name]=$(newest_in "$repository/$folder" "$name")
			newest=${newest_of[$folder/$name]}
			if [[ -n $newest ]] && version_older "$version" "$newest"; then
				fail "$script: ${package##*/} is older than $newest, the newest $name in $repository/$folder"
			fi
			if [[ -e $there ]] && ! same_package "$package" "$there"; then
				fail "$script: $there is there already, another package"
			fi
			mkdir -p "$out/$folder"
			if [[ ! -e $there || ( -n $package_signature &&
			    -n ${GLYPHROW_SIGNING_KEY:-} && ! -e $there$package_signature ) ]]; then
				cp "$package" "$out/$folder/"
			fi
		done < <(package_folder "$package")
	done
}

# The newest version of the packages named $2 in folder $1, if any.
newest_in() {
	local package version newest=
	# shellcheck disable=SC2086 # the format's glob
	for package in "$1"/$package_glob; do
		[[ $(package_name "$package") == "$2" ]] || continue
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

# Links into each folder below $2, and each folder of repository $1 that
# holds packages, the packages in the same folder of the repository that
# it lacks, with their signatures, so that the indexes made there list
# every version of every package.
linked_beside() {
	local repository=$1 out=$2 folder file files
	if [[ -d $repository ]]; then
		(cd "$repository" && find . -type f -name "$package_glob" -printf '%h\n') |
		    sort -u | (cd "$out" && xargs --no-run-if-empty mkdir -p)
	fi
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
# holds over file $2 and was made by the primary key, or a subkey, of each
# key of index_keys (GLYPHROW_SIGNING_KEY where unset): a publication
# ended before its last signature leaves none, or an old one.
signed_by_key() {
	local signature=$1 data=$2 key made
	[[ -f $signature && -f $data ]] || return 1
	made=$(signature_keys "$signature" "$data") || return 1
	for key in "${index_keys[@]:-$GLYPHROW_SIGNING_KEY}"; do
		grep -qx "$(fingerprint_of "$key")" <<<"$made" || return 1
	done
}

# The primary keys' fingerprints of the good signatures in signature $1,
# clear-signed or detached, over file $2, a line each; fails if $1 does
# not hold over $2.
signature_keys() {
	local signature=$1 data=$2 status first
	read -r first <"$signature" || true
	if [[ $first == '-----BEGIN PGP SIGNED MESSAGE-----' ]]; then
		gpg --batch --quiet --yes --output "$work/clear-signed" --decrypt \
		    "$signature" 2>/dev/null || return 1
		cmp --quiet "$work/clear-signed" "$data" || return 1
		status=$(gpg --batch --status-fd 1 --verify "$signature" 2>/dev/null) ||
		    true
	else
		status=$(gpg --batch --status-fd 1 --verify "$signature" "$data" \
		    2>/dev/null) || true
	fi
	awk '$2 == "VALIDSIG" { print $NF; found = 1 } END { exit !found }' <<<"$status"
}

# Ends the script, before anything is written, unless this publication of
# release folder $2 into repository $1 keeps to the steps of a change of
# key, so that no client stops trusting the repository:
# - the keyring package its clients will have (the release's, or else the
#   newest in the repository) lists every key that signs, GLYPHROW_SIGNING_KEY
#   and the next key of --start-rotation $4: one that drops either would
#   leave them trusting neither;
# - where the repository's signed index $3 is signed by other keys than
#   GLYPHROW_SIGNING_KEY, the keyring package published there before
#   lists it: its clients trust the new key only once they have that.
keys_in_order() {
	local repository=$1 release=$2 index=$3 next=$4 keyring published
	local key listed fingerprint made
	published=$(newest_keyring "$repository")
	keyring=$(newest_keyring "$release")
	keyring=${keyring:-$published}
	[[ -n $keyring ]] || return 0
	listed=$(keyring_keys "$keyring")
	for key in "$GLYPHROW_SIGNING_KEY" ${next:+"$next"}; do
		fingerprint=$(fingerprint_of "$key")
		grep -qx "$fingerprint" <<<"$listed" ||
		    fail "$script: ${keyring##*/} does not list $key ($fingerprint), which signs: its users would trust this repository no more. A new key comes with --start-rotation NEW, and a keyring package listing the key that signs now and NEW; nothing was written"
	done
	[[ -n $index && -f $index$index_signature ]] || return 0
	made=$(signature_keys "$index$index_signature" "$index") || return 0
	fingerprint=$(fingerprint_of "$GLYPHROW_SIGNING_KEY")
	grep -qx "$fingerprint" <<<"$made" && return 0
	if [[ -z $published ]] || ! keyring_keys "$published" | grep -qx "$fingerprint"; then
		fail "$script: $repository is signed by ${made//$'\n'/ }, not $GLYPHROW_SIGNING_KEY ($fingerprint), which no keyring package there lists: switching now would leave its users unable to trust it. Publish first with the key that signs now and --start-rotation $GLYPHROW_SIGNING_KEY, a release whose keyring package lists both; nothing was written"
	fi
}

# The newest keyring package in folder $1 or below, if any.
newest_keyring() {
	local package newest='' version newest_version
	[[ -d $1 ]] || return 0
	while IFS= read -r package; do
		version=$(package_version "$package")
		if [[ -z $newest ]] || version_older "$newest_version" "$version"; then
			newest=$package newest_version=$version
		fi
	done < <(find "$1" -name "$keyring_glob" -type f)
	echo "$newest"
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
# will fetch the repository from, given by --uri or variable $1, or else
# packaging/address's once it is no placeholder: the file they install
# names it, and a wrong one fails only on their machines.
repository_address_given() {
	[[ $2 =~ ^(https?://[^/]|file:///[^/]) ]] ||
	    fail "$script: the repository's address is needed, for the file users install: --uri URI (or $1), such as --uri https://example.org/glyphrow/${2:+; not: $2}; or set the maintainers' address in packaging/address"
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
