# Shared by the tests of packaging/: the tree, bats' assertions, a signing
# key made once per file, and throwaway packages of each format, made in
# a second or so with the formats' own tools, no build root needed.
# shellcheck shell=bash
# shellcheck disable=SC2034 # its variables are for the tests that load it

bats_load_library bats-support
bats_load_library bats-assert

tree=$(cd "$BATS_TEST_DIRNAME/../.." && pwd)

# A signing key of the kind the repositories take, RSA of 4096 bits, in a
# GNUPGHOME of the test file's own; and a second one, another key of the
# same kind. Called from setup_file.
signing_keys_made() {
	export GNUPGHOME=$BATS_FILE_TMPDIR/gnupg
	mkdir -m 0700 "$GNUPGHOME"
	gpg --batch --quiet --passphrase '' --quick-generate-key \
	    'glyphrow test <test@glyphrow.invalid>' rsa4096 sign 1d 2>/dev/null
	export GLYPHROW_SIGNING_KEY=test@glyphrow.invalid
}

# The fingerprints of the primary keys in gpg's --with-colons listing on
# standard input, a line each.
primary_fingerprints() {
	awk -F: '$1 == "pub" { primary = 1 } $1 == "sub" { primary = 0 }
	    $1 == "fpr" && primary { print $10; primary = 0 }'
}

# The second key too, next@glyphrow.invalid, for a change of key.
next_key_made() {
	gpg --batch --quiet --passphrase '' --quick-generate-key \
	    'glyphrow next <next@glyphrow.invalid>' rsa4096 sign 1d 2>/dev/null
}

# Adds to folder $1 throwaway keyring packages of version $2, one of each
# format, each holding keys $3... where its client reads them.
keyring_made() {
	local folder=$1 version=$2 work
	shift 2
	work=$(mktemp -d "${BATS_TEST_TMPDIR:-$BATS_FILE_TMPDIR}/keyring.XXXXXX")
	mkdir -p "$folder" "$work/deb/DEBIAN" "$work/deb/usr/share/keyrings" \
	    "$work/rpm" "$work/arch/usr/share/pacman/keyrings"
	gpg --batch --export "$@" >"$work/deb/usr/share/keyrings/glyphrow-archive-keyring.gpg"
	cp "$work/deb/usr/share/keyrings/glyphrow-archive-keyring.gpg" \
	    "$work/arch/usr/share/pacman/keyrings/glyphrow.gpg"
	gpg --batch --armor --export "$@" >"$work/keys.asc"
	cat >"$work/deb/DEBIAN/control" <<-CONTROL
		Package: glyphrow-archive-keyring
		Version: $version
		Architecture: all
		Maintainer: glyphrow tests <test@glyphrow.invalid>
		Description: throwaway keys
	CONTROL
	dpkg-deb --root-owner-group --build "$work/deb" \
	    "$folder/glyphrow-archive-keyring_${version}_all.deb" >/dev/null
	cat >"$work/rpm/keyring.spec" <<-SPEC
		Name: glyphrow-archive-keyring
		Version: $version
		Release: 1
		Summary: throwaway keys
		License: MIT
		BuildArch: noarch
		%description
		Throwaway keys.
		%install
		install -D -m 0644 $work/keys.asc %{buildroot}/etc/pki/rpm-gpg/RPM-GPG-KEY-glyphrow
		%files
		/etc/pki/rpm-gpg/RPM-GPG-KEY-glyphrow
	SPEC
	rpmbuild --quiet -bb --define "_topdir $work/rpm" "$work/rpm/keyring.spec" \
	    >/dev/null 2>&1
	cp "$work/rpm/RPMS/noarch/glyphrow-archive-keyring-$version-1.noarch.rpm" "$folder/"
	cat >"$work/arch/.PKGINFO" <<-PKGINFO
		pkgname = glyphrow-archive-keyring
		pkgver = $version-1
		pkgdesc = throwaway keys
		builddate = 1767312000
		size = 1
		arch = any
	PKGINFO
	(cd "$work/arch" && bsdtar --zstd --uid 0 --gid 0 \
	    -cf "$folder/glyphrow-archive-keyring-$version-1-any.pkg.tar.zst" .PKGINFO usr)
}

# Folder $1 made a release of throwaway version $2 (1.0.0), built at
# epoch $3 (a day after 2026 began, by default): a .deb for amd64, an RPM
# and an Arch Linux package for x86_64, each holding one file,
# /usr/share/doc/glyphrow/$4 (VERSION by default), whose text is the
# version, so that a package with another text has other bytes.
release_made() {
	local folder=$1 version=$2 epoch=${3:-1767312000} file=${4:-VERSION} work
	work=$(mktemp -d "${BATS_TEST_TMPDIR:-$BATS_FILE_TMPDIR}/package.XXXXXX")
	mkdir -p "$folder" "$work/deb/DEBIAN" "$work/deb/usr/share/doc/glyphrow" \
	    "$work/arch/usr/share/doc/glyphrow" "$work/rpm"
	echo "$version" >"$work/deb/usr/share/doc/glyphrow/$file"
	echo "$version" >"$work/arch/usr/share/doc/glyphrow/$file"
	cat >"$work/deb/DEBIAN/control" <<-CONTROL
		Package: glyphrow
		Version: $version
		Architecture: amd64
		Maintainer: glyphrow tests <test@glyphrow.invalid>
		Description: a throwaway package
	CONTROL
	SOURCE_DATE_EPOCH=$epoch dpkg-deb --root-owner-group --build \
	    "$work/deb" "$folder/glyphrow_${version}_amd64.deb" >/dev/null

	cat >"$work/rpm/glyphrow.spec" <<-SPEC
		Name: glyphrow
		Version: $version
		Release: 1
		Summary: a throwaway package
		License: MIT
		BuildArch: x86_64
		%description
		A throwaway package.
		%install
		mkdir -p %{buildroot}/usr/share/doc/glyphrow
		echo $version >%{buildroot}/usr/share/doc/glyphrow/$file
		%files
		/usr/share/doc/glyphrow/$file
	SPEC
	SOURCE_DATE_EPOCH=$epoch rpmbuild --quiet -bb \
	    --define "_topdir $work/rpm" \
	    --define "use_source_date_epoch_as_buildtime 1" \
	    --define "clamp_mtime_to_source_date_epoch 1" \
	    "$work/rpm/glyphrow.spec" >/dev/null 2>&1
	cp "$work/rpm/RPMS/x86_64/glyphrow-$version-1.x86_64.rpm" "$folder/"

	cat >"$work/arch/.PKGINFO" <<-PKGINFO
		pkgname = glyphrow
		pkgbase = glyphrow
		pkgver = $version-1
		pkgdesc = a throwaway package
		url = https://glyphrow.invalid/
		builddate = $epoch
		packager = glyphrow tests <test@glyphrow.invalid>
		size = 6
		arch = x86_64
		license = MIT
	PKGINFO
	(cd "$work/arch" && bsdtar --zstd --uid 0 --gid 0 --options zstd:compression-level=3 \
	    -cf "$folder/glyphrow-$version-1-x86_64.pkg.tar.zst" .PKGINFO usr)
}

# Publishes release folder $2 to repository $3 with format $1's script,
# as run writes it: the rest of the arguments before the script (env
# settings, say).
publish() {
	local format=$1 release=$2 repository=$3
	shift 3
	run "$@" "$tree/packaging/$format/repository" \
	    --uri "https://glyphrow.invalid/$format/" "$repository" "$release"
}

# Fails unless publishing release folder $2 to repository $3 with format
# $1's script, the rest of the arguments before it, fails saying $4 and
# changes no file there.
refused_unchanged() {
	local format=$1 release=$2 repository=$3 expected=$4 before
	shift 4
	before=$(state_of "$repository")
	publish "$format" "$release" "$repository" "$@"
	assert_failure
	assert_output --partial "$expected"
	assert_equal "$(state_of "$repository")" "$before"
}

# Every file below folder $1 with its SHA-256 and date, a line each.
state_of() {
	(cd "$1" && find . -type f -printf '%T@ %p\n' | LC_ALL=C sort &&
	    find . -type f -exec sha256sum {} + | LC_ALL=C sort)
}

# Whether format $1's repository $2 lists version $3 in its index.
indexed() {
	local format=$1 repository=$2 version=$3 listed
	case $format in
	deb) listed=$(cat "$repository/dists/stable/main/binary-amd64/Packages") ;;
	rpm) listed=$(zcat "$repository"/repodata/*-primary.xml.gz) ;;
	arch) listed=$(tar -xzOf "$repository/x86_64/glyphrow.db") ;;
	esac
	grep -qE "^(Version: |.*ver=\")?$version(-1)?(\"|$)" <<<"$listed"
}

# The files of each format's index that a publication signs, within a
# repository, and the signature it writes last over the first.
declare -gA index_of=(
	[deb]=dists/stable/Release
	[rpm]=repodata/repomd.xml
	[arch]=x86_64/glyphrow.db
)
declare -gA last_signature_of=(
	[deb]=dists/stable/Release.gpg
	[rpm]=repodata/repomd.xml.asc
	[arch]=x86_64/glyphrow.db.sig
)
formats=(deb rpm arch)
