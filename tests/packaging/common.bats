#!/usr/bin/env bats
# The functions of packaging/lib/, each on what it is given here.

# shellcheck disable=SC2154 # tree and the like come from helpers.bash
load helpers

# Runs the commands $1 in a script in packaging/ that sources every
# library of packaging/lib/, common.sh first, as the scripts there do.
in_a_script() {
	mkdir -p "$BATS_TEST_TMPDIR/tree/packaging"
	cp -r "$tree/packaging/lib" "$BATS_TEST_TMPDIR/tree/packaging/"
	# shellcheck disable=SC2016 # the script's own text
	printf '#!/usr/bin/env bash\nfor library in "$(dirname "$0")"/lib/{common,repository,client}.sh; do source "$library"; done\n%s\n' "$1" \
	    >"$BATS_TEST_TMPDIR/tree/packaging/script"
	chmod +x "$BATS_TEST_TMPDIR/tree/packaging/script"
	run "$BATS_TEST_TMPDIR/tree/packaging/script"
}

@test "a failure that ends a script names the script, the line, the command and its status, and SIGPIPE by name" {
	in_a_script 'true
cmp /dev/null /etc/hostname'
	assert_failure 1
	assert_output --partial "script:4: failed with status 1: cmp /dev/null /etc/hostname"

	in_a_script 'yes | head -n 1 >/dev/null'
	assert_failure 141
	assert_output --partial "script:3: failed with status 141 (SIGPIPE), its pipeline's commands' 141 0: head -n 1 > /dev/null"
}

@test "a failure in a function or a command substitution says where too" {
	# shellcheck disable=SC2016 # the script's own text
	in_a_script 'f() { false; }
value=$(f)'
	assert_failure
	assert_output --partial "script:3: failed with status 1: false"
}

@test "unpacked unpacks an RPM's and an Arch Linux package's files whole" {
	release_made "$BATS_TEST_TMPDIR/release" 1.0.0
	for package in glyphrow-1.0.0-1.x86_64.rpm glyphrow-1.0.0-1-x86_64.pkg.tar.zst; do
		in_a_script "unpacked $BATS_TEST_TMPDIR/release/$package $BATS_TEST_TMPDIR/$package.d"
		assert_success
		assert_equal "$(cat "$BATS_TEST_TMPDIR/$package.d/usr/share/doc/glyphrow/VERSION")" 1.0.0
	done
}

@test "files_in names a folder's files, not its folders, in bytewise order" {
	mkdir -p "$BATS_TEST_TMPDIR/folder/sub"
	touch "$BATS_TEST_TMPDIR"/folder/{b,B,a_1,a-1,a.1}
	in_a_script "LC_ALL=C.UTF-8 files_in $BATS_TEST_TMPDIR/folder"
	assert_success
	assert_output "$(printf '%s\n' B a-1 a.1 a_1 b)"
}

@test "cache_aged makes every file below a folder a week old, and no older" {
	mkdir -p "$BATS_TEST_TMPDIR/cache/sync"
	touch "$BATS_TEST_TMPDIR/cache/sync/glyphrow.db"
	in_a_script "cache_aged $BATS_TEST_TMPDIR/cache"
	assert_success
	age=$(($(date +%s) - $(stat --format=%Y "$BATS_TEST_TMPDIR/cache/sync/glyphrow.db")))
	((age >= 7 * 86400 && age < 7 * 86400 + 60))
}

@test "dated_after dates files by the date given, or a second after the file they replace" {
	touch --date=@2000 "$BATS_TEST_TMPDIR/before"
	touch "$BATS_TEST_TMPDIR/new"
	in_a_script "dated_after 1000 $BATS_TEST_TMPDIR/before $BATS_TEST_TMPDIR/new"
	assert_equal "$(stat --format=%Y "$BATS_TEST_TMPDIR/new")" 2001
	in_a_script "dated_after 3000 $BATS_TEST_TMPDIR/before $BATS_TEST_TMPDIR/new"
	assert_equal "$(stat --format=%Y "$BATS_TEST_TMPDIR/new")" 3000
	in_a_script "dated_after 1000 $BATS_TEST_TMPDIR/none $BATS_TEST_TMPDIR/new"
	assert_equal "$(stat --format=%Y "$BATS_TEST_TMPDIR/new")" 1000
}

@test "repository_address_given takes an absolute http, https or file address, and refuses any other" {
	for address in https://example.org/glyphrow/ http://127.0.0.1:8080/x/ file:///srv/glyphrow/; do
		in_a_script "repository_address_given GLYPHROW_APT_URI $address"
		assert_success
	done
	for address in '' example.org/glyphrow/ ftp://example.org/ https:/example.org/ file://relative/; do
		in_a_script "repository_address_given GLYPHROW_APT_URI '$address'"
		assert_failure
		assert_output --partial "--uri URI (or GLYPHROW_APT_URI)"
	done
}

@test "signed_by_key holds for a signature of the key over the file, and for no other" {
	signing_keys_made
	echo "an index" >"$BATS_TEST_TMPDIR/index"
	gpg --batch --yes --detach-sign --output "$BATS_TEST_TMPDIR/index.sig" "$BATS_TEST_TMPDIR/index"
	gpg --batch --yes --clearsign --output "$BATS_TEST_TMPDIR/InRelease" "$BATS_TEST_TMPDIR/index"
	check="work=$BATS_TEST_TMPDIR; signed_by_key"
	in_a_script "$check $BATS_TEST_TMPDIR/index.sig $BATS_TEST_TMPDIR/index"
	assert_success
	in_a_script "$check $BATS_TEST_TMPDIR/InRelease $BATS_TEST_TMPDIR/index"
	assert_success
	echo "another index" >"$BATS_TEST_TMPDIR/other"
	for signature in index.sig InRelease missing.sig; do
		in_a_script "$check $BATS_TEST_TMPDIR/$signature $BATS_TEST_TMPDIR/other"
		assert_failure
	done
}

@test "the tree's version and package release are those its changelog and packaging/CMakeLists.txt give" {
	in_a_script "version_of $tree; package_release_of $tree"
	assert_success
	assert_line --index 0 --regexp '^[0-9]+\.[0-9]+\.[0-9]+$'
	assert_line --index 1 --regexp '^[0-9]+$'
	assert_equal "${lines[0]}" "$(sed -n '1s/^glyphrow (\([^)]*\)).*/\1/p' "$tree/packaging/changelog")"
}

@test "every script of packaging/ stops at once, with its usage line, given an empty argument or too few" {
	for script in "$tree"/packaging/{deb,rpm,arch}/repository* "$tree"/packaging/{build-root,check,distcheck,in-root,rebuild,release} \
	    "$tree"/packaging/libexec/* "$tree"/.ci/tamper-check; do
		run "$script" ""
		assert_failure
		assert_output --regexp "an argument is empty; usage: (packaging|.ci)/"
		# The arguments its usage line names, options and notes aside.
		least=$(sed -n 's/^# usage: [^ ]*//p' "$script" | sed -e 's/  (.*//' \
		    -e 's/\[[^]]*\]//g' | grep -oE '[A-Z][A-Z_]+' | wc -l)
		if ((least > 0)); then
			run "$script"
			assert_failure
			assert_output --regexp "too few arguments; usage: (packaging|.ci)/"
		fi
	done
}

@test "rebuild refuses an architecture cmake/architectures does not name, before it checks or builds anything" {
	mkdir "$BATS_TEST_TMPDIR/release"
	run "$tree/packaging/rebuild" "$BATS_TEST_TMPDIR/release" amd64 sparc
	assert_failure
	assert_output "rebuild: no architecture sparc; cmake/architectures names amd64 arm64 armhf i386 ppc64el riscv64"
}

@test "cmake/architectures is read by name: each architecture's fields, its presets, and nothing it does not give" {
	in_a_script "cd $tree && architecture_names trixie && for field in machine emulator cpu rpm arch suite deb_workflow deb_preset portable; do architecture_field \$field armhf; done && architecture_field deb_preset amd64 && architecture_field portable amd64"
	assert_success
	assert_output "$(printf '%s\n' riscv64 armv7l qemu-arm cortex-a7,neon=off armv7hl armv7h bookworm package-armhf package-armhf portable-armhf default portable)"
	# The emulated ones, by the name a field gives, all but amd64.
	in_a_script "cd $tree && emulated_architectures arch | sed -n '1p;\$p'"
	assert_output "$(printf '%s\n' 'aarch64 qemu-aarch64 cortex-a53' 'riscv64 qemu-riscv64 sifive-u54')"
	for call in "architecture_field colour armhf" "architecture_field rpm sparc"; do
		in_a_script "cd $tree && $call"
		assert_failure
		assert_output --partial "cmake/architectures gives no"
	done
}

@test "control_field reads a field of deb822 data whole, whatever its case, in each paragraph; control_fields a paragraph's fields together" {
	printf '%s\n' 'Hash: SHA256' '' 'Source: glibc' 'Checksums-Sha256:' ' 1a 10 a.tar.xz' \
	    ' 2b 20 b.dsc' 'Build-Tainted-By: one' ' two' 'Source-Version: 2.36' '' \
	    'Package: libc6' 'source: gcc-12' 'Source-Version: 12.2' 'License: GPL' \
	    >"$BATS_TEST_TMPDIR/control"
	in_a_script "control_field Checksums-Sha256 $BATS_TEST_TMPDIR/control
	control_field Source <$BATS_TEST_TMPDIR/control
	control_field Build-Tainted-By $BATS_TEST_TMPDIR/control
	control_fields $BATS_TEST_TMPDIR/control Source Source-Version License
	linked_versions_of gcc-12 <$BATS_TEST_TMPDIR/control"
	assert_success
	assert_output "$(printf '%s\n' '1a 10 a.tar.xz' '2b 20 b.dsc' glibc gcc-12 one two \
	    $'glibc\t2.36\t' $'gcc-12\t12.2\tGPL' 12.2)"
}

@test "upgrades_asked gives N of --upgrades N, 0 without it, and refuses any N but a whole number above 0" {
	in_a_script 'upgrades_asked --upgrades 3 folder; upgrades_asked folder'
	assert_success
	assert_output $'3\n0'
	for wrong in 0 x -1; do
		in_a_script "upgrades_asked --upgrades $wrong folder"
		assert_failure
		assert_output --partial "--upgrades takes a whole number above 0"
	done
	in_a_script 'upgrades_asked --upgrades 3'
	assert_failure
}
