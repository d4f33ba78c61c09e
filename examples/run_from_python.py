#!/usr/bin/env python3
"""Runs a method with quorvel-run as a lab's scheduler would: follows its JSON records,
answers each Event with `event`, pauses and resumes once, and prints the end record.

    examples/run_from_python.py [QUORVEL_RUN] [METHOD.pmf]

By default it runs examples/rinse_and_dispense.pmf on the simulated devices, at a twentieth
of their real pace, with the quorvel-run the build made (build/default/src/quorvel-run).
Its exit status is quorvel-run's.
"""
import json
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
program = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    here, "..", "build", "default", "src", "quorvel-run")
method = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "rinse_and_dispense.pmf")

run = subprocess.Popen(
    [program, "--json", "--control", "--simulate", "--time-scale", "0.05", method],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8")


def send(command):
    run.stdin.write(command + "\n")
    run.stdin.flush()


paused_once = False
end = None
for line in run.stdout:
    record = json.loads(line)
    kind = record["type"]
    if kind == "start":
        print(f"running {record['method']} ({record['steps']} steps, sha256 {record['sha256'][:12]})")
    elif kind == "step":
        print(f"step {record['row']}: {record['action']}")
        if not paused_once:
            # The step under way finishes; the next waits for resume.
            paused_once = True
            send("pause")
    elif kind == "pause":
        print(f"paused at row {record['row']}")
        send("resume")
    elif kind == "resume":
        print("resumed")
    elif kind == "wait":
        print(f"row {record['row']} waits for its Event: sending event")
        send("event")
    elif kind == "error":
        print(f"error: {record['message']}", file=sys.stderr)
    elif kind == "end":
        end = record
run.stdin.close()
status = run.wait()
print(json.dumps(end))
sys.exit(status if end is not None else 1)
