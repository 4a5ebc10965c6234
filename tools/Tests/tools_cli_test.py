"""Runs qorda-policy, qorda-inbox and qorda-frame-client as people and scripts use them:
tools_cli_test.py POLICY_COMMAND INBOX_COMMAND FRAME_CLIENT_COMMAND (this file with --host: a scripted host)."""
import os, sqlite3, stat, struct, subprocess, sys, tempfile

GOOD = ('{"hardBlockedHosts":["blocked.example"],'
        '"bypassRules":[{"scope":"pathPrefix","pattern":"https://f.example/a/"}]}')
MESSAGE = '{"payload":{"intent":{"resource":{"url":"https://cdn.blocked.example/v.mp4"}}}}'
MESSAGE_ON_PAGE = '{"payload":{"intent":{"resource":{"url":"https://a.example/v.mp4"},"sourceContext":{"pageUrl":"p"}}}}'

# name, tool, arguments, stdin, exit status, part of stdout (None: nothing), part of stderr
CASES = [
    ("explain without a request", "policy", ["explain"], "", 2, "", "--url or --message"),
    ("check as JSON", "policy", ["check", "--json", "-"], '{"userDenyHosts":[1],"x":0}', 1,
     '"counts":{"userDenyHosts":0,', ""),
    ("check what the host would not read", "policy", ["check", "huge.json"], "", 1, "snapshot: too_large", ""),
    ("publish refuses the unusable", "policy", ["publish", "-"], "nope", 1, "", "not published"),
    ("publish refuses the too large, even forced", "policy", ["publish", "--force", "huge.json"], "", 1, "", "256 MiB"),
    ("show before any publish", "policy", ["show"], "", 1, "", "no policy snapshot is published"),
    ("publish", "policy", ["publish", "good.json"], "", 0, "", ""),
    ("show after publish", "policy", ["show"], "", 0, GOOD, ""),
    ("show ignores a relative runtime folder", "policy", ["show"], "", 1, "", "no policy snapshot is published"),
    ("explain a message under the published policy", "policy", ["explain", "--message", "-"], MESSAGE, 0,
     'blocked hard_blocked_site: resource host cdn.blocked.example is covered by hardBlockedHosts[0] "blocked.example"',
     ""),
    ("explain flags as JSON", "policy", ["explain", "--json", "--url", "https://f.example/a/b", "--signal", "direct_url"],
     "", 0, '"decidedBy":"direct_link_rules","matched":{"rule":{"scope":"pathPrefix"', ""),
    ("no inbox yet", "inbox", ["list"], "", 1, "", "no inbox yet"),
    ("watch without a bus", "inbox", ["watch"], "", 1, "", "no session bus"),
    ("list", "inbox", ["list"], "", 0, "7\thttps://a.example/v.mp4\tpage p\n8\tnot json\n", ""),
    ("list as JSON", "inbox", ["list", "--json"], "", 0, '[{"id":7,"url":"https://a.example/v.mp4",', ""),
    ("take into a full disk keeps the rows", "inbox", ["take", "--json"], "", 1, "", "cannot write"),
    ("take into a closed pipe keeps the rows", "inbox", ["take"], "", 1, "", "cannot write"),
    ("take", "inbox", ["take"], "", 0, "8\tnot json", ""),
    ("take leaves nothing", "inbox", ["list"], "", 0, None, ""),
    ("a database that is not ours", "inbox", ["list"], "", 1, "", "is not a capture inbox"),
    # A pretty-printed reply comes out on one line.
    ("frames each line", "frame", ["echo"], '{"a":"é"}\n \n[1,2]\r\n', 0,
     '{"request":{"a":"é"},"reply":{"echo": {"a":"é"}}}\n{"request":[1,2],"reply":{"echo": [1,2]}}\n', ""),
    ("a host that exits before replying", "frame", ["exit"], "{}\n", 1, "", "host exited before replying to line 1"),
]


def host(mode):
    while len(header := sys.stdin.buffer.read(4)) == 4 and mode == "echo":
        reply = b'{\r\n"echo": %s\n}' % sys.stdin.buffer.read(struct.unpack("<I", header)[0])
        os.write(1, struct.pack("<I", len(reply)) + reply)
    return 0

def main():
    if sys.argv[1] == "--host":
        return host(sys.argv[2])
    tools = {"policy": sys.argv[1], "inbox": sys.argv[2], "frame": sys.argv[3]}
    failures = 0
    with tempfile.TemporaryDirectory() as home:
        os.chdir(home)
        open("good.json", "w").write(GOOD)
        open("huge.json", "w").truncate(257 << 20)  # sparse
        database = os.path.join(home, "data", "group.com.velmox.qorda", "defaults.sqlite3")
        env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=home, XDG_DATA_HOME=os.path.join(home, "data"),
                   DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(home, "no-bus"))
        for name, tool, args, stdin, status, out, err in CASES:
            if name == "list":
                os.makedirs(os.path.dirname(database), exist_ok=True)
                with sqlite3.connect(database) as db:
                    db.execute("CREATE TABLE capture_inbox_payloads(id INTEGER PRIMARY KEY AUTOINCREMENT, payload)")
                    db.execute("INSERT INTO capture_inbox_payloads VALUES (7, ?), (8, 'not json')", (MESSAGE_ON_PAGE,))
            if name == "a database that is not ours":
                with sqlite3.connect(database) as db:
                    db.execute("DROP TABLE capture_inbox_payloads")
            stdout = subprocess.PIPE
            if "full disk" in name:
                stdout = os.open("/dev/full", os.O_WRONLY)
            if "closed pipe" in name:
                reader, stdout = os.pipe()
                os.close(reader)
            if tool == "frame":  # options end at the host's command
                args = [sys.executable, os.path.abspath(__file__), "--host"] + args
            run = subprocess.run([tools[tool]] + args, input=stdin, stdout=stdout, stderr=subprocess.PIPE,
                                 text=True,
                                 env=dict(env, XDG_RUNTIME_DIR=".") if "relative" in name else env)
            run.stdout = run.stdout or ""
            if stdout != subprocess.PIPE:
                os.close(stdout)
            # Failures say why on one line.
            one_line = status == 0 or (tool == "policy" and status == 1) or run.stderr.count("\n") == 1
            wrong_out = run.stdout if out is None else out not in run.stdout
            if run.returncode != status or wrong_out or err not in run.stderr or not one_line:
                failures += 1
                print(f"FAIL {name}: exit {run.returncode}\n  stdout: {run.stdout!r}\n  stderr: {run.stderr!r}")
        # The published snapshot is private, and no temporary file is left behind.
        mode = stat.S_IMODE(os.stat(os.path.join(home, "com.velmox.qorda.policy")).st_mode)
        failures += mode != 0o600 or any(f.startswith(".") for f in os.listdir(home))
    print(f"{len(CASES) - failures} of {len(CASES)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
