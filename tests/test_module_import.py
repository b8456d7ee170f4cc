"""Importing the two modules: the interpreter version guard and the name in the module spec. Each
case runs in a child process, since it patches the interpreter it runs in."""

import json
import subprocess
import sys
import textwrap

import pytest

COMPILED = f"{sys.version_info.major}.{sys.version_info.minor}"

# Rewrites the interpreter's version literal in its read-only data, so Py_GetVersion() (which
# formats it on every call) reports another version. The new text must not be longer.
PATCH_VERSION = """
import ctypes, os, sys
libc = ctypes.CDLL(None)
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
def patch_version(new):
    old = sys.version.split()[0].encode() + b"\\0"
    assert len(new) < len(old), "the new version text must fit"
    exe = os.path.realpath(sys.executable)
    hits = []
    for line in open("/proc/self/maps"):
        parts = line.split()
        if len(parts) >= 6 and (parts[5] == exe or "libpython" in parts[5]) and parts[1] == "r--p":
            lo, hi = (int(x, 16) for x in parts[0].split("-"))
            data = ctypes.string_at(lo, hi - lo)
            i = data.find(old)
            while i >= 0:
                hits.append(lo + i)
                i = data.find(old, i + 1)
    assert hits, "version literal not found"
    for addr in hits:
        page = addr & ~0xFFF
        size = ((addr + len(old) + 0xFFF) & ~0xFFF) - page
        assert libc.mprotect(page, size, 3) == 0
        ctypes.memmove(addr, new + b"\\0", len(new) + 1)
        assert libc.mprotect(page, size, 1) == 0
    getversion = ctypes.pythonapi.Py_GetVersion
    getversion.restype = ctypes.c_char_p
    return getversion().decode()
"""


def run_child(code: str) -> dict:
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr[-2000:]
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("module", ["robot", "joystick"])
@pytest.mark.parametrize(
    "version, accepted",
    [
        (f"{COMPILED}0", False),  # same prefix, but a digit follows
        (f"{sys.version_info.major}.{sys.version_info.minor - 1}.9", False),
        (f"{sys.version_info.major + 1}.{sys.version_info.minor}", False),
        (COMPILED, True),  # a non-digit (the blank before the build details) follows
    ],
    ids=["longer-minor", "older", "other-major", "exact"],
)
def test_the_version_guard_refuses_other_interpreters(module, version, accepted):
    result = run_child(
        PATCH_VERSION
        + f"""
import json
reported = patch_version({version!r}.encode())
try:
    import {module}
    print(json.dumps({{"reported": reported, "error": None}}))
except ImportError as e:
    print(json.dumps({{"reported": reported, "error": str(e)}}))
"""
    )
    assert result["reported"].startswith(version + " (")
    expected = None if accepted else (
        f"Python version mismatch: module was compiled for Python {COMPILED}, "
        f"but the interpreter version is incompatible: {result['reported']}."
    )
    assert result["error"] == expected


@pytest.mark.parametrize("module", ["robot", "joystick"])
@pytest.mark.parametrize("module_spec", ["types.SimpleNamespace()", "types.SimpleNamespace(name=None)"],
                         ids=["no-name", "name-none"])
def test_a_module_spec_without_a_name_is_refused(module, module_spec):
    # The module's creation step, called as the import system would, with a module spec that lacks
    # what the import system always provides.
    result = run_child(
        f"""
        import ctypes, importlib.util, json, types
        origin = importlib.util.find_spec({module!r}).origin
        init = getattr(ctypes.PyDLL(origin), "PyInit_{module}")
        init.restype = ctypes.c_void_p
        definition = init()
        # PyModuleDef: the base (object header, m_init, m_index, m_copy), m_name, m_doc,
        # m_size, m_methods, then m_slots, a {{int, void*}} array ending in slot 0.
        word = ctypes.sizeof(ctypes.c_void_p)
        slots = ctypes.c_void_p.from_address(definition + 9 * word).value
        create = None
        while True:
            slot = ctypes.c_int.from_address(slots).value
            if slot == 0:
                break
            if slot == 1:  # Py_mod_create
                create = ctypes.c_void_p.from_address(slots + word).value
            slots += 2 * word
        call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(create)
        try:
            call({module_spec}, definition)
            print(json.dumps({{"error": None}}))
        except ImportError as e:
            print(json.dumps({{"error": str(e)}}))
        """
    )
    assert result == {"error": "module spec is missing a name"}
