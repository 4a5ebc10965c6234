"""Runs qorda-frame-client against scripted hosts (this file, started with
--host MODE) and checks its output, messages and exit status."""
import os
import signal
import struct
import subprocess
import sys


def host(mode):
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer

    def send(body, length=None):
        stdout.write(struct.pack("<I", len(body) if length is None else length) + body)
        stdout.flush()

    count = 0
    while len(header := stdin.read(4)) == 4:
        (size,) = struct.unpack("<I", header)
        body = stdin.read(size)
        count += 1
        if mode == "exit-on-second" and count == 2:
            return 0
        if mode == "silent":
            continue
        {
            "garbage": lambda: send(b"not json\x01"),
            "unframed": lambda: stdout.write(b"hello there\n") and stdout.flush(),
            "truncated": lambda: send(b'{"a"', length=40),
            "pretty": lambda: send(b'{\n  "n": %d\r\n}' % count),
        }.get(mode, lambda: send(b'{"echo":%s,"bytes":%d}' % (body, size)))()
        if mode == "truncated":
            return 0
        if mode == "extra-reply":
            send(b"{}")
    if mode == "killed":
        os.kill(os.getpid(), signal.SIGSEGV)
    return 3 if mode == "status-3" else 0


def echo(request, size):
    return '{"request":%s,"reply":{"echo":%s,"bytes":%d}}\n' % (request, request, size)


TWO_LINES = '{"a":"\u00e9"}\n\n \r\n[1,2]\r\n'
# name, client options, host mode (None: no command), stdin, exit status,
# expected stdout (None: not checked), expected part of stderr
CASES = [
    ("echoes framed lines", [], "echo", TWO_LINES, 0,
     echo('{"a":"\u00e9"}', 10) + echo("[1,2]", 5), ""),
    ("replies only", ["--replies-only"], "echo", "[]\n", 0, '{"echo":[],"bytes":2}\n', ""),
    ("pretty reply on one line", [], "pretty", "1\n", 0, '{"request":1,"reply":{  "n": 1}}\n', ""),
    ("no input", [], "echo", "", 0, "", ""),
    ("reply not JSON", [], "garbage", "{}\n", 1, "", "reply to line 1 is not JSON: not json."),
    ("unframed output", [], "unframed", "{}\n", 1, "", "host is not writing frames"),
    ("exit before reply", [], "exit-on-second", TWO_LINES, 1, None,
     "host exited before replying to line 4"),
    ("truncated reply", [], "truncated", "{}\n", 1, "", "middle of its reply to line 1"),
    ("no reply", ["--timeout", "1"], "silent", "{}\n", 1, "", "did not reply to line 1 within 1 s"),
    ("reply too many", [], "extra-reply", "{}\n", 1, None, "host wrote 6 bytes after its last reply"),
    ("host fails", [], "status-3", "{}\n", 1, None, "host exited with status 3"),
    ("host crashes", [], "killed", "{}\n", 1, None, "host was killed by signal 11"),
    ("request not JSON", [], "echo", "{}\n{oops\n", 1, None, "line 2 is not JSON: {oops"),
    ("missing host", ["/nonexistent/host"], None, "{}\n", 1, "", "cannot start /nonexistent/host"),
    ("no command", [], None, "", 2, "", "no COMMAND given"),
    ("unknown option", ["--fast", "cat"], None, "", 2, "", "unknown option --fast"),
    ("bad timeout", ["--timeout", "0", "cat"], None, "", 2, "", "--timeout wants whole seconds"),
]


def run_case(client, options, mode, stdin, status, stdout, stderr):
    command = [client, *options]
    if mode is not None:
        command += ["--", sys.executable, os.path.abspath(__file__), "--host", mode]
    result = subprocess.run(command, input=stdin.encode(), capture_output=True, timeout=30)
    out, err = result.stdout.decode(), result.stderr.decode()
    problems = []
    if result.returncode != status:
        problems.append(f"exit status {result.returncode}, wanted {status}")
    if stdout is not None and out != stdout:
        problems.append(f"stdout {out!r}, wanted {stdout!r}")
    # Failures of a session get exactly one line; usage errors may add help.
    if stderr not in err or (status == 1 and err.count("\n") != 1):
        problems.append(f"stderr {err!r}, wanted {stderr!r}")
    return problems


def main():
    if sys.argv[1] == "--host":
        return host(sys.argv[2])
    failed = 0
    for name, *case in CASES:
        problems = run_case(sys.argv[1], *case)
        for problem in problems:
            print(f"FAIL {name}: {problem}")
        failed += bool(problems)
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
