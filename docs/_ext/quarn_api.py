"""The API reference: one page per public module, written from the modules' __all__ before the
sources are read, signatures and docstrings of native objects taken from their stubs, and a check
that every public name got an entry.

Public modules: quarn_chess, quarn_data and every quarn_data submodule whose name does not start
with "_" (so a module added later appears without editing this file). Optional third-party
imports that are missing here (torch, say) are mocked, as autodoc does for the entries.
"""

from __future__ import annotations

import ast
import importlib
import importlib.util
import inspect
import pkgutil
from pathlib import Path

from sphinx.application import Sphinx
from sphinx.errors import ExtensionError
from sphinx.ext.autodoc.mock import mock
from sphinx.util import logging

logger = logging.getLogger(__name__)

ROOT = Path(__file__).resolve().parents[2]
# Stubs of the native modules: their objects carry no Python signatures of their own.
STUBS = {
    "quarn_chess": ROOT / "src" / "python" / "quarn_chess.pyi",
    **{f"quarn_data.{p.stem}": p for p in sorted((ROOT / "python" / "quarn_data").glob("*.pyi"))},
}
# Imports a submodule may make that the docs environment need not have.
OPTIONAL_IMPORTS = ["torch", "gymnasium", "pettingzoo", "distributed", "dask", "IPython"]
# Attributes every structseq has; not part of our API.
STRUCTSEQ_NOISE = "n_fields, n_sequence_fields, n_unnamed_fields, count, index"


def _missing_optional() -> list[str]:
    return [name for name in OPTIONAL_IMPORTS if importlib.util.find_spec(name) is None]


def public_modules() -> dict[str, list[str]]:
    """Module name -> its public names, for every module the reference covers."""
    modules: dict[str, list[str]] = {}
    with mock(_missing_optional()):
        for name in ("quarn_chess", "quarn_data"):
            module = importlib.import_module(name)
            modules[name] = list(getattr(module, "__all__", []))
        package = importlib.import_module("quarn_data")
        for info in sorted(pkgutil.iter_modules(package.__path__), key=lambda i: i.name):
            if info.name.startswith("_"):
                continue
            name = f"quarn_data.{info.name}"
            module = importlib.import_module(name)
            if not hasattr(module, "__all__"):
                logger.warning("%s has no __all__: its public names cannot be listed", name)
            names = list(getattr(module, "__all__", []))
            # quarn_data.svg is the function: a module whose name the package gives to one of
            # its own public names is documented through the package, when that covers it.
            shadowed = getattr(package, info.name, module) is not module
            if shadowed and set(names) <= set(modules["quarn_data"]):
                continue
            modules[name] = names
    return modules


def _home(obj: object, modules: dict[str, list[str]]) -> str | None:
    """The public module that defines obj and lists it, if any."""
    home = getattr(obj, "__module__", None)
    name = getattr(obj, "__name__", None)
    if home in modules and name in modules[home]:
        return home
    return None


def _directive(module: str, name: str, obj: object, modules: dict[str, list[str]]) -> list[str]:
    target = f"{module}.{name}"
    home = _home(obj, modules)
    if module != "quarn_data" and home not in (None, module):
        # Re-exported from another public module: one full entry there, a pointer here (two
        # full entries would both claim the defining module's name).
        kind = "class" if inspect.isclass(obj) else "function" if callable(obj) else "data"
        role = "class" if kind == "class" else "func" if kind == "function" else "data"
        return [f".. py:{kind}:: {name}", f"   :module: {module}", "   :no-index-entry:", "",
                f"   Re-exported here: :py:{role}:`{home}.{getattr(obj, '__name__', name)}`."]
    if inspect.isclass(obj):
        kind = "autoexception" if issubclass(obj, BaseException) else "autoclass"
        lines = [f".. {kind}:: {target}", "   :members:", "   :undoc-members:"]
        if "__call__" in vars(obj):
            lines.append("   :special-members: __call__")
        if isinstance(obj, type) and issubclass(obj, tuple) and hasattr(obj, "n_fields"):
            lines.append(f"   :exclude-members: {STRUCTSEQ_NOISE}")
        return lines
    if callable(obj):
        return [f".. autofunction:: {target}"]
    return [f".. autodata:: {target}"]


def write_pages(app: Sphinx) -> None:
    """Writes api/index.rst and api/<module>.rst into the source folder (generated, ignored by
    git) and remembers the names each page must describe."""
    out = Path(app.srcdir) / "api"
    out.mkdir(exist_ok=True)
    modules = public_modules()
    app.env.quarn_public = modules  # type: ignore[attr-defined]
    app.config.autodoc_mock_imports = _missing_optional()
    index = [
        "API reference",
        "=============",
        "",
        "Every public name of ``quarn_chess`` and ``quarn_data``, generated from the modules'",
        "``__all__``, their docstrings and, for native code, the type stubs.",
        "",
        ".. toctree::",
        "   :maxdepth: 1",
        "",
        *[f"   {name}" for name in modules],
        "",
    ]
    pages = {"index.rst": "\n".join(index)}
    with mock(_missing_optional()):
        for module_name, names in modules.items():
            module = importlib.import_module(module_name)
            lines = [f"``{module_name}``", "=" * (len(module_name) + 4), "",
                     f".. automodule:: {module_name}", "   :no-members:", ""]
            for name in names:
                if not hasattr(module, name):
                    raise ExtensionError(f"{module_name}.__all__ names {name!r}, which it lacks")
                lines += _directive(module_name, name, getattr(module, name), modules)
                lines.append("")
            pages[f"{module_name}.rst"] = "\n".join(lines)
    for stale in out.glob("*.rst"):
        if stale.name not in pages:
            stale.unlink()
    for file_name, text in pages.items():
        path = out / file_name
        # Rewrite only what changed, so that an incremental build rereads only those pages.
        if not path.exists() or path.read_text(encoding="utf-8") != text:
            path.write_text(text, encoding="utf-8")


# --- stubs ---------------------------------------------------------------------------------------


def _read_stub(module: str, path: Path) -> dict[tuple[str, str], tuple[str, str | None, str | None]]:
    """(module, qualified name) -> (parameters, return annotation, docstring) for every function,
    method and class of a stub; a class takes the signature of its __new__ or __init__."""
    entries: dict[tuple[str, str], tuple[str, str | None, str | None]] = {}
    tree = ast.parse(path.read_text(encoding="utf-8"))

    def signature(function: ast.FunctionDef) -> tuple[str, str | None]:
        arguments = function.args
        is_static = any(isinstance(d, ast.Name) and d.id == "staticmethod"
                        for d in function.decorator_list)
        if not is_static and arguments.posonlyargs + arguments.args:
            first = (arguments.posonlyargs + arguments.args)[0].arg
            if first in ("self", "cls"):
                arguments = ast.arguments(
                    posonlyargs=arguments.posonlyargs[1:] if arguments.posonlyargs else [],
                    args=arguments.args if arguments.posonlyargs else arguments.args[1:],
                    vararg=arguments.vararg, kwonlyargs=arguments.kwonlyargs,
                    kw_defaults=arguments.kw_defaults, kwarg=arguments.kwarg,
                    defaults=arguments.defaults)
        returns = ast.unparse(function.returns) if function.returns else None
        return f"({ast.unparse(arguments)})", returns

    def visit(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, ast.FunctionDef):
                parameters, returns = signature(node)
                entries[(module, prefix + node.name)] = (parameters, returns,
                                                         ast.get_docstring(node))
            elif isinstance(node, ast.ClassDef):
                visit(node.body, f"{prefix}{node.name}.")
                made = entries.get((module, f"{prefix}{node.name}.__new__")) or entries.get(
                    (module, f"{prefix}{node.name}.__init__"))
                entries[(module, prefix + node.name)] = (
                    made[0] if made else "", None, ast.get_docstring(node))

    visit(tree.body, "")
    entries[(module, "")] = ("", None, ast.get_docstring(tree))
    return entries


def _stub_entries() -> dict[tuple[str, str], tuple[str, str | None, str | None]]:
    entries: dict[tuple[str, str], tuple[str, str | None, str | None]] = {}
    for module, path in STUBS.items():
        if path.exists():
            entries.update(_read_stub(module, path))
    return entries


def _native(obj: object, name: str) -> bool:
    """True for objects of a module that has a stub: native code, whose objects carry no
    Python-level signature of their own (pure-Python modules are read as they are). quarn_chess's
    types name no module (their __module__ is "builtins"): they are known by the name they are
    documented under."""
    owner = getattr(obj, "__objclass__", None)
    module = getattr(obj, "__module__", None) or getattr(owner, "__module__", None)
    if module is None and inspect.isbuiltin(obj):
        module = getattr(getattr(obj, "__self__", None), "__module__", None)
    if module in (None, "builtins"):
        return any(name.startswith(stub + ".") for stub in STUBS)
    return module in STUBS


def _stub_for(app: Sphinx, name: str, obj: object):
    entries = app.env.quarn_stubs  # type: ignore[attr-defined]
    owner = getattr(obj, "__objclass__", None)
    module = getattr(obj, "__module__", None) or getattr(owner, "__module__", None)
    qualname = getattr(obj, "__qualname__", None)
    if module and qualname and (module, qualname) in entries:
        return entries[(module, qualname)]
    for stub_module in STUBS:  # quarn_chess.Board.push, documented under its own name
        if name.startswith(stub_module + "."):
            found = entries.get((stub_module, name[len(stub_module) + 1:]))
            if found:
                return found
    return None


def process_signature(app, what, name, obj, options, signature, return_annotation):
    if not _native(obj, name):
        return None
    found = _stub_for(app, name, obj)
    if found is None:
        return None
    parameters, returns, _ = found
    if what in ("class", "exception"):
        return parameters, None
    return parameters, returns


def process_docstring(app, what, name, obj, options, lines):
    if what == "module":
        found = app.env.quarn_stubs.get((name, ""))  # type: ignore[attr-defined]
        if found and found[2] and not any(line.strip() for line in lines):
            lines[:] = inspect.cleandoc(found[2]).splitlines()
        return
    if not _native(obj, name):
        return
    found = _stub_for(app, name, obj)
    if found is None or not found[2]:
        return
    lines[:] = inspect.cleandoc(found[2]).splitlines()


def prepare(app: Sphinx) -> None:
    app.env.quarn_stubs = _stub_entries()  # type: ignore[attr-defined]
    write_pages(app)


def check_entries(app: Sphinx, env) -> None:
    """Fails the build when a public name has no entry in the reference."""
    described = env.get_domain("py").objects
    modules = getattr(env, "quarn_public", None) or public_modules()
    missing = [f"{module}.{name}" for module, names in modules.items()
               for name in [*names] if f"{module}.{name}" not in described]
    missing += [module for module in modules if module not in env.get_domain("py").modules]
    if missing:
        raise ExtensionError("public names without an API entry: " + ", ".join(missing))


def setup(app: Sphinx) -> dict[str, object]:
    app.connect("builder-inited", prepare)
    app.connect("autodoc-process-signature", process_signature)
    # Before napoleon (priority 500), so that it reads the stub's docstring.
    app.connect("autodoc-process-docstring", process_docstring, priority=400)
    app.connect("env-check-consistency", check_entries)
    return {"parallel_read_safe": True, "parallel_write_safe": True, "env_version": 1}
