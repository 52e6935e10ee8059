"""What the benchmarks share: taking turns, timing, and the report of our
native code against its plain-Python baseline measured in the same run.

The kinds measured (native, plain Python, ...) take turns round after round,
so that all of them see the same load of the machine; each figure is kept
per round, and a comparison gives the best figure of each kind, their ratio
and how the rounds' own ratios scattered."""

import sys
import time


def header(module):
    """The line that says which interpreter and which build are measured."""
    print(f"Python {sys.version.split()[0]}, module {module.__file__}")


class Stopwatch:
    """Wall and CPU seconds (of this process) of a block:

        with Stopwatch() as took:
            ...
        took.wall, took.cpu
    """

    def __enter__(self):
        self._wall, self._cpu = time.perf_counter(), time.process_time()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self._wall
        self.cpu = time.process_time() - self._cpu


class Laps(dict):
    """Stopwatches of named steps, a list per name in the order taken:

        laps = Laps()
        for _ in range(rounds):
            with laps.take("ours"):
                ...
            with laps.take("plain"):
                ...
        laps.wall("ours"), laps.cpu("plain")   # seconds, one per round
    """

    def take(self, name):
        stopwatch = Stopwatch()
        self.setdefault(name, []).append(stopwatch)
        return stopwatch

    def wall(self, name):
        return [stopwatch.wall for stopwatch in self[name]]

    def cpu(self, name):
        return [stopwatch.cpu for stopwatch in self[name]]


def turns(kinds, rounds, *, rotate=False):
    """(kind, subject) of the mapping `kinds`, all of them in each of
    `rounds` rounds; with `rotate`, each round starts one kind later."""
    order = list(kinds.items())
    for index in range(rounds):
        shift = index % len(order) if rotate else 0
        yield from order[shift:] + order[:shift]


def in_turns(kinds, rounds, measure, *, rotate=False):
    """{kind: [measure(subject) of each round]}, the kinds taking turns."""
    figures = {kind: [] for kind in kinds}
    for kind, subject in turns(kinds, rounds, rotate=rotate):
        figures[kind].append(measure(subject))
    return figures


class Comparison:
    """A figure of the native code and of the plain-Python baseline, one of
    each per round. `ratio` is the best against the best and `ratios` are
    the rounds' own, sorted: above 1 the native code is better (faster, or
    lower where lower is better)."""

    def __init__(self, native, plain, *, higher_is_better=True):
        pick = max if higher_is_better else min
        self.best_native, self.best_plain = pick(native), pick(plain)
        if higher_is_better:
            self.ratio = self.best_native / self.best_plain
            self.ratios = sorted(n / p for n, p in zip(native, plain))
        else:
            self.ratio = self.best_plain / self.best_native
            self.ratios = sorted(p / n for n, p in zip(native, plain))

    def line(self, unit, spec=",.1f", scale=1.0):
        """'native 1.0 us; plain Python 2.0 us; ratio 2.00x (rounds: median
        2.00x, 1.90-2.10x)', the best figures times `scale` in format `spec`."""
        ratios = self.ratios
        return (f"native {self.best_native * scale:{spec}} {unit}; "
                f"plain Python {self.best_plain * scale:{spec}} {unit}; ratio {self.ratio:.2f}x "
                f"(rounds: median {ratios[len(ratios) // 2]:.2f}x, "
                f"{ratios[0]:.2f}-{ratios[-1]:.2f}x)")
