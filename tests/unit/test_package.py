"""The package entry: submodules delivered by one shared object, `_compat`, `__whitelist`
and the package namespace."""

import importlib
import importlib.metadata
import subprocess
import sys
import textwrap
import typing

import pytest

import zivane


def run_python(code: str) -> str:
    """Runs code in a fresh interpreter and returns its standard output."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


class TestNamespace:
    def test_public_names(self):
        assert zivane.__all__ == ["HttpRequest", "HttpResponse", "HttpServer", "HttpClient"]
        assert zivane.__doc__ == "zivane - HTTP/1.1 over Reticulum Network Stack."
        assert zivane.HttpClient is zivane.client.HttpClient
        assert zivane.HttpServer is zivane.server.HttpServer
        assert zivane.HttpRequest is zivane.types.HttpRequest
        assert zivane.HttpResponse is zivane.types.HttpResponse
        assert not hasattr(zivane, "TransportError")

    def test_version_comes_from_the_installed_distribution(self):
        assert zivane.version is importlib.metadata.version
        assert zivane.__version__ == importlib.metadata.version("zivane")

    def test_star_import_binds_exactly_the_public_names(self):
        namespace: dict = {}
        exec("from zivane import *", namespace)
        assert sorted(k for k in namespace if k != "__builtins__") == sorted(zivane.__all__)

    def test_submodules_are_bound_on_the_package(self):
        for name in ("client", "server", "types", "_compat"):
            assert getattr(zivane, name) is sys.modules[f"zivane.{name}"]
            assert sys.modules[f"zivane.{name}"].__name__ == f"zivane.{name}"


class TestImportOrder:
    def test_importing_types_runs_the_package_body_first(self):
        out = run_python("""
            import sys
            import zivane.types
            print(sorted(m for m in sys.modules if m.startswith("zivane")))
            print("RNS" in sys.modules, "httptools" in sys.modules)
        """)
        modules, outside = out.splitlines()
        assert modules == str(["zivane", "zivane._compat", "zivane.client", "zivane.server",
                               "zivane.types"])
        assert outside == "True True"

    def test_whitelist_is_not_loaded_by_the_package(self):
        assert "zivane.__whitelist" not in run_python(
            "import sys, zivane; print(list(sys.modules))")

    def test_unknown_submodule_is_not_found(self):
        with pytest.raises(ModuleNotFoundError):
            importlib.import_module("zivane.nonexistent")

    def test_reload_is_harmless(self):
        types_module = zivane.types
        request_class = types_module.HttpRequest
        assert importlib.reload(zivane) is zivane
        assert importlib.reload(types_module) is types_module
        assert types_module.HttpRequest is request_class

    def test_reimport_after_removal_leaves_one_finder(self):
        out = run_python("""
            import sys
            import zivane
            for name in [m for m in sys.modules if m.startswith("zivane")]:
                del sys.modules[name]
            import zivane.types
            finders = [f for f in sys.meta_path if type(f).__module__ == "zivane"]
            print(len(finders), zivane.types.HttpRequest.__module__)
        """)
        assert out.split() == ["1", "zivane.types"]


class TestCompat:
    def test_namespace(self):
        compat = zivane._compat
        import collections.abc
        assert compat.__doc__ is None
        assert compat.override is typing.override
        assert compat.__all__ == ["override"]
        assert compat.Callable is collections.abc.Callable
        assert compat.Any is typing.Any and compat.cast is typing.cast

    def test_falls_back_to_overrides_only_when_typing_lacks_override(self):
        out = run_python("""
            import sys, types, typing
            del typing.override
            fake = types.ModuleType("overrides")
            fake.override = lambda f: f
            sys.modules["overrides"] = fake
            import zivane._compat
            print(zivane._compat.override is fake.override)
        """)
        assert out.strip() == "True"


class TestWhitelist:
    def test_import_fails_without_placeholder_and_is_not_kept(self):
        with pytest.raises(NameError, match="name '_' is not defined"):
            importlib.import_module("zivane.__whitelist")
        assert "zivane.__whitelist" not in sys.modules

    def test_import_succeeds_with_placeholder_and_names_in_builtins(self):
        out = run_python("""
            import builtins
            from unittest import mock
            builtins._ = mock.Mock()
            builtins.HttpSerializerError = Exception
            import zivane.__whitelist as w
            print(w.__doc__, sorted(k for k in vars(w) if not k.startswith("__")))
        """)
        assert out.strip() == "None []"
