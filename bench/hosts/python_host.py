#!/usr/bin/python3
# A native messaging host in the usual Python pattern: read the 4-byte length,
# unpack it with struct, decode the JSON, answer with json.dumps. The bench
# sets the action and reason that the real host gives for the mix, so both
# replies have the same bytes.
import json
import os
import struct
import sys


def read_message(stream):
    header = stream.read(4)
    if len(header) < 4:
        return None
    (length,) = struct.unpack("<I", header)
    return json.loads(stream.read(length))


def send_message(stream, message):
    encoded = json.dumps(message, separators=(",", ":")).encode("utf-8")
    stream.write(struct.pack("<I", len(encoded)))
    stream.write(encoded)
    stream.flush()


def main():
    action = os.environ.get("QORDA_BENCH_ACTION", "takeover")
    reason = os.environ.get("QORDA_BENCH_REASON", "")
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    while True:
        message = read_message(stdin)
        if message is None:
            return
        reply = {
            "accepted": True,
            "host": "qorda-native-host",
            "version": "0.0.1",
            "messageType": message.get("messageType", "unknown"),
            "requestId": message.get("requestId", ""),
            "policyAction": action,
        }
        if reason:
            reply["reason"] = reason
        send_message(stdout, reply)


main()
