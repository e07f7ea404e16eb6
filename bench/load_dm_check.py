#!/usr/bin/env python3
"""Checks what the stand-in DM received during bench/load, from its JSON log.

  load_dm_check.py DM_JSON WINDOWS --requests N --accounting N --alice N

DM_JSON is the file of qzovx-dm --json-log; WINDOWS holds one line per batch,
"MODE KIND PARALLEL START_MS END_MS". Prints one line per check and per batch
and exits 1 when a check failed.
"""
import argparse
import collections
import datetime
import json
import sys

KNOWN_EVENTS = {"Startup", "SERVERINFO", "Request", "Authorization", "AccountingRequest"}
# What the example policy answers each kind of user.
EXPECTED_RULE = {"alice": "alice", "mallory": "mallory"}  # unknown users: "default"
STALL_MS = 500


def field(fields, key):
    value = fields.get(key)
    if isinstance(value, list):
        return value[0]
    return value


def event_ms(entry):
    when = datetime.datetime.strptime(entry["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
    when = when.replace(tzinfo=datetime.timezone.utc)
    return int(when.timestamp() * 1000)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dm_json")
    parser.add_argument("windows")
    parser.add_argument("--requests", type=int, required=True)
    parser.add_argument("--accounting", type=int, required=True)
    parser.add_argument("--alice", type=int, required=True)
    parser.add_argument("--dm-connections", type=int, default=1)
    args = parser.parse_args()

    failures = 0

    def check(text, good):
        nonlocal failures
        print(("ok:   " if good else "FAIL: ") + text)
        if not good:
            failures += 1

    entries, broken = [], []
    with open(args.dm_json, encoding="utf-8", errors="replace") as log:
        for number, line in enumerate(log, 1):
            try:
                entry = json.loads(line)
                if not isinstance(entry, dict) or "event" not in entry:
                    raise ValueError("not an event object")
                entries.append(entry)
            except ValueError:
                broken.append(number)
    check(f"DM JSON log: every line an event object ({len(broken)} not)", not broken)

    not_messages = [e for e in entries if e["event"] is None]
    check(f"DM saw no line that is not a message ({len(not_messages)} seen)", not not_messages)
    for e in not_messages[:3]:
        print(f"      e.g. {e.get('line', '')[:160]!r}")
    unknown = [e for e in entries if e["event"] is not None and e["event"] not in KNOWN_EVENTS]
    check(f"DM saw no unknown event ({len(unknown)} seen)", not unknown)
    for e in unknown[:3]:
        print(f"      e.g. {str(e['event'])[:160]!r}")

    counts = collections.Counter(e["event"] for e in entries)
    check(f"Startup once, SERVERINFO once (got {counts['Startup']}, {counts['SERVERINFO']})",
          counts["Startup"] == 1 and counts["SERVERINFO"] == 1)
    check(f"Request events = access requests sent: {counts['Request']} of {args.requests}",
          counts["Request"] == args.requests)
    check(f"Authorization reports = access requests sent: {counts['Authorization']} of {args.requests}",
          counts["Authorization"] == args.requests)
    check(f"AccountingRequest events = accounting requests sent: "
          f"{counts['AccountingRequest']} of {args.accounting}",
          counts["AccountingRequest"] == args.accounting)

    requests = [e for e in entries if e["event"] == "Request"]
    users = collections.Counter(field(e.get("fields", {}), "USER") for e in requests)
    check(f"Request events for alice: {users['alice']} of {args.alice}", users["alice"] == args.alice)
    wrong = 0
    for e in requests:
        user = field(e.get("fields", {}), "USER") or ""
        rule = (e.get("answer") or {}).get("rule")
        want = EXPECTED_RULE.get(user, "default" if user.startswith("guest") else "?")
        if rule != want:
            wrong += 1
    check(f"every decision from the expected rule ({wrong} not)", wrong == 0)

    # Requests run in parallel, so another request's messages may come
    # between a Request and its report; each Request's report (same switch,
    # port and client) must still come after it, and no report without its
    # Request.
    unpaired, waiting = 0, collections.Counter()
    for e in entries:
        fields = e.get("fields", {})
        req_id = tuple((field(fields, key) or "").upper() for key in ("NAS_IP", "PORT", "CLIENT_MAC"))
        if e["event"] == "Request":
            waiting[req_id] += 1
        elif e["event"] == "Authorization":
            if waiting[req_id] > 0:
                waiting[req_id] -= 1
            else:
                unpaired += 1
    unpaired += sum(waiting.values())
    check(f"each Request followed by its Authorization report ({unpaired} not)", unpaired == 0)

    # Requests side by side use a connection each besides the first; everything
    # whose order the DM relies on (start-up, reports, accounting) uses the first.
    connections = sorted({e.get("conn") for e in entries})
    most = args.dm_connections + 1 if args.dm_connections > 1 else 1
    check(f"at most {most} DM connections for the whole run (got {len(connections)})",
          1 <= len(connections) <= most)
    ordered = {e.get("conn") for e in entries if e["event"] != "Request"}
    check(f"start-up, reports and accounting on one connection (got {len(ordered)})", len(ordered) == 1)

    # Stalls: the largest pause between two DM events inside each batch.
    times = sorted(event_ms(e) for e in entries)
    with open(args.windows, encoding="utf-8") as windows:
        for line in windows:
            mode, kind, parallel, start, end = line.split()
            if mode != "module":
                continue
            inside = [t for t in times if int(start) <= t <= int(end)]
            gaps = [b - a for a, b in zip(inside, inside[1:])]
            largest = max(gaps) if gaps else 0
            stalls = sum(1 for g in gaps if g >= STALL_MS)
            check(f"{kind} p={parallel}: {len(inside)} DM events, largest pause {largest} ms, "
                  f"{stalls} pauses >= {STALL_MS} ms", stalls == 0)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
