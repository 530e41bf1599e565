"""Loaded at start-up by every interpreter of the sanitized pytest run, the
tests' children included (scripts/sanitized_pytest.sh puts this folder on
PYTHONPATH). The virtual environment also holds the ordinary build, and only
the order of PYTHONPATH picks the sanitized one: an import of arbolite that
would load any other file ends the process at once, so no test can pass
against the uninstrumented module."""

import os
import sys
from importlib.machinery import PathFinder

EXPECTED = os.environ.get("ARBOLITE_EXPECT_MODULE")
EXIT_CODE = 86


class WrongBuild(BaseException):
    """Not an ImportError, nor an Exception: no handler of those may swallow it."""


class SanitizedModuleCheck:
    """A meta-path finder that only looks at where arbolite would come from."""

    checked = []  # origins seen by this process, for the conftest's own check

    @staticmethod
    def find_spec(name, path=None, target=None):
        if name != "arbolite":
            return None
        found = PathFinder.find_spec(name, path)
        origin = found.origin if found is not None else None
        if origin is None or os.path.realpath(origin) != os.path.realpath(EXPECTED):
            message = (
                f"arbolite would be imported from {origin}, not from the sanitized build "
                f"{EXPECTED} (pid {os.getpid()}, argv {sys.argv!r})"
            )
            if "_pytest" in sys.modules:
                # pytest captures stderr while it loads the conftest and shows
                # it only for an exception that it did not catch.
                raise WrongBuild(message)
            # A child: nothing there may catch this and go on.
            sys.stderr.write(f"error: {message}\n")
            sys.stderr.flush()
            os._exit(EXIT_CODE)
        SanitizedModuleCheck.checked.append(origin)
        return found

    @staticmethod
    def invalidate_caches():
        pass


if EXPECTED:
    sys.meta_path.insert(0, SanitizedModuleCheck)
