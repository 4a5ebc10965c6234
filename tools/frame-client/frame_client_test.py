"""Runs qorda-frame-client against a scripted host (this file with --host MODE)."""
import os, struct, subprocess, sys


def host(mode):
    while len(header := sys.stdin.buffer.read(4)) == 4:
        body = sys.stdin.buffer.read(struct.unpack("<I", header)[0])
        if mode == "exit":
            return 0
        # A pretty-printed reply must still come out on one line.
        reply = b"not json\x01" if mode == "garbage" else b'{\r\n"echo": %s\n}' % body
        os.write(1, struct.pack("<I", len(reply)) + reply)
    return 0


# name, host mode, stdin, exit status, stdout, part of stderr
CASES = [
    ("echoes framed lines", "echo", '{"a":"é"}\n \n[1,2]\r\n', 0,
     '{"request":{"a":"é"},"reply":{"echo": {"a":"é"}}}\n{"request":[1,2],"reply":{"echo": [1,2]}}\n', ""),
    ("reply not JSON", "garbage", "{}\n", 1, "", "reply to line 1 is not JSON: not json."),
    ("exit before reply", "exit", "{}\n", 1, "", "host exited before replying to line 1"),
]


def main():
    if sys.argv[1] == "--host":
        return host(sys.argv[2])
    failed = 0
    for name, mode, stdin, status, stdout, stderr in CASES:
        command = [sys.argv[1], sys.executable, os.path.abspath(__file__), "--host", mode]  # options end at COMMAND
        r = subprocess.run(command, input=stdin.encode(), capture_output=True, timeout=30)
        out, err = r.stdout.decode(), r.stderr.decode()
        one_line = status != 1 or err.count("\n") == 1  # a failed session says why on one line
        if (r.returncode, out) != (status, stdout) or stderr not in err or not one_line:
            print(f"FAIL {name}: status {r.returncode}, stdout {out!r}, stderr {err!r}")
            failed += 1
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
