"""PythonSkillResult: a real dataclass with to_dict()."""

import ast
import dataclasses
import pathlib
import pickle

import pytest

from ombrel.skills import corvex
from ombrel.skills.corvex import PythonSkillResult


def test_dataclass_fields_defaults_and_positional_order():
    assert dataclasses.is_dataclass(PythonSkillResult)
    assert [(f.name, f.default) for f in dataclasses.fields(PythonSkillResult)][:4] == [
        ("success", dataclasses.MISSING), ("skill_name", dataclasses.MISSING),
        ("result", None), ("error", None)]
    positional = PythonSkillResult(True, "s", {"r": 1}, "e", ["l"], 2.5, ["f"])
    assert positional == PythonSkillResult(success=True, skill_name="s", result={"r": 1}, error="e",
                                           logs=["l"], duration=2.5, output_files=["f"])
    assert repr(positional) == ("PythonSkillResult(success=True, skill_name='s', result={'r': 1}, "
                                "error='e', logs=['l'], duration=2.5, output_files=['f'])")
    assert PythonSkillResult.__doc__ == "Result of a Python skill execution."
    assert PythonSkillResult.__module__ == "ombrel.skills.corvex"
    with pytest.raises(TypeError):
        PythonSkillResult(True)


def test_defaults_are_fresh_and_record_is_mutable_and_comparable():
    first, second = PythonSkillResult(False, "a"), PythonSkillResult(False, "a")
    assert (first.result, first.error, first.logs, first.duration, first.output_files) == (
        None, None, [], 0.0, [])
    first.logs.append("x")
    assert second.logs == [] and first != second
    second.logs.append("x")
    assert first == second
    first.success = "changed"
    assert first.success == "changed" and first != second
    assert pickle.loads(pickle.dumps(second)) == second


@pytest.mark.parametrize("duration, shown", [
    (1.234567, 1.23), (0.125, 0.12), (0.375, 0.38), (2.675, 2.67), (0.0, 0.0), (7, 7)])
def test_to_dict_keys_rounding_and_shared_lists(duration, shown):
    logs, files = ["[00:00:00] x"], ["/o/f"]
    record = PythonSkillResult(True, "s", {"k": 1}, None, logs, duration, files)
    out = record.to_dict()
    assert list(out) == ["success", "skill_name", "result", "error", "logs",
                         "duration_seconds", "output_files"]
    assert out["duration_seconds"] == shown and type(out["duration_seconds"]) is type(duration)
    assert out["logs"] is logs and out["output_files"] is files
    assert record.duration == duration
    assert out is not record.to_dict()


def test_stub_declares_the_record_as_its_dataclass():
    stub = pathlib.Path(corvex.__file__).with_name("corvex.pyi")
    if not stub.exists():
        pytest.skip("built without stubs")
    tree = ast.parse(stub.read_text())
    declared = {node.target.id: ast.unparse(node.annotation)
                for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert all(declared[name] == "pathlib.Path" for name in ("SKILLS_DIR", "STATE_DIR", "OUTPUT_DIR"))
    [record] = [node for node in tree.body
                if isinstance(node, ast.ClassDef) and node.name == "PythonSkillResult"]
    assert [ast.unparse(d) for d in record.decorator_list] == ["dataclass"]
    fields = [(node.target.id, ast.unparse(node.annotation), node.value and ast.unparse(node.value))
              for node in record.body if isinstance(node, ast.AnnAssign)]
    assert [name for name, _, _ in fields] == [f.name for f in dataclasses.fields(PythonSkillResult)]
    assert fields == [
        ("success", "bool", None), ("skill_name", "str", None), ("result", "Any", "None"),
        ("error", "str | None", "None"), ("logs", "list[str]", "field(default_factory=list)"),
        ("duration", "float", "0.0"), ("output_files", "list[str]", "field(default_factory=list)")]
    assert any(isinstance(node, ast.FunctionDef) and node.name == "to_dict" for node in record.body)
