"""Resident memory per stored nonce.

Feeds fresh 22-character tokens to consume_nonce_rs in one window and prints
how much the process's resident set grew per token. A Python set of the
same str objects is measured the same way, for comparison. Each measurement
runs in its own child process so that neither sees the other's pages.

    python bench/nonce_memory.py [--tokens N] [--json]
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import base64, json, os, sys

PAGE = os.sysconf("SC_PAGE_SIZE")

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE

def token(i):
    # 16 bytes of a counter, URL-safe base64 without padding: 22 characters.
    return base64.urlsafe_b64encode((i * 0x9E3779B97F4A7C15 % 2**128).to_bytes(16, "little"))[:22].decode()

count, kind = int(sys.argv[1]), sys.argv[2]
if kind == "module":
    import quelvar_core_rs as core
    consume = core.consume_nonce_rs
    core.clear_state_engine_rs()  # create the engine before the first reading
    for i in range(1000):  # warm the interpreter's own allocators
        token(count + i)
    before = resident_bytes()
    for i in range(count):
        if not consume(token(i)):
            raise SystemExit("a fresh token was refused")
    stored = core.get_state_engine_stats_rs()["current_bucket_nonces"]
elif kind == "set":
    seen = set()
    for i in range(1000):
        token(count + i)
    before = resident_bytes()
    for i in range(count):
        seen.add(token(i))
    stored = len(seen)
else:  # control: the same tokens made and dropped, nothing stored
    for i in range(1000):
        token(count + i)
    before = resident_bytes()
    for i in range(count):
        token(i)
    stored = 0
after = resident_bytes()
print(json.dumps({"tokens": stored, "bytes_per_token": (after - before) / count}))
"""


def measure(kind: str, tokens: int) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, str(tokens), kind], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tokens", type=int, default=1_000_000)
    parser.add_argument("--json", action="store_true", help="print one JSON object instead of a table")
    args = parser.parse_args()
    module = measure("module", args.tokens)
    if module["tokens"] != args.tokens:
        raise SystemExit(f"expected {args.tokens} stored tokens, the engine reports {module['tokens']}")
    if args.json:
        print(json.dumps(module))
        return
    python_set, control = measure("set", args.tokens), measure("control", args.tokens)
    print(f"fresh 22-character tokens:        {args.tokens:,}")
    print(f"consume_nonce_rs, bytes/token:    {module['bytes_per_token']:.1f}")
    print(f"Python set of str, bytes/token:   {python_set['bytes_per_token']:.1f}")
    print(f"control (tokens made, not kept):  {control['bytes_per_token']:.1f}")


if __name__ == "__main__":
    main()
