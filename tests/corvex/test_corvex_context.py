"""OmbrelContext: fields, log, persistent state and files, on real files."""

import datetime
import json
import os
import re
import threading
import time

import pytest


@pytest.fixture
def ctx(corvex):
    return corvex.OmbrelContext("demo")


def leftovers(directory):
    return [p.name for p in directory.iterdir() if p.name.endswith(".tmp")]


def test_fields_in_order_and_directories(corvex):
    client = object()
    ctx = corvex.OmbrelContext("demo", client, llm_model="m")
    assert list(vars(ctx).items()) == [
        ("skill_name", "demo"), ("_llm", client), ("_llm_model", "m"),
        ("_browser_instance", None), ("_browser_context", None), ("_page", None),
        ("_playwright", None), ("_logs", []),
        ("_state_file", corvex.STATE_DIR / "demo.json"),
        ("_output_dir", corvex.OUTPUT_DIR / "demo")]
    assert corvex.STATE_DIR.is_dir() and (corvex.OUTPUT_DIR / "demo").is_dir()
    assert list(corvex.STATE_DIR.iterdir()) == []


@pytest.mark.parametrize("args, message", [
    ((None,), "skill_name must be str, not NoneType"),
    (("x", None, 3), "llm_model must be str, not int"),
])
def test_constructor_types(corvex, args, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        corvex.OmbrelContext(*args)


def test_log_entries_local_time_and_module_log(ctx, records, monkeypatch):
    monkeypatch.setenv("TZ", "XYZ+05")  # five hours behind UTC
    time.tzset()
    try:
        before = time.gmtime()
        ctx.log("first")
        ctx.log("second → ünïcode")
    finally:
        monkeypatch.delenv("TZ")
        time.tzset()
    handed_out = ctx.get_logs()
    ctx.log("third")
    assert len(handed_out) == 2 and len(ctx.get_logs()) == 3
    match = re.fullmatch(r"\[(\d\d):\d\d:\d\d\] first", handed_out[0])
    assert match and int(match[1]) in {(before.tm_hour - 5) % 24, (before.tm_hour - 4) % 24}
    assert handed_out[1].endswith("] second → ünïcode")
    assert records() == ["[demo] first", "[demo] second → ünïcode", "[demo] third"]


def test_state_round_trip_file_format_and_clear(corvex, ctx):
    assert ctx.load_state("missing") is None and ctx.load_state("missing", 5) == 5
    assert not ctx._state_file.exists()
    when = datetime.date(2024, 5, 6)
    ctx.save_state("b", {"nested": [1, 2]})
    ctx.save_state("a", "é")
    ctx.save_state("b", when)  # replaced in place, keeps its position
    expected = {"b": "2024-05-06", "a": "é"}
    assert ctx._state_file.read_text() == json.dumps(expected, indent=2)
    assert '"\\u00e9"' in ctx._state_file.read_text()
    assert ctx.load_state("b") == "2024-05-06" and ctx._load_full_state() == expected
    assert corvex.OmbrelContext("demo").load_state("a") == "é"  # another context, same file
    assert leftovers(corvex.STATE_DIR) == []
    ctx.clear_state()
    ctx.clear_state()
    assert not ctx._state_file.exists() and corvex.STATE_DIR.is_dir()
    assert ctx.load_state("a", "gone") == "gone"


@pytest.mark.parametrize("value", [
    [],
    {"empty": {}, "lists": [[], [{}], [[1]]], "tuple": (1, (2, 3))},
    {"text": 'q " b \\ {[,:]} é→😀', "": ""},
    [1, -0.0, 2.5e300, float("inf"), float("nan"), 10**30, True, None],
    {1: "int key", 2.5: "float key", None: "none key", False: "bool key"},
])
def test_state_file_text_is_json_dumps_indented_by_two(ctx, value):
    ctx.save_state("first", {"nested": value})
    ctx.save_state("second", value)
    expected = json.dumps({"first": {"nested": value}, "second": value}, indent=2, default=str)
    assert ctx._state_file.read_text() == expected


@pytest.mark.parametrize("content", [b"[1, 2]", b"null", b'"text"', b"{not json", b"", b"\xff\xfe{"])
def test_malformed_state_reads_empty_and_is_replaced(ctx, content):
    ctx._state_file.write_bytes(content)
    assert ctx._load_full_state() == {} and ctx.load_state("k", "d") == "d"
    ctx.save_state("k", 1)
    assert json.loads(ctx._state_file.read_text()) == {"k": 1}


def test_failed_save_leaves_old_state_and_no_temporary_file(corvex, ctx):
    ctx.save_state("keep", 1)
    before = ctx._state_file.read_text()
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="Circular reference"):
        ctx.save_state("bad", loop)
    with pytest.raises(TypeError):
        ctx.save_state("bad", {(1, 2): "tuple key"})
    assert ctx._state_file.read_text() == before
    # A state "file" that is a directory cannot be replaced: the write fails.
    other = corvex.OmbrelContext("blocked")
    other._state_file.mkdir()
    assert other._load_full_state() == {}
    with pytest.raises(OSError):
        other.save_state("k", 1)
    assert leftovers(corvex.STATE_DIR) == []


class Text(str):
    pass


@pytest.mark.parametrize("call", [
    lambda c: c.save_state(1, 2), lambda c: c.load_state(None), lambda c: c.log(b"x"),
    lambda c: c.write_file("a", 1), lambda c: c.read_file(None),
    lambda c: c.write_file(Text("a"), "x"), lambda c: type(c)(Text("demo")),
])
def test_text_arguments_are_checked(ctx, call):
    with pytest.raises(TypeError, match="must be str, not"):
        call(ctx)


def test_write_file_relative_absolute_and_parent_paths(ctx, tmp_path):
    out = ctx._output_dir
    path = ctx.write_file("sub/dir/note.txt", "héllo wörld\n")
    assert path == str(out / "sub/dir/note.txt")
    assert (out / "sub/dir/note.txt").read_bytes() == "héllo wörld\n".encode()
    assert ctx.get_logs()[-1].endswith(f"] Wrote file: {path} (12 chars)")
    absolute = str(tmp_path / "abs" / "x.txt")
    assert ctx.write_file(absolute, "one") == absolute
    assert ctx.write_file("../escaped.txt", "two") == str(out / "../escaped.txt")
    assert (out.parent / "escaped.txt").read_text() == "two"
    assert ctx.read_file("sub/dir/note.txt") == "héllo wörld\n"
    assert ctx.read_file(absolute) == "one"
    assert len(ctx.get_logs()) == 3  # reading logs nothing
    ctx.write_file("sub/dir/note.txt", "short")
    assert ctx.read_file("sub/dir/note.txt") == "short"


def test_read_file_ignores_working_directory_and_propagates_errors(ctx, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "here.txt").write_text("in cwd")
    with pytest.raises(FileNotFoundError):
        ctx.read_file("here.txt")
    (ctx._output_dir / "binary.bin").write_bytes(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        ctx.read_file("binary.bin")
    with pytest.raises(IsADirectoryError):
        ctx.write_file(str(tmp_path), "x")


async def test_cleanup_closes_browser_fields_each_time(ctx, records):
    ctx._page = ctx._browser_context = ctx._browser_instance = "open"
    await ctx.cleanup()
    await ctx.browser_close()
    assert (ctx._page, ctx._browser_context, ctx._browser_instance) == (None, None, None)
    assert records() == ["[demo] Browser closed"] * 2


async def test_skill_using_several_operations(corvex, runner, write_skill):
    write_skill("combo.py", """
        async def run(ctx, params):
            runs = ctx.load_state("runs", 0) + 1
            ctx.save_state("runs", runs)
            listing = await ctx.shell("printf 'a\\\\nb\\\\n'; echo warn >&2")
            path = ctx.write_file(f"report-{runs}.md", f"# run {runs}\\n{listing}")
            ctx.log(f"done {runs}")
            return {"runs": runs, "text": ctx.read_file(path), "success": runs > 1}
    """)
    first = await runner.run("combo", {})
    second = await runner.run("combo", {})
    assert (first.success, second.success) == (False, True)
    assert second.result["text"] == "# run 2\na\nb\n\nwarn"  # stdout, a line break, stderr
    assert sorted(os.path.basename(p) for p in second.output_files) == ["report-1.md", "report-2.md"]
    assert [entry.split("] ", 1)[1] for entry in second.logs] == [
        "Starting skill: combo",
        "Shell: printf 'a\\nb\\n'; echo warn >&2... → 10 chars",
        f"Wrote file: {corvex.OUTPUT_DIR / 'combo' / 'report-2.md'} (17 chars)",
        "done 2"]
    assert json.loads((corvex.STATE_DIR / "combo.json").read_text()) == {"runs": 2}


@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_a_state_path_that_is_not_a_regular_file_is_never_opened(ctx, kind):
    path = ctx._state_file
    os.mkfifo(path) if kind == "fifo" else path.mkdir()
    done, unblocked = threading.Event(), threading.Event()

    def unblock():
        # Had the FIFO been opened for reading, only a writer would free it.
        if not done.wait(3) and kind == "fifo":
            unblocked.set()
            with open(path, "w"):
                pass

    watchdog = threading.Thread(target=unblock)
    watchdog.start()
    try:
        assert ctx.load_state("k", "default") == "default"
        assert ctx._load_full_state() == {}
        with pytest.raises(OSError, match="is not a regular file$"):
            ctx.save_state("k", 1)
    finally:
        done.set()
        watchdog.join()
    assert not unblocked.is_set()
    assert path.is_fifo() if kind == "fifo" else path.is_dir()
