"""Benchmarks of the skill runner (ombrel.skills.corvex).

    python bench/bench_corvex.py [--runs 1000] [--rounds 6] [--state-ops 20]

Prints:
  - runs of a trivial skill per second through `PythonSkillRunner.run` and
    through `PlainRunner.run`, a plain-Python rendering of the same runner and
    context (alternating rounds; best of each, their ratio), and the runner's
    own cost per run: a run minus what loading the same file with importlib
    alone costs;
  - save_state / load_state of the context and of `PlainState`, a plain-Python
    rendering of them (alternating rounds; best of each, their ratio): a
    small state as skills keep between runs, and a state of about 1 MB.

Everything happens in a temporary directory; the module's SKILLS_DIR,
STATE_DIR and OUTPUT_DIR are pointed there. Build the module in Release
mode (e.g. -DCMAKE_BUILD_TYPE=Release) and put its package directory on
PYTHONPATH.
"""

import argparse
import asyncio
import importlib.util
import json
import logging
import os
import pathlib
import secrets
import stat
import sys
import tempfile
import time
import traceback

import timing
from ombrel.skills import corvex

TRIVIAL = "async def run(ctx, params):\n    return {'ok': True}\n"
plain_logger = logging.getLogger("ombrel.skills.corvex.plain")


def expect_str(value, name):
    if type(value) is not str:
        raise TypeError(f"{name} must be str, not {type(value).__name__}")
    return value


class PlainContext:
    """The context's part that a trivial run uses, in plain Python, with the
    argument checks and the clean-up's checks of the native context."""

    def __init__(self, skill_name, llm_client=None, llm_model="gpt-4.1-mini"):
        expect_str(skill_name, "skill_name")
        expect_str(llm_model, "llm_model")
        self.skill_name = skill_name
        self._llm = llm_client
        self._llm_model = llm_model
        self._browser_instance = None
        self._browser_context = None
        self._page = None
        self._playwright = None
        self._logs = []
        self._state_file = corvex.STATE_DIR / f"{skill_name}.json"
        self._output_dir = corvex.OUTPUT_DIR / skill_name
        corvex.STATE_DIR.mkdir(parents=True, exist_ok=True)
        self._output_dir.mkdir(parents=True, exist_ok=True)

    def log(self, message):
        expect_str(message, "message")
        entry = f"[{time.strftime('%H:%M:%S')}] {message}"
        self._logs.append(entry)
        plain_logger.info("[%s] %s", self.skill_name, message)

    def get_logs(self):
        return list(self._logs)

    async def browser_close(self):
        for part, method in ((self._browser_context, "close"), (self._browser_instance, "close"),
                             (self._playwright, "stop")):
            if part:
                try:
                    await getattr(part, method)()
                except Exception:
                    pass
        self._page = None
        self._browser_instance = None
        self._browser_context = None
        self.log("Browser closed")

    async def cleanup(self):
        await self.browser_close()


class PlainRunner:
    """`PythonSkillRunner.run` in plain Python (the baseline)."""

    def __init__(self, llm_model="gpt-4.1-mini"):
        self._llm_model = llm_model

    async def run(self, skill_name, params, script_path=None):
        expect_str(skill_name, "skill_name")
        if type(params) is not dict:
            raise TypeError(f"params must be dict, not {type(params).__name__}")
        if script_path is not None and type(script_path) is not str:
            raise TypeError(f"script_path must be str or None, not {type(script_path).__name__}")
        start = time.time()
        if script_path is None:
            script_path = str(corvex.SKILLS_DIR / f"{skill_name}.py")
        if not os.path.exists(script_path):
            return corvex.PythonSkillResult(success=False, skill_name=skill_name,
                                            error=f"Script not found: {script_path}")
        ctx = PlainContext(skill_name=skill_name, llm_model=self._llm_model)
        try:
            spec = importlib.util.spec_from_file_location(f"ombrel_skill_{skill_name}",
                                                          script_path)
            if spec is None or spec.loader is None:
                return corvex.PythonSkillResult(
                    success=False, skill_name=skill_name,
                    error=f"Failed to load module from {script_path}")
            module = importlib.util.module_from_spec(spec)
            directory = str(pathlib.Path(script_path).parent)
            if directory not in sys.path:
                sys.path.insert(0, directory)
            spec.loader.exec_module(module)
            if not hasattr(module, "run"):
                return corvex.PythonSkillResult(
                    success=False, skill_name=skill_name,
                    error="Skill must define 'async def run(ctx, params) -> dict'")
            run = module.run
            if not asyncio.iscoroutinefunction(run):
                return corvex.PythonSkillResult(
                    success=False, skill_name=skill_name,
                    error="run() must be an async function (async def run(ctx, params))")
            ctx.log(f"Starting skill: {skill_name}")
            result = await run(ctx, params)
            if not isinstance(result, dict):
                result = {"result": str(result)}
            success = result.get("success", True)
            output_files = []
            output_dir = corvex.OUTPUT_DIR / skill_name
            if output_dir.exists():
                output_files = [str(f) for f in output_dir.iterdir() if f.is_file()]
            return corvex.PythonSkillResult(
                success=success, skill_name=skill_name, result=result,
                logs=ctx.get_logs(), duration=time.time() - start, output_files=output_files)
        except Exception as e:
            tb = traceback.format_exc()
            ctx.log(f"FATAL ERROR: {e}")
            plain_logger.error(f"Python skill {skill_name} failed:\n{tb}")
            return corvex.PythonSkillResult(
                success=False, skill_name=skill_name, error=f"{type(e).__name__}: {e}",
                logs=ctx.get_logs(), duration=time.time() - start)
        finally:
            await ctx.cleanup()


async def timed_runs(runner, runs):
    """CPU seconds per run (time spent waiting for a core is not the run's)."""
    with timing.Stopwatch() as took:
        for _ in range(runs):
            result = await runner.run("trivial", {})
    assert result.success is True, result
    return took.cpu / runs


def bench_runs(runs, rounds):
    kinds = {"native": corvex.PythonSkillRunner(), "plain": PlainRunner()}
    per_run = {kind: [] for kind in kinds}

    async def main():
        for runner in kinds.values():  # warm-up: bytecode cache, directories
            await timed_runs(runner, 20)
        for kind, runner in timing.turns(kinds, rounds):
            per_run[kind].append(await timed_runs(runner, runs))

    asyncio.run(main())
    path = str(corvex.SKILLS_DIR / "trivial.py")

    def load_time():
        with timing.Stopwatch() as took:
            for _ in range(runs):
                spec = importlib.util.spec_from_file_location("ombrel_skill_trivial", path)
                module = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(module)
        return took.cpu / runs

    load = min(load_time() for _ in range(rounds))
    rates = timing.Comparison([1 / t for t in per_run["native"]], [1 / t for t in per_run["plain"]])
    native, plain = 1 / rates.best_native, 1 / rates.best_plain
    print(f"run() of a trivial skill, {rounds} rounds of {runs} runs (per CPU second):\n"
          f"  {rates.line('runs/s', '>9,.0f')}")
    print(f"  loading the file (importlib alone): {load * 1e6:,.1f} us per run; own work: "
          f"native {(native - load) * 1e6:,.1f} us, plain Python {(plain - load) * 1e6:,.1f} us")


class PlainState:
    """save_state / load_state / _load_full_state of the context in plain
    Python: the same checks (a state path that is not a regular file is
    never opened), the same format, the same atomic replacement."""

    def __init__(self, state_file):
        self._state_file = state_file

    def _is_regular(self):
        try:
            return stat.S_ISREG(os.stat(self._state_file).st_mode)
        except (FileNotFoundError, NotADirectoryError):
            return None

    def _load_full_state(self):
        try:
            if not self._is_regular():
                return {}
            parsed = json.loads(self._state_file.read_text())
        except Exception:
            return {}
        return parsed if type(parsed) is dict else {}

    def save_state(self, key, value):
        expect_str(key, "key")
        if self._is_regular() is False:
            raise OSError(f"state file {self._state_file} is not a regular file")
        state = self._load_full_state()
        state[key] = value
        text = json.dumps(state, indent=2, default=str)
        target = pathlib.Path(self._state_file)
        for attempt in range(101):
            temporary = target.parent / f".{target.name}.{secrets.token_hex(8)}.tmp"
            try:
                file = open(temporary, "x")
                break
            except FileExistsError:
                if attempt >= 100:
                    raise
        try:
            try:
                file.write(text)
            finally:
                file.close()
            os.replace(temporary, target)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise

    def load_state(self, key, default=None):
        expect_str(key, "key")
        return self._load_full_state().get(key, default)


def state_rounds(kinds, ops, rounds, scenario):
    """CPU seconds per call of `scenario(target, i)` for each kind, in
    alternating rounds (each kind goes first in every other round)."""

    def per_call(target):
        with timing.Stopwatch() as took:
            for i in range(ops):
                scenario(target, i)
        return took.cpu / ops

    figures = timing.in_turns(kinds, rounds, per_call, rotate=True)
    return timing.Comparison(figures["native"], figures["plain"], higher_is_better=False)


def print_state(label, unit, comparison):
    print(f"  {label}: {comparison.line(unit, ',.2f', 1e3 if unit == 'ms' else 1e6)}")


def bench_state(ops, rounds):
    # Two skills' state files, one per kind, so that neither reads the
    # other's writes.
    native = corvex.OmbrelContext("state_native")
    plain = PlainState(corvex.STATE_DIR / "state_plain.json")
    kinds = {"native": native, "plain": plain}

    # A small state, as a skill keeps between runs: a counter and a few
    # values; each operation saves one key and loads another.
    for target in kinds.values():
        target.save_state("visits", 0)
        target.save_state("last", {"when": "2026-01-01T00:00:00", "who": ["a", "b", "c"]})

    def small(target, i):
        target.save_state("visits", i)
        assert target.load_state("last")["who"] == ["a", "b", "c"]

    small_ops = ops * 20
    figures = state_rounds(kinds, small_ops, rounds, small)
    assert native._state_file.read_text() == plain._state_file.read_text()
    print(f"state files, {rounds} alternating rounds (CPU time per call):")
    print_state(f"small state ({native._state_file.stat().st_size} bytes), save_state + "
                f"load_state, {small_ops} each", "us", figures)

    # About 1 MB of state.
    record = {"name": "item", "tags": ["a", "b", "c"], "score": 0.5, "text": "x" * 40}
    big = {f"key{i:06d}": dict(record, n=i) for i in range(4900)}
    for target in kinds.values():
        target.clear_state() if target is native else plain._state_file.unlink()
        target.save_state("big", big)
    size = native._state_file.stat().st_size
    figures = state_rounds(kinds, ops, rounds, lambda target, i: target.save_state("counter", i))
    assert native._state_file.read_text() == plain._state_file.read_text()
    print_state(f"state file of {size / 1e6:.2f} MB, save_state, {ops} each", "ms", figures)

    def load(target, i):
        assert target.load_state("big") == big

    figures = state_rounds(kinds, ops, rounds, load)
    print_state(f"state file of {size / 1e6:.2f} MB, load_state, {ops} each", "ms", figures)
    with timing.Stopwatch() as took:
        for _ in range(ops):
            json.loads(native._state_file.read_text())
    print(f"  (json.loads of the 1 MB file alone: {took.cpu / ops * 1e3:.2f} ms)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--state-ops", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        base = pathlib.Path(tmp)
        corvex.SKILLS_DIR = base / "skills"
        corvex.STATE_DIR = base / "skill_state"
        corvex.OUTPUT_DIR = base / "skill_output"
        corvex.SKILLS_DIR.mkdir()
        (corvex.SKILLS_DIR / "trivial.py").write_text(TRIVIAL)
        timing.header(corvex)
        print(f"bytecode cache written: {not sys.dont_write_bytecode}")
        bench_runs(args.runs, args.rounds)
        bench_state(args.state_ops, args.rounds)


if __name__ == "__main__":
    main()
