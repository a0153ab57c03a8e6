"""The module's surface: attributes, signatures, argument binding, init rules, exports."""
import importlib.metadata
import inspect
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

import morvanta

FUNCTIONS = [("compute_emi", "request"), ("compute_emi_json", "request_json"),
             ("categorize_transactions", "request"), ("categorize_transactions_json", "request_json"),
             ("derive_rules", "request"), ("derive_rules_json", "request_json")]


def test_module_attributes():
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", morvanta.__version__)
    assert morvanta.__all__ == ["__version__"] + [name for name, _ in FUNCTIONS]
    assert morvanta.__doc__ == ""
    public = {n for n in dir(morvanta) if not n.startswith("__")}
    assert public == {name for name, _ in FUNCTIONS}


@pytest.mark.parametrize("name, param", FUNCTIONS)
def test_function_signature(name, param):
    fn = getattr(morvanta, name)
    assert fn.__doc__ is None
    assert fn.__text_signature__ == f"({param})"
    assert fn.__module__ == "morvanta"
    assert fn.__name__ == name
    assert list(inspect.signature(fn).parameters) == [param]


@pytest.mark.parametrize("name, param", FUNCTIONS)
def test_argument_binding_messages(name, param):
    fn = getattr(morvanta, name)
    cases = [
        ((), {}, f"{name}() missing 1 required positional argument: '{param}'"),
        ((1, 2), {}, f"{name}() takes 1 positional arguments but 2 were given"),
        ((1, 2, 3), {"bogus": 1}, f"{name}() takes 1 positional arguments but 3 were given"),
        ((), {"requests": 1}, f"{name}() got an unexpected keyword argument 'requests'"),
        ((1,), {param: 1}, f"{name}() got multiple values for argument '{param}'"),
        ((), {param: 1, "zzz": 2}, f"{name}() got an unexpected keyword argument 'zzz'"),
        ((), {"\ud800x": 1}, f"{name}() got an unexpected keyword argument '\\ud800x'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert info.value.args == (message,)


def test_keyword_argument_works_like_positional():
    req = {"mode": "emi", "loanAmount": 1200, "months": 12, "interestRate": 0}
    assert morvanta.compute_emi(request=req) == morvanta.compute_emi(req)


@pytest.mark.parametrize("name", [n for n, p in FUNCTIONS if p == "request_json"])
@pytest.mark.parametrize("arg, type_name", [(b"{}", "bytes"), ({}, "dict"), (None, "NoneType"), (1.5, "float")])
def test_json_functions_take_only_str(name, arg, type_name):
    with pytest.raises(TypeError) as info:
        getattr(morvanta, name)(arg)
    assert info.value.args == (f"argument 'request_json': '{type_name}' object cannot be converted to 'PyString'",)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("name", [n for n, p in FUNCTIONS if p == "request_json"])
def test_json_lone_surrogate_passes_unicode_error_unchanged(name):
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(morvanta, name)('{"x":"\ud800"}')
    assert "surrogates not allowed" in str(info.value)


# A large request that is not ASCII is encoded a piece at a time: a lone
# surrogate far into it raises the whole text's error, at its place there.
def test_json_lone_surrogate_deep_in_a_large_request():
    text = '{"data":[' + ",".join(['{"narration":"shop é"}'] * 800_000) + ',{"narration":"\ud800"}],"rules":[]}'
    with pytest.raises(UnicodeEncodeError) as info:
        morvanta.categorize_transactions_json(text)
    assert (info.value.start, info.value.end) == (text.index("\ud800"), text.index("\ud800") + 1)


@pytest.mark.parametrize("name", [n for n, p in FUNCTIONS if p == "request"])
@pytest.mark.parametrize("arg, type_name", [(None, "NoneType"), ([], "list"), ("{}", "str")])
def test_object_functions_need_a_mapping(name, arg, type_name):
    with pytest.raises(ValueError) as info:
        getattr(morvanta, name)(arg)
    assert info.value.args == (f"invalid request: unexpected type: '{type_name}' object cannot be converted to 'Mapping'",)


def test_second_init_raises_import_error():
    code = (
        "import sys, morvanta\n"
        "del sys.modules['morvanta']\n"
        "try:\n"
        "    import morvanta\n"
        "except ImportError as e:\n"
        "    print(repr(e.args))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.stdout.strip() == repr(("PyO3 modules compiled for CPython 3.8 or older may only be "
                                       "initialized once per interpreter process",))


def test_only_init_symbol_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", morvanta.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_morvanta"]


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded interpreter has no stable ABI before abi3t (3.15): "
                                          "its module is built for the interpreter's own ABI")
def test_built_for_the_stable_abi():
    assert ".abi3." in os.path.basename(morvanta.__file__)


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter can keep the GIL off")
def test_import_keeps_the_gil_off():
    # In a child without PYTHON_GIL, so that the interpreter decides; a
    # module that had not declared itself GIL-free would turn the GIL on and
    # warn about it.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    code = "import sys\nimport morvanta\nprint(sys._is_gil_enabled())\n"
    out = subprocess.run([sys.executable, "-W", "always", "-c", code], capture_output=True, text=True, check=True,
                         env=env)
    assert (out.stdout, out.stderr) == ("False\n", "")


def installed_distribution():
    """The installed distribution that holds the loaded module, or None when
    the module comes from a build tree (no metadata of its own)."""
    try:
        dist = importlib.metadata.distribution("morvanta")
    except importlib.metadata.PackageNotFoundError:
        return None
    module = os.path.realpath(morvanta.__file__)
    if not any(os.path.realpath(str(dist.locate_file(f))) == module for f in dist.files or ()):
        return None
    return dist


@pytest.fixture
def distribution():
    dist = installed_distribution()
    if dist is None:
        pytest.skip("morvanta is loaded from a build tree, not from an installed wheel")
    return dist


def test_version_is_the_distribution_version(distribution):
    assert morvanta.__version__ == distribution.version


def test_wheel_ships_the_license(distribution):
    with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "LICENSE")) as f:
        expected = f.read()
    licenses = [f for f in distribution.files if f.name == "LICENSE" and ".dist-info" in str(f)]
    assert [f.read_text() for f in licenses] == [expected]
    assert distribution.metadata["License-Expression"] == "MIT"
