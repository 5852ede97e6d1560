"""The build at scale: cold builds of 300 and 1,000 models (more with ``--sizes``) against
datamodel-code-generator, incremental rebuilds of 300 models, and the command's start.

Every run is a fresh process. Ours and the peer alternate (interleaved repeats); each line gives
the median and range of wall time and of the CPU time of all processes of the run, the peak
resident memory of the largest process and the sum of every process's peak, and the load average
and idle cores seen just before the runs.

    .venv/bin/python benchmarks/bench_scale.py [--sizes 300 1000 3000] [--repeats 3] [--keep DIR]

``--before CMD`` runs another version's command interleaved with this one, and ``--keep DIR``
leaves each command's generated packages in DIR/<command>/<size> for ``diff -r``. See bench_build.py for installing the peer.
``--where DIR`` makes the runs in a fresh folder inside DIR instead of the system's temporary
folder (creating files costs very different kernel time from one file system or area to another).
``--jobs N`` fixes the number of processes (the default lets each build count the free cores).
The idle cores of a line are watched for 0.3 s before each run (median and range); the last
lines give the memory growth per model between the sizes, of the largest process and of the sum
over all processes (compare runs with the same number of processes: see ``processes``).

A version to compare with needs no second compile when only Python files differ: copy the
virtual environment (``cp -a .venv /tmp/before-venv``), point the first line of its
``bin/korvan-models`` at ``/tmp/before-venv/bin/python``, and install or check out the other version's
Python files into its ``site-packages``.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_build import KORVAN_MODELS, codegen_command, write_project  # noqa: E402


def machine_cores() -> int:
    return len(os.sched_getaffinity(0))


class TreeMemory(threading.Thread):
    """Samples the peak resident memory (VmHWM) of a process and all its descendants."""

    def __init__(self, root: int) -> None:
        super().__init__(daemon=True)
        self.root = root
        self.peaks: dict[int, int] = {}
        self.done = threading.Event()

    def descendants(self) -> list[int]:
        parents: dict[int, int] = {}
        for entry in os.scandir("/proc"):
            if entry.name.isdigit():
                try:
                    with open(f"/proc/{entry.name}/stat", "rb") as stat:
                        parents[int(entry.name)] = int(stat.read().rsplit(b")", 1)[1].split()[1])
                except (OSError, IndexError, ValueError):
                    pass
        found, todo = [], [self.root]
        while todo:
            pid = todo.pop()
            found.append(pid)
            todo += [child for child, parent in parents.items() if parent == pid]
        return found

    def run(self) -> None:
        while not self.done.wait(0.05):
            for pid in self.descendants():
                try:
                    with open(f"/proc/{pid}/status") as status:
                        match = re.search(r"VmHWM:\s+(\d+) kB", status.read())
                except OSError:
                    continue
                if match:
                    self.peaks[pid] = max(self.peaks.get(pid, 0), int(match[1]))


def idle_cores(sample: float = 0.3) -> float:
    """The cores left idle by the machine's other work, watched over ``sample`` seconds just now."""

    def counters() -> tuple[int, int]:
        with open("/proc/stat", "rb") as stat:
            fields = [int(value) for value in stat.readline().split()[1:9]]
        return sum(fields), fields[3] + fields[4]

    total, idle = counters()
    time.sleep(sample)
    total_after, idle_after = counters()
    return (os.cpu_count() or 1) * (idle_after - idle) / max(1, total_after - total)


def run(command: list[str], cwd: Path | None = None, before=None) -> dict:
    """Wall and CPU seconds (all processes), largest and summed peak memory (MB), the load and idle
    cores just before, and the output. ``before`` runs right before the command starts."""
    idle = idle_cores()
    load = os.getloadavg()[0]
    if before is not None:
        before()
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=cwd)
    sampler = TreeMemory(child.pid)
    sampler.start()
    output = child.stdout.read()
    _pid, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    sampler.done.set()
    sampler.join()
    child.stdout.close()
    if status != 0:
        raise RuntimeError(f"{' '.join(command)} failed: {output.decode()}")
    return {"wall": wall, "processes": len(sampler.peaks) or 1, "cpu": usage.ru_utime + usage.ru_stime, "peak": usage.ru_maxrss / 1024,
            "sum": sum(sampler.peaks.values()) / 1024, "load": load, "idle": idle, "output": output.decode()}


def summary(runs: list[dict], key: str) -> tuple[float, float, float]:
    values = [r[key] for r in runs]
    return statistics.median(values), min(values), max(values)


def line(label: str, runs: list[dict]) -> str:
    wall, cpu = summary(runs, "wall"), summary(runs, "cpu")
    load, idle = summary(runs, "load"), summary(runs, "idle")
    return (f"  {label:<29} wall {wall[0]:6.2f} s [{wall[1]:.2f}-{wall[2]:.2f}]  cpu {cpu[0]:6.2f} s "
            f"[{cpu[1]:.2f}-{cpu[2]:.2f}]  peak {max(r['peak'] for r in runs):5.0f} MB  "
            f"sum {max(r['sum'] for r in runs):5.0f} MB  load {load[0]:.2f}  "
            f"idle cores {idle[0]:.1f} [{idle[1]:.1f}-{idle[2]:.1f}]  "
            f"processes {summary(runs, 'processes')[0]:.0f}")


# The commands compared: this one, and optionally another version's (--before).
COMMANDS = {"korvan-models": str(KORVAN_MODELS)}


def ours(project: Path, out: Path, extra: tuple = (), command: str = "korvan-models") -> list[str]:
    return [COMMANDS[command], "build", str(project), "--out", str(out), *extra, *EXTRA]


EXTRA: list[str] = []


def cold(temp: Path, count: int, repeats: int, codegen: str | None, keep: Path | None) -> dict[str, tuple[float, float]]:
    """Prints the cold builds of ``count`` models; returns each command's median largest and summed peak (MB)."""
    project, document = write_project(temp / f"p{count}", count)
    mine: dict[str, list[dict]] = {name: [] for name in COMMANDS}
    theirs = []
    for repeat in range(repeats):
        if codegen:
            theirs.append(run([codegen, "--input", str(document), "--input-file-type", "jsonschema",
                               "--output-model-type", "pydantic_v2.BaseModel", "--output", str(temp / "peer.py")]))
        for name in COMMANDS:
            out = temp / f"out{count}-{repeat}"
            mine[name].append(run(ours(project, out, ("--quiet",), name)))
            if repeat == 0 and keep is not None:
                shutil.copytree(out / "models", keep / name / str(count), dirs_exist_ok=True)
            # The databases beside the output go too: the next command's build must find none.
            shutil.rmtree(out)
            shutil.rmtree(temp / f".{out.name}.korvan-data", ignore_errors=True)
    print(f"cold build, {count} models")
    for name, runs in mine.items():
        print(line(name, runs))
    if theirs:
        print(line("datamodel-codegen", theirs))
    for name, runs in mine.items():
        ratios = ", ".join(f"{key} {summary(runs, key)[0] / summary(theirs, key)[0]:.2f}x" for key in ("wall", "cpu")
                           if theirs)
        print(f"  {name}: {ratios} of the peer; cpu per model {summary(runs, 'cpu')[0] / count * 1000:.1f} ms, "
              f"largest process {summary(runs, 'peak')[0]:.0f} MB")
    return {name: (summary(runs, "peak")[0], summary(runs, "sum")[0]) for name, runs in mine.items()}


def incremental(temp: Path, count: int, repeats: int) -> None:
    """The rebuilds of each command, interleaved repeat by repeat (this machine's speed changes from
    minute to minute: only runs close together compare)."""
    rounds = [Incremental(temp / name, count, name) for name in COMMANDS]
    for repeat in range(repeats):
        for one in rounds:
            one.plain(repeat)
    try:
        for one in rounds:
            one.start_watcher()
        for repeat in range(repeats):
            for one in rounds:
                one.handed_over(repeat)
        for repeat in range(repeats):
            for one in rounds:
                one.watchers_own(repeats + repeat)
    finally:
        for one in rounds:
            one.stop_watcher()
    for one in rounds:
        one.show()


def process_cpu(pid: int) -> float:
    """CPU seconds of a process and its waited children so far."""
    with open(f"/proc/{pid}/stat", "rb") as stat:
        fields = stat.read().rsplit(b")", 1)[1].split()
    return sum(int(value) for value in fields[11:15]) / os.sysconf("SC_CLK_TCK")


class Incremental:
    """One command's project of ``count`` models, built cold once, then changed and built again:
    by a plain build, and with a watcher of the project and output running (a plain build right
    after the file is written, handed over to the watcher, which then does not rebuild on its own;
    and the watcher's own rebuild with no build run). The CPU of a handed-over build counts the
    watcher's share too; the report says which side built."""

    def __init__(self, temp: Path, count: int, command: str) -> None:
        self.command, self.count = command, count
        self.project, _document = write_project(temp / f"i{count}", count)
        self.out = temp / f"inc{count}"
        self.first = run(ours(self.project, self.out, (), command))
        self.cases: dict[str, list[dict]] = {"cold": [self.first]}
        self.schema_file = self.project / "models" / "item7" / "model.json"
        self.sides: list[str] = []
        self.watcher = None
        self.lines: list[str] = []

    def _change(self, key: str) -> None:
        schema = json.loads(self.schema_file.read_text("utf-8"))
        schema["properties"][key] = {"type": "string"}
        self.schema_file.write_text(json.dumps(schema), "utf-8")

    def _run(self) -> dict:
        return run(ours(self.project, self.out, (), self.command))

    def plain(self, repeat: int) -> None:
        self._change(f"extra{repeat}")
        self.cases.setdefault("one changed", []).append(self._run())
        self.cases.setdefault("nothing changed", []).append(self._run())
        added = self.project / "models" / f"extra{repeat}"
        added.mkdir()
        (added / "model.json").write_text(json.dumps({"title": f"Extra{repeat}", "type": "object",
                                                      "properties": {"name": {"type": "string"}}}), "utf-8")
        self.cases.setdefault("one added", []).append(self._run())
        shutil.rmtree(added)
        self.cases.setdefault("one removed", []).append(self._run())

    def start_watcher(self) -> None:
        self.watcher = subprocess.Popen([COMMANDS[self.command], "build", str(self.project), "--out", str(self.out),
                                         "--watch", *EXTRA], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=lambda: self.lines.extend(line.rstrip("\n") for line in self.watcher.stdout),
                         daemon=True).start()
        self.wait_for("watching", 0)

    def wait_for(self, start, seen: int, timeout: float = 120) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [line for line in self.lines[seen:] if line.startswith(start)]
            if found:
                return found[0]
            time.sleep(0.01)
        raise RuntimeError(f"the watcher did not say {start!r}: {self.lines[seen:]}")

    def handed_over(self, repeat: int) -> None:
        seen = len(self.lines)
        cpu = process_cpu(self.watcher.pid)
        result = run(ours(self.project, self.out, (), self.command), before=lambda: self._change(f"watched{repeat}"))
        time.sleep(QUIET_S)  # a rebuild of the watcher's own would have begun by now
        line = self.wait_for(("served", "rebuil"), seen)
        result["cpu"] += process_cpu(self.watcher.pid) - cpu
        self.sides.append("watcher" if line.startswith("served") else "the watcher rebuilt first")
        self.cases.setdefault("one changed, watcher running", []).append(result)
        # Nothing changed since the handed-over build: the state it left stops a plain build early.
        self.cases.setdefault("no change, watcher running", []).append(self._run())

    def watchers_own(self, number: int) -> None:
        seen = len(self.lines)
        self._change(f"watched{number}")
        line = self.wait_for("rebuil", seen)
        took = float(re.search(r"in ([0-9.]+) s", line)[1])
        self.cases.setdefault("watcher's own rebuild", []).append(
            {"wall": took, "cpu": float("nan"), "peak": 0, "sum": 0, "load": os.getloadavg()[0],
             "idle": float("nan"), "processes": 1, "output": line})
        # After the watcher's own rebuild: a plain build stops early on the state it left.
        self.cases.setdefault("no change after its rebuild", []).append(self._run())

    def stop_watcher(self) -> None:
        if self.watcher is not None and self.watcher.poll() is None:
            self.watcher.send_signal(signal.SIGTERM)
            self.watcher.wait(timeout=60)

    def show(self) -> None:
        print(f"incremental, {self.count} models, {self.command}")
        print(f"  with a watcher running, the plain build after a change was built by: {', '.join(self.sides)}")
        for label, runs in self.cases.items():
            generated = re.search(r"generated (\d+) models?", runs[-1]["output"])
            stopped = "nothing changed since" in runs[-1]["output"]
            ratio = summary(runs, "wall")[0] / self.first["wall"]
            print(line(label, runs) + f"  x{ratio:.3f} of cold, generated {generated[1] if generated else '?'}"
                  + (", stopped early" if stopped else ""))


QUIET_S = 0.6


def start(temp: Path, repeats: int) -> None:
    """Seconds from the first line of the command's code to its first read of a project file."""
    project, _document = write_project(temp / "start", 6)
    probe = (
        "import os, sys, time\n"
        "t = time.perf_counter()\n"
        "root = sys.argv[1]\n"
        "def hook(event, args):\n"
        "    if event == 'open' and isinstance(args[0], str) and args[0].startswith(root + '/models/'):\n"
        "        print(f'{time.perf_counter() - t:.4f}', flush=True); os._exit(0)\n"
        "sys.addaudithook(hook)\n"
        "from korvan_models.cli import main\n"
        "main(['check', root])\n"
    )
    times: dict[str, list[float]] = {name: [] for name in COMMANDS}
    bare = []
    for _ in range(repeats + 2):
        for name, command in COMMANDS.items():
            python = str(Path(command).with_name("python"))
            result = subprocess.run([python, "-c", probe, str(project)], capture_output=True, text=True, check=True)
            times[name].append(float(result.stdout.split()[-1]))
        began = time.perf_counter()
        subprocess.run([sys.executable, "-c", "pass"], check=True)
        bare.append(time.perf_counter() - began)
    for name, found in times.items():
        print(f"start until the first project file is read, {name}: median {statistics.median(found) * 1000:.0f} ms "
              f"[{min(found) * 1000:.0f}-{max(found) * 1000:.0f}] (interpreter start "
              f"{statistics.median(bare) * 1000:.0f} ms before that), load {os.getloadavg()[0]:.2f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="*", default=[300, 1000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--keep", type=Path, help="keep each command's generated packages in DIR/<command>/<size>")
    parser.add_argument("--before", help="another version's korvan-models command, run interleaved with this one")
    parser.add_argument("--where", type=Path, help="make the runs in a fresh folder inside DIR (default: the system's temporary folder)")
    parser.add_argument("--jobs", help="pass --jobs to korvan-models (default: its own choice)")
    parser.add_argument("--only", choices=("cold", "incremental", "start"), nargs="*",
                        default=["start", "incremental", "cold"])
    args = parser.parse_args()
    if args.before:
        COMMANDS.clear()
        COMMANDS.update({"before": args.before, "korvan-models": str(KORVAN_MODELS)})
    if args.jobs:
        EXTRA.extend(["--jobs", args.jobs])
    codegen = codegen_command()
    print(f"{machine_cores()} cores, load average {os.getloadavg()}")
    with tempfile.TemporaryDirectory(prefix="bench-scale-", dir=args.where) as temp:
        print(f"runs made in {temp}")
        temp = Path(temp)
        if "start" in args.only:
            start(temp, args.repeats)
        if "incremental" in args.only:
            incremental(temp, 300, args.repeats)
        if "cold" in args.only:
            peaks = {count: cold(temp, count, args.repeats, codegen, args.keep) for count in args.sizes}
            sizes = sorted(peaks)
            for low, high in zip(sizes, sizes[1:]):
                for name in COMMANDS:
                    grow = [(peaks[high][name][i] - peaks[low][name][i]) * 1024 / (high - low) for i in (0, 1)]
                    print(f"memory growth {low} -> {high} models, {name}: largest process {grow[0]:.1f} KB per model, "
                          f"sum over processes {grow[1]:.1f} KB per model")


if __name__ == "__main__":
    main()
