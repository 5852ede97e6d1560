"""Two builds side by side: runs benchmark groups under two interpreters (each with its own installed
package), interleaved, and prints each case's ratio to its plain-Python twin for both.

    .venv/bin/python benchmarks/before_after.py OTHER_PYTHON [rounds] [group ...]

Each round runs both builds once; a case's ratio is the best over the rounds. The plain twins run in
the same process as each build, so the ratios compare across builds while the machine's load varies.
"""

import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
LINE = re.compile(r"^(?P<label>.+?)\s+ours\s+(?P<ours>[\d.]+) us\s+plain\s+(?P<plain>[\d.]+) us\s+ratio\s+(?P<ratio>[\d.]+)"
                  r" \(target <= (?P<target>[\d.]+)\)")


def ratios(python, groups):
    done = subprocess.run([python, str(HERE / "run.py"), *groups], capture_output=True, text=True, check=True)
    found = {}
    for line in done.stdout.splitlines():
        match = LINE.match(line)
        if match:
            found[match["label"].strip()] = (float(match["ratio"]), float(match["target"]))
    return found


def main(argv):
    other, rest = argv[0], argv[1:]
    rounds = int(rest.pop(0)) if rest and rest[0].isdigit() else 3
    best = {"before": {}, "after": {}}
    for _ in range(rounds):
        for side, python in (("before", other), ("after", sys.executable)):
            for label, (ratio, target) in ratios(python, rest).items():
                old = best[side].get(label, (float("inf"), target))
                best[side][label] = (min(old[0], ratio), target)
    print(f"{'case':<62} {'before':>7} {'after':>7} {'target':>7}")
    for label, (ratio, target) in best["after"].items():
        before = best["before"].get(label, (float("nan"), target))[0]
        print(f"{label:<62} {before:7.2f} {ratio:7.2f} {target:7.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
