"""Each module's stub, generated with the build, is the committed reference
under tests/stubs/ (laid out by module): a change of a module's public
surface or docstrings shows in review as a change of its reference.
tools/update-stubs.sh refreshes the references from a build."""

import difflib
import importlib
from pathlib import Path

import pytest

REFERENCES = Path(__file__).parent / "stubs"


@pytest.mark.parametrize("name", ["ombrel.gateway.ws", "ombrel.core.heartbeat",
                                  "ombrel.skills.corvex", "ombrel.pc.vantor"])
def test_stub_is_its_reference(name):
    module = importlib.import_module(name)
    # Beside the module's file, as installed or as laid out in a build.
    stub = Path(module.__file__).with_name(name.rpartition(".")[2] + ".pyi")
    if not stub.is_file():
        pytest.skip(f"no stub beside {module.__file__}: a build without stubs (OMBREL_STUBS=OFF "
                    "or OMBREL_SANITIZE=ON)")
    reference = REFERENCES.joinpath(*name.split(".")).with_suffix(".pyi")
    expected = reference.read_text().splitlines(keepends=True)
    actual = stub.read_text().splitlines(keepends=True)
    if actual != expected:
        diff = "".join(difflib.unified_diff(expected, actual, str(reference), str(stub)))
        pytest.fail(f"The stub of {name} is not its reference. If the change is meant, refresh "
                    f"the references with tools/update-stubs.sh [build dir].\n{diff}", pytrace=False)
