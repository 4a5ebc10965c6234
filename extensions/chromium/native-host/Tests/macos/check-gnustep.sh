#!/usr/bin/env bash
# The macOS channels checked on Linux: compiles Sources/app/companion_macos.mm
# with clang against GNUstep, warnings as errors, and runs it against
# GNUstep's user defaults and pasteboard, with stand-ins for the calls GNUstep
# lacks or cannot show (in companion_check.mm). This proves that the file
# compiles against the API and that its logic holds; what only a Mac can show
# is listed in the README's macOS section.
#
# Needs: bash scripts/bootstrap gnustep. Usage: Tests/macos/check-gnustep.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

here=Tests/macos
work=$(mktemp -d "${TMPDIR:-/tmp}/qorda-gnustep-check.XXXXXX")
# Ends, by process id, the daemons that GNUstep started on demand: they
# inherit the folder's name in their environment.
trap 'for pid in $(grep -lzxF "QORDA_GNUSTEP_CHECK=$work" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3); do
  kill "$pid" && timeout 5 tail --pid="$pid" -f /dev/null || kill -KILL "$pid" 2>/dev/null; done; rm -rf "$work"' EXIT

failed=0
expect() {
  [[ $3 == "$2" ]] && echo "ok: $1" && return
  failed=1 && echo "FAILED: $1" && diff <(echo "$2") <(echo "$3") | cat -v | sed 's/^/    /' || true
}

# --- compile --------------------------------------------------------------

# GNUstep's headers as system headers, as Apple's SDK headers are on a Mac;
# no dependency files, and not the current folder.
mapfile -t gnustep_flags < <(gnustep-config --objc-flags | tr ' ' '\n' | grep -vxE -e '-MMD|-MP|-I\.|' |
  sed 's/^-I\(.*\)/-isystem\n\1/')
# Debian's GNUstep uses GCC's Objective-C runtime: clang needs GCC's objc/
# headers, and include/ stands in for the blocks header that it lacks. Address
# sanitizer turns a touch of freed memory, say by a late handler, into a failure.
compile=(clang++ -fsanitize=address -x objective-c++ -std=c++20 -fobjc-runtime=gcc -fblocks -fobjc-exceptions
  "${gnustep_flags[@]}" -idirafter "$(gcc -print-file-name=include)" -idirafter "$here/include" -ISources -ISources/app
  -Wall -Wextra -Werror)
# The project's own warnings, on a Mac as here.
compile_host=("${compile[@]}" -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -include "$here/apple_api_shim.h")

expect "compiles with no warning" "" \
  "$("${compile_host[@]}" -S -emit-llvm Sources/app/companion_macos.mm -o "$work/companion_macos.ll" 2>&1)"
# On a Mac, clang gives a file without @catch the C++ personality, which
# catches C++ exceptions; with GCC's runtime it gives every function the
# Objective-C one, which catches none. The check takes the Mac's.
sed -i 's/@__gnu_objc_personality_v0/@__gxx_personality_v0/g' "$work/companion_macos.ll"
clang++ -c "$work/companion_macos.ll" -o "$work/companion_macos.o"
# A selector the API lacks is only a warning by default: it must fail here.
expect "a misspelled selector fails the compile" "instance method '-setHide:' not found" "$(sed 's/setHides:/setHide:/' \
  Sources/app/companion_macos.mm | "${compile_host[@]}" -fsyntax-only - 2>&1 | grep -o "instance method '-setHide:' not found")"
"${compile[@]}" -c "$here/companion_check.mm" -o "$work/companion_check.o"
# The blocks runtime first: GNUstep's own copies no block that captures.
# shellcheck disable=SC2046 # the libraries are words
clang++ -fsanitize=address "$work"/*.o -o "$work/companion_check" -lBlocksRuntime $(gnustep-config --gui-libs)

# --- run under a private GNUstep configuration ------------------------------

mkdir -p "$work/home/GNUstep/Defaults" "$work/temp"
printf 'GNUSTEP_USER_DIR=%s\nGNUSTEP_USER_DEFAULTS_DIR=%s/Defaults\nGNUSTEP_USER_CONFIG_FILE=.GNUstep.conf\n' \
  "$work/home/GNUstep" "$work/home/GNUstep" >"$work/GNUstep.conf"
# TEMP holds GNUstep's message port names, so the daemons GNUstep starts on
# demand answer this check alone. Zombies make a message to a freed object print.
isolated=(env GNUSTEP_CONFIG_FILE="$work/GNUstep.conf" HOME="$work/home" TEMP="$work/temp" TMP="$work/temp"
  QORDA_GNUSTEP_CHECK="$work" NSZombieEnabled=YES ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1
  QORDA_CHECK_GROUP_CONTAINERS="$work/groups" QORDA_CHECK_RUNNING=0 QORDA_CHECK_LAUNCH_MS=100)
inbox_file=$work/home/GNUstep/Defaults/group.com.velmox.qorda.plist
check() { "${isolated[@]}" timeout 60 "$work/companion_check" "$@" 2>&1; }
# The inbox as stored, an element a line.
stored() { sed -n 's:.*<string>\(.*\)</string>:\1:p' "$inbox_file" 2>/dev/null; }

app=QORDA_CHECK_APPLICATION_PATH=$work/Qorda.app
requested="launch requested: $work/Qorda.app activates=0 hides=1 newInstance=0 recentItems=0 prompts=0"
rows=(
  # name | expected output, lines joined by ';' | companion_check's arguments, tab-separated
  "the notification: at once, the payload alone; each append is stored, under the lock, before the next reads; without a group container it goes on unlocked|posted com.velmox.qorda.capture.intent.submit object=nil immediately=1 keys=1 payload={\"r\": 3};r1;é;x|notify	{\"r\": 3}	append	r1	append	é	QORDA_CHECK_GROUP_CONTAINERS=	append	x"
  "none before a publish; the text with zeroed padding; unchanged while the change count holds; a read between clear and text is made again; an empty one proves no version; a failed allocation is caught inside the pool|(none);a (padding zeroed);unchanged yes;unchanged no;b (padding zeroed);unchanged yes;c (padding zeroed);(none);unchanged (no version);(none);d (padding zeroed)|policy	publish	a	policy	unchanged	publish	b	unchanged	policy	unchanged	publish-late	c	policy	clear	policy	unchanged	publish	d	policy-no-memory	policy"
  "none installed or one running: no launch; once it quits, the run loop's turn shows it|returned before 0.4 s, handlers started 0;returned before 0.4 s, handlers started 0;$requested;returned before 0.4 s, handlers started 1|launch	QORDA_CHECK_RUNNING=1	$app	launch	QORDA_CHECK_RUNNING=0	launch"
  "a late handler is awaited 0.5 s and runs safely after|$requested;returned at 0.4 to 1 s, handlers started 0;handlers finished 1|$app	QORDA_CHECK_LAUNCH_MS=2000	launch	wait-handler"
)
for row in "${rows[@]}"; do
  rm -f "$inbox_file"
  IFS=$'\t' read -r -a arguments <<<"${row#*|*|}"
  rest=${row#*|}
  expect "${row%%|*}" "${rest%%|*}" "$({ check "${arguments[@]}" && stored; } | paste -sd ';')"
done

# GNUstep drops a leading byte order mark when it reads a string back from
# the store, so the check looks into the stored file.
echo '{ capture_inbox_payloads = "not a list"; }' >"$inbox_file"
expect "a value not a list gives way; a leading byte order mark stays" $'\xef\xbb\xbf{}' "$(check append $'\xef\xbb\xbf{}' && stored)"

# A lock held past the timeout (5 s) costs the entry, after no less than 4 s.
rm -f "$inbox_file" && flock "$work/groups/group.com.velmox.qorda/capture_inbox_payloads.lock" sleep 6 &
sleep 0.2 && started=$SECONDS
expect "an append gives up on a lock held past 5 s, after about 5 s" "1" "$(check append dropped && stored)$((SECONDS - started >= 4))"
wait $!

exit $failed
