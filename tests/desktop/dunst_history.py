#!/usr/bin/env python3
"""Prints dunst's history (JSON of `dunstctl history` on stdin), oldest first,
one "summary|body|urgency" line per notification. The desktop lab's dunstrc
shows every notification as "summary (URGENCY)" and the body."""
import json
import sys

for n in reversed(json.load(sys.stdin)["data"][0]):
    head = n["message"]["data"].split("\n", 1)[0]
    urgency = head.rsplit(" (", 1)[1].rstrip(")")
    print(n["summary"]["data"] + "|" + n["body"]["data"] + "|" + urgency)
