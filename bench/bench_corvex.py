"""Benchmarks of the skill runner (ombrel.skills.corvex).

    python bench/bench_corvex.py [--runs 1000] [--state-ops 50]

Prints:
  - the runner's own cost per run of a trivial skill (runs per second over
    --runs runs), beside what loading the same file with importlib alone
    costs, for reference;
  - save_state / load_state with a state of about 1 MB.

Everything happens in a temporary directory; the module's SKILLS_DIR,
STATE_DIR and OUTPUT_DIR are pointed there. Build the module in Release
mode (e.g. -DCMAKE_BUILD_TYPE=Release) and put its package directory on
PYTHONPATH.
"""

import argparse
import asyncio
import importlib.util
import json
import pathlib
import sys
import tempfile
import time

from ombrel.skills import corvex

TRIVIAL = "async def run(ctx, params):\n    return {'ok': True}\n"


def bench_runs(runs):
    runner = corvex.PythonSkillRunner()

    async def main():
        for _ in range(10):  # warm-up: bytecode cache, directories
            await runner.run("trivial", {})
        started = time.perf_counter()
        for _ in range(runs):
            result = await runner.run("trivial", {})
        elapsed = time.perf_counter() - started
        assert result.success is True, result
        return elapsed

    elapsed = asyncio.run(main())
    path = str(corvex.SKILLS_DIR / "trivial.py")
    started = time.perf_counter()
    for _ in range(runs):
        spec = importlib.util.spec_from_file_location("ombrel_skill_trivial", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    import_only = time.perf_counter() - started
    print(f"run() of a trivial skill, {runs} runs: {runs / elapsed:,.0f} runs/s, "
          f"{elapsed / runs * 1e6:,.1f} us per run")
    print(f"  of which loading the file (importlib alone): {import_only / runs * 1e6:,.1f} us; "
          f"runner's own work: {(elapsed - import_only) / runs * 1e6:,.1f} us per run")


def bench_state(ops):
    ctx = corvex.OmbrelContext("state_bench")
    record = {"name": "item", "tags": ["a", "b", "c"], "score": 0.5, "text": "x" * 40}
    big = {f"key{i:06d}": dict(record, n=i) for i in range(4900)}
    ctx.save_state("big", big)
    size = ctx._state_file.stat().st_size
    started = time.perf_counter()
    for i in range(ops):
        ctx.save_state("counter", i)
    save = (time.perf_counter() - started) / ops
    started = time.perf_counter()
    for _ in range(ops):
        value = ctx.load_state("big")
    load = (time.perf_counter() - started) / ops
    assert value == big
    started = time.perf_counter()
    for _ in range(ops):
        json.loads(ctx._state_file.read_text())
    parse = (time.perf_counter() - started) / ops
    print(f"state file of {size / 1e6:.2f} MB, {ops} operations each:")
    print(f"  save_state: {save * 1e3:.2f} ms per call (reads, parses, serialises and replaces the file)")
    print(f"  load_state: {load * 1e3:.2f} ms per call (json.loads of the file alone: {parse * 1e3:.2f} ms)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--state-ops", type=int, default=50)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        base = pathlib.Path(tmp)
        corvex.SKILLS_DIR = base / "skills"
        corvex.STATE_DIR = base / "skill_state"
        corvex.OUTPUT_DIR = base / "skill_output"
        corvex.SKILLS_DIR.mkdir()
        (corvex.SKILLS_DIR / "trivial.py").write_text(TRIVIAL)
        print(f"Python {sys.version.split()[0]}, module {corvex.__file__}")
        print(f"bytecode cache written: {not sys.dont_write_bytecode}")
        bench_runs(args.runs)
        bench_state(args.state_ops)


if __name__ == "__main__":
    main()
