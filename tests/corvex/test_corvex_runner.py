"""PythonSkillRunner.run: loading, the failure table, results, isolation,
clean-up and argument checks, through real skill files."""

import asyncio
import logging
import shutil
import sys

import pytest

FATAL = "Skill must define 'async def run(ctx, params) -> dict'"
NOT_ASYNC = "run() must be an async function (async def run(ctx, params))"


@pytest.mark.parametrize("file_name, source, error", [
    ("skill.txt", "async def run(ctx, params): return {}", "Failed to load module from {path}"),
    ("skill.py", "x = 1", FATAL),
    ("skill.py", "def run(ctx, params): return {}", NOT_ASYNC),
    ("skill.py", "run = 42", NOT_ASYNC),
])
async def test_early_failures_carry_no_logs_but_clean_up(runner, write_skill, records, file_name, source, error):
    path = write_skill(file_name, source)
    result = await runner.run("early", {}, script_path=path)
    assert (result.success, result.error) == (False, error.format(path=path))
    assert (result.logs, result.duration, result.output_files, result.result) == ([], 0.0, [], None)
    assert records()[-1] == "[early] Browser closed"


async def test_missing_script_creates_nothing(corvex, runner, records):
    result = await runner.run("ghost", {})
    assert result.error == f"Script not found: {corvex.SKILLS_DIR / 'ghost.py'}"
    assert (result.success, result.logs, result.duration) == (False, [], 0.0)
    assert not corvex.STATE_DIR.exists() and not corvex.OUTPUT_DIR.exists()
    assert records() == []


@pytest.mark.parametrize("where", ["top level", "run"])
async def test_exception_becomes_failure_with_traceback(runner, write_skill, records, where):
    body = "raise KeyError('lost key')"
    source = f"{body}\n" if where == "top level" else f"async def run(ctx, params):\n    ctx.log('before')\n    {body}\n"
    write_skill("broken.py", source)
    result = await runner.run("broken", {})
    assert (result.success, result.error, result.result, result.output_files) == (
        False, "KeyError: 'lost key'", None, [])
    assert result.logs[-1].endswith("] FATAL ERROR: 'lost key'")
    assert len(result.logs) == (1 if where == "top level" else 3)
    assert result.duration > 0
    error = records(logging.ERROR)
    assert len(error) == 1 and error[0].startswith("Python skill broken failed:\nTraceback (most recent call last):\n")
    assert "broken.py\", line" in error[0] and error[0].endswith("KeyError: 'lost key'\n")
    assert records()[-1] == "[broken] Browser closed"


async def test_exception_whose_text_fails_still_gives_a_result(runner, write_skill):
    write_skill("weird.py", """
        class Weird(Exception):
            def __str__(self):
                raise RuntimeError("no text")
        async def run(ctx, params):
            raise Weird()
    """)
    result = await runner.run("weird", {})
    assert result.error == "Weird: <exception str() failed>"
    assert result.logs[-1].endswith("FATAL ERROR: <exception str() failed>")


async def test_exception_whose_type_name_fails_still_gives_a_result(runner, write_skill):
    write_skill("nameless.py", """
        class Nameless(type):
            @property
            def __name__(cls):
                raise RuntimeError("no name")
        class Odd(Exception, metaclass=Nameless):
            pass
        async def run(ctx, params):
            raise Odd("boom")
    """)
    result = await runner.run("nameless", {})
    assert (result.success, result.error) == (False, "<exception type name failed>: boom")


@pytest.mark.parametrize("returned, success, result", [
    ("{'success': False, 'why': 'x'}", False, {"success": False, "why": "x"}),
    ("{'success': 'yes'}", "yes", {"success": "yes"}),
    ("{'a': 1}", True, {"a": 1}),
    ("'plain text'", True, {"result": "plain text"}),
    ("None", True, {"result": "None"}),
    ("[1, 2]", True, {"result": "[1, 2]"}),
])
async def test_returned_value_handling(runner, write_skill, returned, success, result):
    write_skill("ret.py", f"async def run(ctx, params):\n    return {returned}\n")
    outcome = await runner.run("ret", {})
    assert (outcome.success, outcome.result, outcome.error) == (success, result, None)
    assert outcome.logs[0].endswith("] Starting skill: ret")


async def test_dict_subclass_result_and_its_get(runner, write_skill):
    write_skill("sub.py", """
        class Answer(dict):
            def get(self, key, default=None):
                return "from get" if key == "success" else default
        async def run(ctx, params):
            return Answer(value=1)
    """)
    outcome = await runner.run("sub", {})
    assert type(outcome.result).__name__ == "Answer" and outcome.success == "from get"


async def test_params_model_and_module_identity(corvex, write_skill):
    write_skill("who.py", """
        import asyncio, sys
        async def run(ctx, params):
            params["seen"] = True
            return {"name": __name__, "registered": __name__ in sys.modules,
                    "model": ctx._llm_model, "ctx": type(ctx).__name__,
                    "caller's task": asyncio.current_task() is params["task"]}
    """)
    params = {"task": asyncio.current_task()}
    outcome = await corvex.PythonSkillRunner("other-model").run("who", params)
    assert params == {"task": asyncio.current_task(), "seen": True}
    assert outcome.result == {"name": "ombrel_skill_who", "registered": False,
                              "model": "other-model", "ctx": "OmbrelContext",
                              "caller's task": True}


async def test_each_run_executes_the_file_anew(runner, write_skill, tmp_path):
    write_skill("count.py", """
        calls = []
        async def run(ctx, params):
            calls.append(1)
            return {"calls": len(calls)}
    """)
    results = [await runner.run("count", {}) for _ in range(3)]
    assert [r.result["calls"] for r in results] == [1, 1, 1]


async def test_script_path_elsewhere_uses_skill_name_and_its_directory(corvex, runner, write_skill, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    write_skill("helper_for_corvex_test.py", "VALUE = 7\n", elsewhere)
    path = write_skill("main.py", """
        import helper_for_corvex_test
        async def run(ctx, params):
            ctx.save_state("k", 1)
            ctx.write_file("out.txt", "x")
            return {"value": helper_for_corvex_test.VALUE, "name": __name__}
    """, elsewhere)
    try:
        for _ in range(2):
            outcome = await runner.run("named", {}, path)
        assert outcome.result == {"value": 7, "name": "ombrel_skill_named"}
        assert sys.path[0] == str(elsewhere) and sys.path.count(str(elsewhere)) == 1
        assert (corvex.STATE_DIR / "named.json").exists()
        assert outcome.output_files == [str(corvex.OUTPUT_DIR / "named" / "out.txt")]
    finally:
        sys.path.remove(str(elsewhere))
        sys.modules.pop("helper_for_corvex_test", None)


async def test_directories_are_read_and_made_again_at_every_run(corvex, runner, write_skill, tmp_path):
    write_skill("where.py", """
        async def run(ctx, params):
            ctx.save_state("k", 1)
            ctx.write_file("out.txt", "x")
            return {"state": str(ctx._state_file)}
    """)
    await runner.run("where", {})
    shutil.rmtree(corvex.OUTPUT_DIR)
    shutil.rmtree(corvex.STATE_DIR)
    outcome = await runner.run("where", {})
    assert outcome.output_files == [str(corvex.OUTPUT_DIR / "where" / "out.txt")]
    moved = tmp_path / "moved"
    (moved / "skills").mkdir(parents=True)
    (corvex.SKILLS_DIR / "where.py").rename(moved / "skills" / "where.py")
    corvex.SKILLS_DIR, corvex.STATE_DIR = moved / "skills", moved / "state"
    corvex.OUTPUT_DIR = moved / "output"
    outcome = await runner.run("where", {})
    assert outcome.result == {"state": str(moved / "state" / "where.json")}
    assert outcome.output_files == [str(moved / "output" / "where" / "out.txt")]


async def test_output_files_include_earlier_runs_but_not_subdirectories(corvex, runner, write_skill):
    write_skill("files.py", """
        async def run(ctx, params):
            ctx.write_file(params["name"], "data")
            ctx.write_file("deeper/inner.txt", "data")
            return {}
    """)
    await runner.run("files", {"name": "first.txt"})
    outcome = await runner.run("files", {"name": "second.txt"})
    directory = corvex.OUTPUT_DIR / "files"
    assert sorted(outcome.output_files) == [str(directory / "first.txt"), str(directory / "second.txt")]


@pytest.mark.parametrize("statement, exception", [
    ("raise SystemExit(3)", SystemExit),
    ("raise KeyboardInterrupt", KeyboardInterrupt),
    # An interrupt raised while the failure is being described is not the
    # exception's to swallow.
    ("class Rude(Exception):\n        def __str__(self): raise KeyboardInterrupt\n    raise Rude()",
     KeyboardInterrupt),
    ("await asyncio.sleep(100)", asyncio.CancelledError),
])
async def test_non_exception_family_propagates_after_cleanup(runner, write_skill, records, statement, exception):
    write_skill("stop.py", f"import asyncio\nasync def run(ctx, params):\n    {statement}\n")
    if exception is asyncio.CancelledError:
        task = asyncio.create_task(runner.run("stop", {}))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(exception):
            await task
    else:  # in a task these would stop the event loop itself
        with pytest.raises(exception):
            await runner.run("stop", {})
    assert records()[-1] == "[stop] Browser closed"


async def test_closing_the_coroutine_still_cleans_up(runner, write_skill, records):
    write_skill("held.py", "import asyncio\nasync def run(ctx, params):\n    await asyncio.Future()\n")
    coroutine = runner.run("held", {})
    coroutine.send(None)
    coroutine.close()
    assert records()[-1] == "[held] Browser closed"


async def test_context_creation_failure_propagates(corvex, runner, write_skill):
    write_skill("any.py", "async def run(ctx, params): return {}")
    corvex.STATE_DIR.write_text("a file where a directory belongs")
    with pytest.raises(FileExistsError):
        await runner.run("any", {})


class Text(str):
    pass


@pytest.mark.parametrize("args, message", [
    ((1, {}), "skill_name must be str, not int"),
    ((Text("x"), {}), "skill_name must be str, not Text"),
    (("x", []), "params must be dict, not list"),
    (("x", type("D", (dict,), {})()), "params must be dict, not D"),
    (("x", {}, b"path"), "script_path must be str or None, not bytes"),
])
async def test_argument_types_are_checked_before_any_step(corvex, runner, args, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        await runner.run(*args)
    assert not corvex.STATE_DIR.exists()


def test_runner_model_must_be_text(corvex):
    with pytest.raises(TypeError, match="^llm_model must be str, not NoneType$"):
        corvex.PythonSkillRunner(None)
    assert corvex.PythonSkillRunner()._llm_model == "gpt-4.1-mini"


@pytest.mark.parametrize("ending, context", [("return {}", type(None)), ("raise SystemExit(1)", SystemExit)])
async def test_failing_cleanup_propagates_chained(runner, write_skill, ending, context):
    write_skill("sabotage.py", f"""
        async def broken():
            raise ZeroDivisionError("cleanup failed")
        async def run(ctx, params):
            ctx.browser_close = broken
            {ending}
    """)
    with pytest.raises(ZeroDivisionError) as raised:
        await runner.run("sabotage", {})
    assert type(raised.value.__context__) is context
