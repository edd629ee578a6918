"""An isolated sub-interpreter (the interpreters API) cannot import the module either.

The legacy sub-interpreter case lives with the module surface tests. This one runs in a fresh
process, so a misbehaving sub-interpreter cannot take the test run down with it.
"""

import os
import subprocess
import sys

import pytest

INTERPRETERS = "_xxsubinterpreters" if sys.version_info < (3, 13) else "_interpreters"

# Runs in the sub-interpreter: reports "ok" or the exception type and text through a pipe.
SUB_CODE = """
import os
try:
    import quarn_chess
except BaseException as error:
    result = type(error).__name__ + ": " + str(error)
else:
    result = "ok"
os.write({fd}, result.encode())
"""

MAIN_CODE = f"""
import os
import {INTERPRETERS} as interpreters
import quarn_chess
read, write = os.pipe()
interp = interpreters.create()
interpreters.run_string(interp, {SUB_CODE!r}.format(fd=write))
interpreters.destroy(interp)
os.close(write)
print(os.read(read, 4096).decode())
board = quarn_chess.Board()
board.push("e2e4")
print(len(quarn_chess.MoveGenerator()(board)), board.fen())
"""


def test_isolated_sub_interpreter_gets_import_error():
    pytest.importorskip(INTERPRETERS)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path for path in sys.path if path))
    done = subprocess.run([sys.executable, "-c", MAIN_CODE], capture_output=True, text=True,
                          env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    sub_result, main_after = done.stdout.splitlines()[:2]
    assert sub_result.startswith("ImportError: ") and "interpreters" in sub_result, sub_result
    # The main interpreter's module keeps working after the refused import.
    assert main_after == "20 rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
