#!/usr/bin/env bash
# The macOS channels checked on Linux: compiles Sources/app/companion_macos.mm
# with clang against GNUstep, warnings as errors, and runs it against
# GNUstep's user defaults, distributed notification centre and pasteboard,
# with stand-ins for the few calls GNUstep lacks (in companion_check.mm). This
# proves that the file compiles against the API and that its logic holds; the
# macOS build itself is checked on a Mac.
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
  local pid command
  for pid in $({ printf '%s\n' "${daemon_pids[@]}" &&
    grep -lzxF "QORDA_GNUSTEP_CHECK=$work" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3; } | sort -u); do
    command=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") && kill "$pid" 2>/dev/null &&
      echo "ended ${command}(pid $pid)"
    for _ in {1..50}; do kill -0 "$pid" 2>/dev/null && sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  daemon_pids=()
}
trap 'end_daemons; rm -rf "$work"' EXIT

passed=0 failed=0
expect() {
  local name=$1 want=$2 got=$3
  if [[ $got == "$want" ]]; then passed=$((passed + 1)) && echo "ok: $name" && return; fi
  failed=$((failed + 1)) && echo "FAILED: $name"
  diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") | cat -v | sed 's/^/    /' || true
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
  "$("${compile_host[@]}" -c Sources/app/companion_macos.mm -o "$work/companion_macos.o" 2>&1)"
# A selector the API lacks is only a warning by default: it must fail here.
sed 's/setHides:YES/setHide:YES/' Sources/app/companion_macos.mm >"$work/misspelled.mm"
expect "a misspelled selector fails the compile" "instance method '-setHide:' not found" \
  "$("${compile_host[@]}" -fsyntax-only "$work/misspelled.mm" 2>&1 | grep -o "instance method '-setHide:' not found")"

"${compile[@]}" -c "$here/companion_check.mm" -o "$work/companion_check.o"
# The blocks runtime first: GNUstep's own copies no block that captures.
# shellcheck disable=SC2046 # the libraries are words
clang++ -fsanitize=address "$work"/*.o -o "$work/companion_check" -lBlocksRuntime $(gnustep-config --gui-libs)

# --- run under a private GNUstep configuration ------------------------------

mkdir -p "$work/home/GNUstep/Defaults" "$work/temp"
cat >"$work/GNUstep.conf" <<EOF
GNUSTEP_USER_DIR=$work/home/GNUstep
GNUSTEP_USER_DEFAULTS_DIR=$work/home/GNUstep/Defaults
GNUSTEP_USER_CONFIG_FILE=.GNUstep.conf
EOF
# TEMP holds GNUstep's message port names, so these daemons and no others
# answer this check. Zombies make a message to a freed object print.
isolated=(env GNUSTEP_CONFIG_FILE="$work/GNUstep.conf" HOME="$work/home" TEMP="$work/temp" TMP="$work/temp"
  QORDA_GNUSTEP_CHECK="$work" NSZombieEnabled=YES ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1
  QORDA_CHECK_GROUP_CONTAINERS="$work/groups")
lock_file=$work/groups/group.com.velmox.qorda/capture_inbox_payloads.lock
inbox_file=$work/home/GNUstep/Defaults/group.com.velmox.qorda.plist
app=$work/Qorda.app
# check [VARIABLE=value...] COMMAND...: companion_check's output and errors.
check() {
  local settings=()
  while [[ $1 == *=* ]]; do settings+=("$1") && shift; done
  "${isolated[@]}" "${settings[@]}" timeout 60 "$work/companion_check" "$@" 2>&1
}

# Started here rather than by GNUstep on first use, so that their process ids
# are known; both are ready once their names are registered.
echo "==> starting gdnc and gpbs"
for daemon in gdnc gpbs; do
  "${isolated[@]}" "$daemon" --no-fork </dev/null >"$work/$daemon.log" 2>&1 & daemon_pids+=($!)
done
# GDNCServer and GNUstepGSPasteboardServer, base64-encoded
names=$work/temp/GNUstepSecure$(id -u)/NSMessagePort/names
for _ in {1..100}; do
  [[ -e $names/R0ROQ1NlcnZlcg== && -e $names/R05Vc3RlcEdTUGFzdGVib2FyZFNlcnZlcg== ]] || sleep 0.1
done

# The stand-in store writes late unless synchronized, and reports a write
# made while the inbox lock is free; the listener's delivery is suspended.
echo "==> capture inbox, notification, policy pasteboard, launcher"
bom=$'\xef\xbb\xbf'
received='received com.velmox.qorda.capture.intent.submit object=nil userInfo keys=1 payload='
r3='{"requestId": "r3"}'
requested="launch requested: $app activates=0 hides=1 createsNewApplicationInstance=0"
rows=(
  # name | expected output | companion_check's settings and commands, tab-separated
  "each append is stored, under the lock, before the next reads|r1
é \"q\"|append	r1	append	é \"q\"	read"
  "without a group container the append goes on unlocked|x|QORDA_CHECK_GROUP_CONTAINERS=	append	x	read"
  "a suspended listener gets the notification at once, payload alone|$received$r3|notify	$r3"
  "the published text is read, none before, with the parser's padding|(none)
[1] (padding reserved)|policy	publish	[1]	policy"
  "a snapshot replaced under the same change count is not unchanged|a (padding reserved)
unchanged no|publish	a	policy	replace	b	unchanged"
  "no installed application: no launch|returned before 0.4 s, handlers started 0|launch"
  "an installed application is launched hidden, inactive, single, and awaited|$requested
returned before 0.4 s, handlers started 1|QORDA_CHECK_APPLICATION_PATH=$app	launch"
  "a late handler is awaited 0.5 s and runs safely after|$requested
returned at 0.4 to 1 s, handlers started 0
handlers finished 1|QORDA_CHECK_APPLICATION_PATH=$app	QORDA_CHECK_LAUNCH_MS=2000	launch	wait-handler"
)
for row in "${rows[@]}"; do
  rm -f "$inbox_file"
  IFS=$'\t' read -r -a commands <<<"${row#*|*|}"
  rest=${row#*|}
  expect "${row%%|*}" "${rest%%|*}" "$(check "${commands[@]}")"
done

# GNUstep drops a leading byte order mark when it reads a string back from
# the store or from a notification, so the check looks into the stored file.
rm -f "$inbox_file"
expect "a leading byte order mark stays in the stored text" "<string>$bom{}</string>" \
  "$(check append "$bom{}" && grep -o '<string>.*</string>' "$inbox_file")"

# A store that holds something else under the key.
echo '{ capture_inbox_payloads = "not a list"; }' >"$inbox_file"
expect "a value that is not a list gives way to a one-element list" "(not a list) not a list
{}" "$(check read append {} read)"

# Four processes appending at once: with the lock, none loses another's entry.
rm -f "$inbox_file"
writers=()
for writer in 1 2 3 4; do
  # shellcheck disable=SC2046 # one argument per word
  check $(printf "append writer$writer-%d " {1..25}) >/dev/null &
  writers+=($!)
done
wait "${writers[@]}" || true
expect "4 processes x 25 concurrent appends keep all 100 entries" "100" "$(check read | sort -u | grep -c '^writer')"

# A lock held past the timeout (5 s) costs the entry, after about 5 s.
flock --exclusive "$lock_file" sleep 6 &
holder=$!
sleep 0.2
started=$SECONDS
rm -f "$inbox_file"
got=$(check append dropped read)
waited=$((SECONDS - started))
wait "$holder" || true
expect "an append gives up on a lock held past 5 s, after about 5 s" "(absent) about 5 s" \
  "$got $([[ $waited -ge 4 && $waited -le 6 ]] && echo "about 5" || echo "$waited") s"

end_daemons
echo "macos_check: $passed passed, $failed failed"
((failed == 0))
