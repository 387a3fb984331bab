"""The module on a free-threaded interpreter."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

free_threaded = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter"
)

# Run in a fresh interpreter: whatever else this test process has imported may have turned the GIL on.
IMPORT_EVERY_WAY = textwrap.dedent(
    """
    import sys
    import tovak.lib._tovak
    import tovak.bigjson
    from tovak import bigjson
    print(sys._is_gil_enabled())
    del sys.modules["tovak.lib._tovak"], sys.modules["tovak.bigjson"]
    import tovak.lib._tovak
    print(sys._is_gil_enabled())
    """
)


@free_threaded
def test_import_keeps_the_gil_disabled(tmp_path):
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    done = subprocess.run(
        [sys.executable, "-c", IMPORT_EVERY_WAY], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["False", "False"]
    assert done.stderr == ""  # no warning that the GIL was enabled for this module
