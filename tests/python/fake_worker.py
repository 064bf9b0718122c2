"""A scripted stand-in for ngspice-worker, for injecting faults into the pool.

Each request's netlist chooses the behaviour with a line "MODE=<mode>":
  echo      answer success with a vector "value" holding the number after "VALUE=" (default)
  crash     exit without answering
  hang      never answer
  slow      answer after SLOW_SECS=<s> seconds
  badframe  send a frame whose header length is 0
  huge      announce a header of 2^31 bytes
  exit-after  answer, then exit
  stray     send a stray frame for another id first, then the answer
  stall-after  answer, then stop reading requests
With FAKE_LOG set, every request id received is appended to that file.
"""

import json
import os
import re
import struct
import sys
import time

out = sys.stdout.buffer


def frame(req_id, value):
    header = json.dumps({"id": req_id, "success": True,
                         "vecs": [{"name": "value", "len": 1, "is_scale": False, "is_complex": False},
                                  {"name": "pid", "len": 1, "is_scale": False}],
                         "log": [], "measures": [["value", value]]}, separators=(",", ":")).encode()
    return struct.pack("<I", len(header)) + header + struct.pack("<d", value) + struct.pack("<d", os.getpid())


for line in sys.stdin:
    if not line.strip():
        continue
    req = json.loads(line)
    if os.environ.get("FAKE_LOG"):
        with open(os.environ["FAKE_LOG"], "a") as log:
            log.write(req["id"] + "\n")
    netlist = req["netlist"]
    mode = re.search(r"MODE=(\S+)", netlist)
    mode = mode.group(1) if mode else "echo"
    value = re.search(r"VALUE=(\S+)", netlist)
    value = float(value.group(1)) if value else 0.0
    if os.environ.get("FAKE_TAG"):  # lets tests tell apart which executable was started
        value = float(os.environ["FAKE_TAG"])
    if mode == "crash":
        sys.exit(3)
    if mode == "hang":
        time.sleep(3600)
    if mode == "slow":
        time.sleep(float(re.search(r"SLOW_SECS=(\S+)", netlist).group(1)))
    if mode == "badframe":
        out.write(b"\0\0\0\0")
        out.flush()
        continue
    if mode == "huge":
        out.write(struct.pack("<I", 2**31))
        out.flush()
        continue
    if mode == "stray":
        out.write(frame("stray", -1.0))
    out.write(frame(req["id"], value))
    out.flush()
    if mode == "exit-after":
        sys.exit(0)
    if mode == "stall-after":
        time.sleep(3600)
