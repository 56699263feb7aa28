"""Every public name of every extension module is declared in its shipped stub."""

import ast
import importlib
from pathlib import Path

import pytest

import lumoreq

PACKAGE = Path(lumoreq.__file__).parent


def stub_names(module_name):
    tree = ast.parse((PACKAGE / f"{module_name}.pyi").read_text(encoding="utf-8"))
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update((a.asname or a.name).split(".")[0] for a in node.names)
    return names


@pytest.mark.parametrize("module_name", lumoreq.MODULES)
def test_stub_lists_every_public_name(module_name):
    module = importlib.import_module(f"lumoreq.{module_name}")
    public = {n for n in vars(module) if not n.startswith("__")}
    missing = public - stub_names(module_name)
    assert not missing, f"{module_name}.pyi lacks {sorted(missing)}"


def test_py_typed_ships():
    assert (PACKAGE / "py.typed").exists()
