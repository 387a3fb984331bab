"""The extension's entry points: the slot array that CPython 3.15's export hook `PyModExport__tovak` hands
out, read back through ctypes from the built extension file, and its absence on older interpreters."""

import ctypes
import sys
import sysconfig

import pytest

import tovak.lib._tovak as ext

HAS_EXPORT_HOOK = sys.version_info >= (3, 15)


# The layouts and numbers below are CPython 3.15's: `struct PySlot` and its flags in Include/slots.h, the
# slot ids in Include/slots_generated.h, `PyABIInfo` and its flags in Include/modsupport.h, and
# Py_MOD_GIL_NOT_USED in Include/moduleobject.h.
class PySlot(ctypes.Structure):
    _fields_ = [
        ("sl_id", ctypes.c_uint16),
        ("sl_flags", ctypes.c_uint16),
        ("sl_reserved", ctypes.c_uint32),
        ("sl_value", ctypes.c_void_p),  # union of sl_ptr, sl_func, sl_size, sl_int64, sl_uint64
    ]


class PyABIInfo(ctypes.Structure):
    _fields_ = [
        ("abiinfo_major_version", ctypes.c_uint8),
        ("abiinfo_minor_version", ctypes.c_uint8),
        ("flags", ctypes.c_uint16),
        ("build_version", ctypes.c_uint32),
        ("abi_version", ctypes.c_uint32),
    ]


PY_MOD_EXEC = 85
PY_MOD_GIL = 87
PY_MOD_NAME = 100
PY_MOD_DOC = 101
PY_MOD_ABI = 109
PYSLOT_OPTIONAL = 0x0001
PYABIINFO_GIL = 0x0002
PYABIINFO_FREETHREADED = 0x0004
PY_MOD_GIL_NOT_USED = 1

EXPECTED_IDS = [PY_MOD_EXEC, PY_MOD_ABI, PY_MOD_GIL, PY_MOD_NAME, PY_MOD_DOC]


def export_hook():
    """The hook as the extension file exports it, or None."""
    library = ctypes.CDLL(ext.__file__)
    return getattr(library, "PyModExport__tovak", None)


def exported_slots():
    """The entries of the hook's array up to its end marker, and the end marker."""
    hook = export_hook()
    hook.restype = ctypes.POINTER(PySlot)
    array = hook()
    entries = []
    while array[len(entries)].sl_id != 0:
        assert len(entries) < 16, "no end marker"
        entries.append(array[len(entries)])
    return entries, array[len(entries)]


@pytest.mark.skipif(HAS_EXPORT_HOOK, reason="CPython 3.15 and later look the hook up")
def test_no_export_hook_before_3_15():
    assert export_hook() is None


@pytest.mark.skipif(not HAS_EXPORT_HOOK, reason="the hook exists from CPython 3.15 on")
def test_export_hook_holds_the_five_entries_in_order():
    entries, end = exported_slots()
    assert [entry.sl_id for entry in entries] == EXPECTED_IDS
    assert all(not entry.sl_flags & PYSLOT_OPTIONAL for entry in entries)
    assert all(entry.sl_reserved == 0 for entry in entries)
    assert (end.sl_flags, end.sl_reserved, end.sl_value) == (0, 0, None)


def abi_record(address):
    info = PyABIInfo.from_address(address)
    return info.abiinfo_major_version, info.abiinfo_minor_version, info.flags


THREADING_FLAG = PYABIINFO_FREETHREADED if sysconfig.get_config_var("Py_GIL_DISABLED") else PYABIINFO_GIL


@pytest.mark.skipif(not HAS_EXPORT_HOOK, reason="the hook exists from CPython 3.15 on")
@pytest.mark.parametrize(
    "slot_id, read, expected",
    [
        (PY_MOD_ABI, abi_record, (1, 0, THREADING_FLAG)),
        (PY_MOD_GIL, lambda value: value, PY_MOD_GIL_NOT_USED),
        (PY_MOD_NAME, lambda value: ctypes.string_at(value).decode(), "_tovak"),
        (PY_MOD_DOC, lambda value: ctypes.string_at(value).decode(), ext.__doc__),
    ],
    ids=["abi", "gil", "name", "doc"],
)
def test_export_hook_entry_values(slot_id, read, expected):
    value = {entry.sl_id: entry.sl_value for entry in exported_slots()[0]}[slot_id]
    assert read(value) == expected


@pytest.mark.skipif(not HAS_EXPORT_HOOK, reason="the hook exists from CPython 3.15 on")
def test_interpreter_builds_a_working_module_from_the_hook(monkeypatch):
    # The interpreter's own reading of the array: a second module object made from it runs its exec slot,
    # which enters its own submodule as "tovak.bigjson"; the first one's entry comes back afterwards.
    monkeypatch.setitem(sys.modules, "tovak.bigjson", sys.modules["tovak.bigjson"])
    from_slots = ctypes.pythonapi.PyModule_FromSlotsAndSpec
    from_slots.argtypes = [ctypes.POINTER(PySlot), ctypes.py_object]
    from_slots.restype = ctypes.py_object
    run_exec = ctypes.pythonapi.PyModule_Exec
    run_exec.argtypes = [ctypes.py_object]
    run_exec.restype = ctypes.c_int
    hook = export_hook()
    hook.restype = ctypes.POINTER(PySlot)

    module = from_slots(hook(), ext.__spec__)
    assert run_exec(module) == 0
    assert module.__doc__ == ext.__doc__
    assert module.bigjson.count.__doc__ == ext.bigjson.count.__doc__
