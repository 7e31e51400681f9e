"""The core package neither needs nor imports Dask, distributed, Kombu or Celery;
the integrations say which extra to install when their framework is missing."""

import subprocess
import sys

BLOCKED = """
import sys
class Absent:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in ("dask", "distributed", "kombu", "celery"):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Absent())
"""

CHECK = """
import pyquarl, pyquarl.kombu
assert pyquarl.loads(pyquarl.dumps({1: [b"x"]})) == {1: [b"x"]}
assert pyquarl.kombu.decode(pyquarl.kombu.encode([1])) == [1]
for call, extra in ((lambda: __import__("pyquarl.dask"), "dask"), (pyquarl.kombu.register, "celery")):
    try:
        call()
    except ModuleNotFoundError as error:
        assert f'pip install "pyquarl[{extra}]"' in str(error), error
    else:
        raise AssertionError(extra)
print(sorted(m for m in sys.modules if m.partition(".")[0] in ("dask", "distributed", "kombu", "celery")))
"""


def test_the_core_works_without_the_frameworks_and_the_integrations_name_their_extra():
    result = subprocess.run([sys.executable, "-c", BLOCKED + CHECK], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[]\n"


def test_importing_the_core_imports_no_framework():
    code = "import sys, pyquarl, pyquarl.kombu; print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed', 'kombu', 'celery')))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.stdout == "[]\n", result.stderr
