#!/usr/bin/env bats
# The rules every repository script (deb, rpm, arch) keeps, each checked
# for the three formats on throwaway packages: no root, no network, no
# client. What only a real client shows stays in packaging/*/repository-check.

# shellcheck disable=SC2154 # tree and the like come from helpers.bash
load helpers

setup_file() {
	signing_keys_made
	release_made "$BATS_FILE_TMPDIR/1.0.0" 1.0.0
	release_made "$BATS_FILE_TMPDIR/1.1.0" 1.1.0 1767398400
}

setup() {
	old=$BATS_FILE_TMPDIR/1.0.0
	new=$BATS_FILE_TMPDIR/1.1.0
	repositories=$BATS_TEST_TMPDIR/repositories
}

@test "without the address users fetch it from, a repository is refused and nothing is written" {
	for format in "${formats[@]}"; do
		run env -u GLYPHROW_APT_URI -u GLYPHROW_RPM_URI -u GLYPHROW_PACMAN_URI \
		    "$tree/packaging/$format/repository" "$repositories/$format" "$old"
		assert_failure
		assert_output --partial "--uri URI"
		assert [ ! -e "$repositories/$format" ]
	done
}

@test "without --uri, a repository is published for the address packaging/address names, once it is no placeholder" {
	copy=$BATS_TEST_TMPDIR/tree
	mkdir "$copy"
	tar -C "$tree" --create --exclude=./build --exclude=./.git . | tar -C "$copy" --extract
	sed -i 's|^https://example.org/glyphrow/$|https://glyphrow.invalid/published/|' "$copy/packaging/address"
	for format in "${formats[@]}"; do
		run env -u GLYPHROW_APT_URI -u GLYPHROW_RPM_URI -u GLYPHROW_PACMAN_URI \
		    "$copy/packaging/$format/repository" "$repositories/$format" "$old"
		assert_success
	done
	grep -x 'URIs: https://glyphrow.invalid/published/' "$repositories/deb/glyphrow.sources"
	grep -x 'baseurl=https://glyphrow.invalid/published/' "$repositories/rpm/glyphrow.repo"
	# shellcheck disable=SC2016 # pacman's own variable
	grep -xF 'Server = https://glyphrow.invalid/published/$arch' "$repositories/arch/glyphrow.pacman.conf"
}

@test "a release is accepted, and made twice unsigned, the second under umask 0002, it is the same bytes" {
	for format in "${formats[@]}"; do
		publish "$format" "$old" "$repositories/$format-0022" env -u GLYPHROW_SIGNING_KEY
		assert_success
		publish "$format" "$old" "$repositories/$format-0002" \
		    env -u GLYPHROW_SIGNING_KEY bash -c 'umask 0002 && exec "$@"' umask
		assert_success
		run diff --recursive "$repositories/$format-0022" "$repositories/$format-0002"
		assert_success
	done
}

@test "the release published again changes nothing, and says so" {
	for format in "${formats[@]}"; do
		publish "$format" "$old" "$repositories/$format"
		assert_success
		before=$(state_of "$repositories/$format")
		publish "$format" "$old" "$repositories/$format"
		assert_success
		assert_output --partial "nothing changed"
		assert_equal "$(state_of "$repositories/$format")" "$before"
	done
}

@test "a newer release is added beside the older, and its index and signature dated after those they replace, even within the same second" {
	for format in "${formats[@]}"; do
		publish "$format" "$old" "$repositories/$format"
		dated=("$repositories/$format/${index_of[$format]}"
		    "$repositories/$format/${last_signature_of[$format]}")
		# Dated a day ahead, as a clock set wrong would leave them.
		touch --date=@"$(($(date +%s) + 86400))" "${dated[@]}"
		before=$(stat --format=%Y "${dated[@]}")
		publish "$format" "$new" "$repositories/$format"
		assert_success
		paste <(echo "$before") <(stat --format=%Y "${dated[@]}") |
		    while read -r earlier now; do ((now > earlier)) || exit 1; done
		for version in 1.0.0 1.1.0; do
			run find "$repositories/$format" -name "glyphrow?${version}[-_]*"
			assert_output
		done
	done
}

@test "an older version than the newest there is refused, and changes nothing" {
	for format in "${formats[@]}"; do
		publish "$format" "$new" "$repositories/$format"
		refused_unchanged "$format" "$old" "$repositories/$format" "is older than 1.1.0"
	done
}

@test "another package under a name the repository holds is refused, and changes nothing" {
	release_made "$BATS_TEST_TMPDIR/other" 1.0.0 1767312000 OTHER
	for format in "${formats[@]}"; do
		publish "$format" "$old" "$repositories/$format"
		refused_unchanged "$format" "$BATS_TEST_TMPDIR/other" "$repositories/$format" "is there already"
	done
}

@test "unsigned into a signed repository, and signed into an unsigned one, are refused, naming GLYPHROW_SIGNING_KEY, and change nothing" {
	for format in "${formats[@]}"; do
		publish "$format" "$old" "$repositories/$format-signed"
		refused_unchanged "$format" "$new" "$repositories/$format-signed" \
		    "set GLYPHROW_SIGNING_KEY" env -u GLYPHROW_SIGNING_KEY
		publish "$format" "$old" "$repositories/$format-unsigned" env -u GLYPHROW_SIGNING_KEY
		refused_unchanged "$format" "$new" "$repositories/$format-unsigned" \
		    "GLYPHROW_SIGNING_KEY unset"
	done
}

@test "a key that cannot sign, expired or without its secret part, is refused, and nothing changes" {
	expired=$BATS_TEST_TMPDIR/expired
	mkdir -m 0700 "$expired"
	GNUPGHOME=$expired gpg --batch --quiet --passphrase '' \
	    --faked-system-time "$(($(date +%s) - 365 * 86400))!" \
	    --quick-generate-key 'expired <expired@glyphrow.invalid>' rsa4096 sign 1d 2>/dev/null
	public=$BATS_TEST_TMPDIR/public
	mkdir -m 0700 "$public"
	gpg --batch --export "$GLYPHROW_SIGNING_KEY" >"$BATS_TEST_TMPDIR/key.gpg"
	GNUPGHOME=$public gpg --batch --quiet --import "$BATS_TEST_TMPDIR/key.gpg"
	for format in "${formats[@]}"; do
		publish "$format" "$old" "$repositories/$format"
		refused_unchanged "$format" "$new" "$repositories/$format" \
		    "GLYPHROW_SIGNING_KEY=expired@glyphrow.invalid cannot sign" \
		    env GNUPGHOME="$expired" GLYPHROW_SIGNING_KEY=expired@glyphrow.invalid
		refused_unchanged "$format" "$new" "$repositories/$format" \
		    "No secret key" env GNUPGHOME="$public"
	done
}

@test "a signature left stale, as a publication ended half way leaves it, is made again by the next" {
	for format in "${formats[@]}"; do
		publish "$format" "$old" "$repositories/$format"
		signature=$repositories/$format/${last_signature_of[$format]}
		echo "not what was published" >"$BATS_TEST_TMPDIR/other"
		gpg --batch --yes --armor --detach-sign --output "$signature" \
		    "$BATS_TEST_TMPDIR/other"
		publish "$format" "$old" "$repositories/$format"
		assert_success
		refute_output --partial "nothing changed"
		run gpg --batch --verify "$signature" "$repositories/$format/${index_of[$format]}"
		assert_success
	done
}

@test "the RPM and pacman repositories refuse a key that is not RSA of 4096 bits, before anything is written" {
	ed25519=$BATS_TEST_TMPDIR/ed25519
	mkdir -m 0700 "$ed25519"
	GNUPGHOME=$ed25519 gpg --batch --quiet --passphrase '' --quick-generate-key \
	    'else <else@glyphrow.invalid>' ed25519 sign 1d 2>/dev/null
	for format in rpm arch; do
		publish "$format" "$old" "$repositories/$format" \
		    env GNUPGHOME="$ed25519" GLYPHROW_SIGNING_KEY=else@glyphrow.invalid
		assert_failure
		assert_output --partial "is not an RSA key of 4096 bits"
		assert [ ! -e "$repositories/$format/${index_of[$format]}" ]
	done
}

@test "the three formats' repositories share one folder, none changing a file of another's" {
	shared=$repositories/shared
	mkdir -p "$shared"
	for format in "${formats[@]}"; do
		before=$(state_of "$shared")
		publish "$format" "$old" "$shared"
		assert_success
		# Each file there before is there still, the same bytes and date,
		# but the public key, which the formats share as it is.
		kept=$(grep -v glyphrow-archive-keyring <<<"$before" || true)
		run grep -vxF -f <(state_of "$shared") <<<"$kept"
		assert_output ""
	done
}

@test "the APT and pacman repositories put the signing key alone at the top, the same bytes, when another key has its user ID" {
	cp -a "$GNUPGHOME" "$BATS_TEST_TMPDIR/gnupg"
	export GNUPGHOME=$BATS_TEST_TMPDIR/gnupg
	signing=$(primary_fingerprints < <(gpg --batch --with-colons --fingerprint "$GLYPHROW_SIGNING_KEY"))
	gpg --batch --quiet --passphrase '' --quick-generate-key --yes \
	    'glyphrow test <test@glyphrow.invalid>' rsa4096 sign 1d 2>/dev/null
	for format in deb arch; do
		publish "$format" "$old" "$repositories/$format"
		assert_success
		run primary_fingerprints < <(gpg --batch --with-colons \
		    --show-keys "$repositories/$format/glyphrow-archive-keyring.asc")
		assert_output "$signing"
	done
	cmp "$repositories/deb/glyphrow-archive-keyring.asc" \
	    "$repositories/arch/glyphrow-archive-keyring.asc"
}

@test "a repository named by a relative path is made in the working folder" {
	mkdir -p "$BATS_TEST_TMPDIR/here"
	for format in "${formats[@]}"; do
		cd "$BATS_TEST_TMPDIR/here"
		publish "$format" "$old" "relative-$format"
		assert_success
		assert [ -e "$BATS_TEST_TMPDIR/here/relative-$format/${index_of[$format]}" ]
	done
}

@test "a package there but not indexed, as a publication ended half way leaves it, is indexed by the next; a pacman package there without its signature is signed again" {
	for format in "${formats[@]}"; do
		publish "$format" "$old" "$repositories/$format"
		# The newer packages copied in, the first step of a publication,
		# and no further; pacman's without its signature.
		folder=$(dirname "$(find "$repositories/$format" -name 'glyphrow?1.0.0[-_]*' ! -name '*.sig')")
		cp "$new"/glyphrow?1.1.0[-_]*."${format/arch/pkg.tar.zst}" "$folder/"
		refute indexed "$format" "$repositories/$format" 1.1.0
		publish "$format" "$new" "$repositories/$format"
		assert_success
		refute_output --partial "nothing changed"
		indexed "$format" "$repositories/$format" 1.1.0
	done
	package=$repositories/arch/x86_64/glyphrow-1.1.0-1-x86_64.pkg.tar.zst
	run gpg --batch --verify "$package.sig" "$package"
	assert_success
}

# The keys that made the good signatures of file $2 over $1, a line each.
signers_of() {
	gpg --batch --status-fd 1 --verify "$2" "$1" 2>/dev/null |
	    awk '$2 == "VALIDSIG" { print $NF }' | LC_ALL=C sort
}

# A release of glyphrow $2 in folder $1, with keyring packages of keys $3...
keyring_release() {
	release_made "$1" "$2" "$((1767312000 + ${2//./} * 60))"
	keyring_made "$1" "$2" "${@:3}"
}

@test "a change of key in three steps: both keys where clients take several, pacman's old alone; then the new alone; then the keyring without the old" {
	next_key_made
	old_key=$(gpg --with-colons --fingerprint test@glyphrow.invalid | awk -F: '$1 == "fpr" { print $10; exit }')
	new_key=$(gpg --with-colons --fingerprint next@glyphrow.invalid | awk -F: '$1 == "fpr" { print $10; exit }')
	for version in 1.0.0:test 1.1.0:test:next 1.2.0:next; do
		IFS=: read -r -a keys <<<"$version"
		keyring_release "$BATS_TEST_TMPDIR/${keys[0]}" "${keys[0]}" "${keys[@]/%/@glyphrow.invalid}"
	done
	for format in "${formats[@]}"; do
		repository=$repositories/$format
		index=$repository/${index_of[$format]}
		publish "$format" "$BATS_TEST_TMPDIR/1.0.0" "$repository"
		assert_success
		# Switching to a key the keyring published lacks, or dropping the
		# key that signs, before the start.
		refused_unchanged "$format" "$BATS_TEST_TMPDIR/1.1.0" "$repository" \
		    "switching now would leave its users unable to trust it" \
		    env GLYPHROW_SIGNING_KEY=next@glyphrow.invalid
		refused_unchanged "$format" "$BATS_TEST_TMPDIR/1.2.0" "$repository" \
		    "does not list test@glyphrow.invalid"
		# The start: the keyring package must list the next key.
		run "$tree/packaging/$format/repository" --start-rotation next@glyphrow.invalid \
		    --uri "https://glyphrow.invalid/$format/" "$repository" "$BATS_TEST_TMPDIR/1.0.0"
		assert_failure
		assert_output --partial "does not list next@glyphrow.invalid"
		run "$tree/packaging/$format/repository" --start-rotation next@glyphrow.invalid \
		    --uri "https://glyphrow.invalid/$format/" "$repository" "$BATS_TEST_TMPDIR/1.1.0"
		assert_success
		expected=$(printf '%s\n' "$old_key" "$new_key" | LC_ALL=C sort)
		[[ $format == arch ]] && expected=$old_key
		assert_equal "$(signers_of "$index" "$repository/${last_signature_of[$format]}")" "$expected"
		# The switch, then the end.
		publish "$format" "$BATS_TEST_TMPDIR/1.1.0" "$repository" \
		    env GLYPHROW_SIGNING_KEY=next@glyphrow.invalid
		assert_success
		assert_equal "$(signers_of "$index" "$repository/${last_signature_of[$format]}")" "$new_key"
		publish "$format" "$BATS_TEST_TMPDIR/1.2.0" "$repository" \
		    env GLYPHROW_SIGNING_KEY=next@glyphrow.invalid
		assert_success
	done
}
