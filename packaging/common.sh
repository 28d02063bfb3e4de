# Helpers the scripts in packaging/ share; sourced, not run. A failure
# anywhere, in a pipeline or a command substitution too, ends the script.
set -euo pipefail
shopt -s inherit_errexit

fail() {
	echo "$*" >&2
	exit 1
}

step() { printf '\n--- %s\n' "$*"; }

# Runs one command, a simple one, with its output kept aside in $work/log
# ($work being the caller's scratch folder). If it fails, shows that output
# and one line naming the command, and ends the script.
quietly() {
	if ! "$@" >"$work/log" 2>&1; then
		cat "$work/log" >&2
		fail "$(basename "$0"): failed: $*"
	fi
}
