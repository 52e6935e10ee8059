"""A stand-in for xdotool over a desktop described in the JSON file named by
VANTOR_FAKE_XDOTOOL: {"windows": [[id, name], ...], "active": id}. Knows the
commands the desktop controller runs (search [--onlyvisible] --name PATTERN,
getactivewindow [getwindowname], getwindowname ID, windowactivate ID) and
appends each command line to the file's ".calls" companion."""
import json
import os
import re
import sys

world_file = os.environ["VANTOR_FAKE_XDOTOOL"]
with open(world_file) as source:
    world = json.load(source)
with open(world_file + ".calls", "a") as calls:
    calls.write(json.dumps(sys.argv[1:]) + "\n")
names = dict(world["windows"])
args = sys.argv[1:]
if args[0] == "search":
    pattern = args[-1]
    found = [wid for wid, name in world["windows"] if re.search(pattern, name, re.I)]
    print("\n".join(found))
    sys.exit(0 if found else 1)
if args == ["getactivewindow"]:
    print(world["active"])
elif args == ["getactivewindow", "getwindowname"]:
    print(names[world["active"]])
elif args[0] == "getwindowname":
    print(names.get(args[1], ""))
elif args[0] == "windowactivate":
    world["active"] = args[1]
    with open(world_file, "w") as sink:
        json.dump(world, sink)
else:
    sys.exit(f"unknown command {args}")
