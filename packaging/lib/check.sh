# How packaging/check checks each artifact of a release; sourced by it,
# common.sh with it.
# shellcheck shell=bash
# shellcheck disable=SC2154 # work and programs_and_pages: packaging/check's
# shellcheck source=packaging/lib/common.sh
source "${BASH_SOURCE[0]%/*}/common.sh"

# Runs preset $1's test suite on the programs in folder $2, and prints its
# summary and the emulated CPU it ran on, if any. Names the cases it
# skipped, and the reason the suite gave: where no user namespace can be
# made (a chroot, most containers) the empty-root cases skip, and the
# check goes on; with GLYPHROW_CHECK_EVERY_TEST set, as CI sets it on a
# machine that can make them, a skipped case fails it.
suite() {
	local preset=$1 skipped cases cpu reasons
	# Asked first: listing the tests rewrites the log of the last run,
	# which holds the reasons for skipping.
	cpu=$(ctest --preset "$preset" --show-only=json-v1 | jq -r '
	    [.tests[].properties[] | select(.name == "ENVIRONMENT")
	    | .value[] | select(startswith("QEMU_CPU="))] | unique | join(" ")')
	if ! GLYPHROW_TEST_BINDIR=$2 ctest --preset "$preset" >"$work/ctest.log"; then
		cat "$work/ctest.log"
		fail "check: the $preset suite failed on the programs in $2"
	fi
	echo "$(grep -E '^[0-9]+% tests passed' "$work/ctest.log")${cpu:+, at $cpu}"
	skipped=$(grep -F '***Skipped' "$work/ctest.log" | awk '{ print $4 }') ||
	    return 0
	echo "not run here:"
	mapfile -t cases <<<"$skipped"
	printf '  %s\n' "${cases[@]}"
	reasons=$(awk 'skipped { print "  " $0; skipped = 0 } /: Skipped$/ { skipped = 1 }' \
	    "build/$preset/Testing/Temporary/LastTest.log" | sort -u)
	[[ -n $reasons ]] || fail "check: the $preset suite gave no reason for skipping"
	echo "because:"
	echo "$reasons"
	if [[ -n ${GLYPHROW_CHECK_EVERY_TEST:-} ]]; then
		fail "GLYPHROW_CHECK_EVERY_TEST is set: every case must run"
	fi
}

# Fails unless every entry of archive $1 (a .deb, .rpm, .pkg.tar.zst or
# .tar.gz) is dated $2, in seconds since the epoch; for a .deb, its members
# and control files too, for an Arch Linux package its build date.
dated() {
	local archive=$1 epoch=$2 member_date file_date members listing pkginfo
	member_date=$(LC_ALL=C TZ=UTC date -d "@$epoch" '+%b %e %H:%M %Y')
	file_date=$(TZ=UTC date -d "@$epoch" '+%F %T')
	if [[ $archive == *.rpm ]]; then
		listing=$(rpm -qp --nosignature --queryformat \
		    'build time %{BUILDTIME}\n[%{FILEMTIMES} %{FILENAMES}\n]' "$archive")
		if grep -v -e "^$epoch " -e "^build time $epoch\$" <<<"$listing"; then
			fail "$archive: the entries above are not dated $epoch"
		fi
		return
	elif [[ $archive == *.deb ]]; then
		members=$(LC_ALL=C TZ=UTC ar tv "$archive")
		if grep -v " $member_date " <<<"$members"; then
			fail "$archive: the members above are not dated $member_date"
		fi
		listing=$(dpkg-deb --fsys-tarfile "$archive" |
		    tar -tv --full-time --utc
		    dpkg-deb --ctrl-tarfile "$archive" | tar -tv --full-time --utc)
	elif [[ $archive == *.pkg.tar.zst ]]; then
		pkginfo=$(bsdtar -xOf "$archive" .PKGINFO)
		grep -qx "builddate = $epoch" <<<"$pkginfo" ||
		    fail "$archive: its build date is not $epoch"
		listing=$(tar -tv --zstd --full-time --utc -f "$archive")
	else
		listing=$(tar -tzv --full-time --utc -f "$archive")
	fi
	if grep -v " $file_date " <<<"$listing"; then
		fail "$archive: the entries above are not dated $file_date"
	fi
}

# Fails unless package $1, unpacked in folder $2, holds the files of the
# portable tarball unpacked in folder $3 where an RPM or an Arch Linux
# system keeps them, the same bytes.
tarball_files_in() {
	local file in_package
	for file in "${programs_and_pages[@]}" LICENSE NOTICE \
	    licenses/linked-packages changelog; do
		case $file in
		bin/* | share/*) in_package=usr/$file ;;
		changelog) in_package=usr/share/doc/glyphrow/$file ;;
		*) in_package=usr/share/licenses/glyphrow/$file ;;
		esac
		cmp "$3/$file" "$2/$in_package" ||
		    fail "$1: /$in_package is not the tarball's $file"
	done
}
