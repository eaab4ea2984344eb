"""The C++ sources follow the house format (.clang-format at the root)."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SOURCES = sorted((ROOT / "src" / "vestri" / "ondrel").glob("*/*.[ch]pp"))


def _clang_format():
    found = shutil.which("clang-format", path=str(pathlib.Path(sys.executable).parent))
    return found or shutil.which("clang-format")


@pytest.mark.skipif(not SOURCES or not (ROOT / ".clang-format").is_file(), reason="no source tree here")
def test_cpp_sources_follow_the_house_format():
    tool = _clang_format()
    if tool is None:
        pytest.skip("clang-format is not installed (the test extra brings it)")
    result = subprocess.run([tool, "--dry-run", "--Werror", *map(str, SOURCES)],
                            capture_output=True, text=True, cwd=ROOT)
    unformatted = sorted({line.split(":", 1)[0] for line in result.stderr.splitlines() if ": error:" in line})
    assert result.returncode == 0, "not in the house format: " + ", ".join(unformatted)
