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
daemon_pids=()

# Ends, by process id, the daemons started here and any that GNUstep started
# on demand: those inherit the folder's name in their environment.
end_daemons() {
  for pid in $({ printf '%s\n' "${daemon_pids[@]}" &&
    grep -lzxF "QORDA_GNUSTEP_CHECK=$work" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3; } | sort -u); do
    kill "$pid" 2>/dev/null && echo "ended pid $pid"
    for _ in {1..50}; do kill -0 "$pid" 2>/dev/null && sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
}
trap 'end_daemons; rm -rf "$work"' EXIT

passed=0 failed=0
expect() {
  if [[ $3 == "$2" ]]; then passed=$((passed + 1)) && echo "ok: $1" && return; fi
  failed=$((failed + 1)) && echo "FAILED: $1"
  diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | cat -v | sed 's/^/    /' || true
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

echo "==> compiling companion_macos.mm against GNUstep (-Werror)"
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
# TEMP holds GNUstep's message port names, so this daemon and no other
# answers this check. Zombies make a message to a freed object print.
isolated=(env GNUSTEP_CONFIG_FILE="$work/GNUstep.conf" HOME="$work/home" TEMP="$work/temp" TMP="$work/temp"
  QORDA_GNUSTEP_CHECK="$work" NSZombieEnabled=YES ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1
  QORDA_CHECK_GROUP_CONTAINERS="$work/groups")
lock_file=$work/groups/group.com.velmox.qorda/capture_inbox_payloads.lock
inbox_file=$work/home/GNUstep/Defaults/group.com.velmox.qorda.plist
check() { "${isolated[@]}" timeout 60 "$work/companion_check" "$@" 2>&1; }

# Started here rather than by GNUstep on first use, so that its process id is
# known; ready once its name (GNUstepGSPasteboardServer, base64) is registered.
"${isolated[@]}" gpbs --no-fork </dev/null >"$work/gpbs.log" 2>&1 & daemon_pids+=($!)
for _ in {1..100}; do
  [[ -e $work/temp/GNUstepSecure$(id -u)/NSMessagePort/names/R05Vc3RlcEdTUGFzdGVib2FyZFNlcnZlcg== ]] || sleep 0.1
done

echo "==> capture inbox, notification, policy pasteboard, launcher"
requested="launch requested: $work/Qorda.app activates=0 hides=1 newInstance=0 recentItems=0 prompts=0"
rows=(
  # name | expected output, lines joined by ';' | companion_check's arguments, tab-separated
  "each append is stored, under the lock, before the next reads|r1;é \"q\"|append	r1	append	é \"q\"	read"
  "without a group container the append goes on unlocked|x|QORDA_CHECK_GROUP_CONTAINERS=	append	x	read"
  "the notification: at once, the payload alone|posted com.velmox.qorda.capture.intent.submit object=nil immediately=1 keys=1 payload={\"r\": 3}|notify	{\"r\": 3}"
  "the published text is read, none before, with zeroed padding|(none);[1] (padding zeroed)|policy	publish	[1]	policy"
  "unchanged while the change count holds, changed after a publish|a (padding zeroed);unchanged yes;unchanged no;b (padding zeroed);unchanged yes|publish	a	policy	unchanged	publish	b	unchanged	policy	unchanged"
  "a read between clear and text is made again; an empty one proves no version|c (padding zeroed);(none);unchanged (no version)|publish-late	c	policy	clear	policy	unchanged"
  "a failed allocation is caught inside the pool: no policy, then the next read|(none);d (padding zeroed)|publish	d	fail-alloc	policy	policy"
  "a running application is not launched; once it quits, the run loop's turn shows it|returned before 0.4 s, handlers started 0;$requested;returned before 0.4 s, handlers started 1|running	QORDA_CHECK_APPLICATION_PATH=$work/Qorda.app	launch	quit	launch"
  "no installed application: no launch|returned before 0.4 s, handlers started 0|launch"
  "a late handler is awaited 0.5 s and runs safely after|$requested;returned at 0.4 to 1 s, handlers started 0;handlers finished 1|QORDA_CHECK_APPLICATION_PATH=$work/Qorda.app	QORDA_CHECK_LAUNCH_MS=2000	launch	wait-handler"
)
for row in "${rows[@]}"; do
  rm -f "$inbox_file"
  IFS=$'\t' read -r -a arguments <<<"${row#*|*|}"
  rest=${row#*|}
  expect "${row%%|*}" "${rest%%|*}" "$(check "${arguments[@]}" | paste -sd ';')"
done

# GNUstep drops a leading byte order mark when it reads a string back from
# the store, so the check looks into the stored file.
echo '{ capture_inbox_payloads = "not a list"; }' >"$inbox_file"
expect "a value not a list gives way; a leading byte order mark stays" "<string>"$'\xef\xbb\xbf'"{}</string>" \
  "$(check append $'\xef\xbb\xbf{}' && grep -o '<string>.*</string>' "$inbox_file")"

# A lock held past the timeout (5 s) costs the entry, after about 5 s.
flock --exclusive "$lock_file" sleep 6 & holder=$!
sleep 0.2 && rm -f "$inbox_file" && started=$SECONDS
got=$(check append dropped read)
expect "an append gives up on a lock held past 5 s, after about 5 s" "(absent) 5±1 s" \
  "${got:-(absent)} $(((d = SECONDS - started) >= 4 && d <= 6 ? 5 : d))±1 s"
wait "$holder"

echo "macos_check: $passed passed, $failed failed"
((failed == 0))
