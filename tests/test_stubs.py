"""Every public name of every extension module is declared in its shipped stub."""

import ast
import importlib
import inspect
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


# --- signatures: what inspect (and so notebooks and IDEs) shows for each callable ----------------

KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def stub_parameters(node: ast.FunctionDef):
    """(name, kind, default) of each parameter of a stub's def; default is `empty` when none."""
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults]
    out = []
    for i, arg in enumerate(positional):
        kind = KINDS["posonlyargs"] if i < len(a.posonlyargs) else KINDS["args"]
        out.append((arg.arg, kind, defaults[i]))
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, KINDS["kwonlyargs"],
                    inspect.Parameter.empty if default is None else ast.literal_eval(default)))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return out


def stub_callables(module_name):
    """(qualified name, def node, runtime object) of every def in a module's stub."""
    module = importlib.import_module(f"lumoreq.{module_name}")
    tree = ast.parse((PACKAGE / f"{module_name}.pyi").read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node, getattr(module, node.name)
        elif isinstance(node, ast.ClassDef):
            cls = getattr(module, node.name)
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield f"{node.name}.{member.name}", member, getattr(cls, member.name)


def typed(value):
    return value if value is inspect.Parameter.empty else (type(value), value)


@pytest.mark.parametrize("module_name", lumoreq.MODULES)
def test_every_callable_has_the_signature_of_its_stub(module_name):
    checked = 0
    for name, node, obj in stub_callables(module_name):
        signature = inspect.signature(obj)  # raises when the callable has none
        got = [(p.name, p.kind, typed(p.default)) for p in signature.parameters.values()]
        want = [(n, k, typed(d)) for n, k, d in stub_parameters(node)]
        assert got == want, f"{module_name}.{name}"
        doc = obj.__doc__ or ""
        assert "\n--\n" not in doc and not doc.startswith(node.name + "("), f"{module_name}.{name}: {doc[:40]!r}"
        checked += 1
    module = importlib.import_module(f"lumoreq.{module_name}")
    own = [v for n, v in vars(module).items()
           if not n.startswith("_") and inspect.isbuiltin(v) and v.__module__ == module.__name__]
    assert checked >= len(own)


def test_documentation_keeps_its_own_text():
    from lumoreq import chartwork, fetching, refinery

    assert fetching.SampleRateType.get_rate_by_id.__doc__ == "根据采样率ID获取对应的秒数"
    assert fetching.SampleRateType.get_rate_by_id.__text_signature__ == "(rate_id)"
    assert refinery._is_leap_year.__doc__ == "检查是否为闰年"
    # a bound method drops `self`, as for a def
    plotter = chartwork.TSPlotter.__new__(chartwork.TSPlotter)
    assert list(inspect.signature(plotter.set_stats_style).parameters) == ["kwargs"]
    assert inspect.signature(fetching.DataFetcher.fetch_data).parameters["item_name"].default == "全部"
