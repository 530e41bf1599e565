"""Checks the Python examples of README.md: every ```python block is type
checked with mypy --strict (and with pyright, when --pyright names its
command), then run in a fresh folder. A print(...) line followed by a
comment, on the same line after two spaces ("print(x)  # text") or on the
comment lines right below it, must print that text (trailing line breaks are
not compared).

    python scripts/check_readme.py [--pyright basedpyright] [README.md]
"""
import argparse
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def python_blocks(markdown):
    """(first line number, code) of each ```python block."""
    out = []
    for m in re.finditer(r"^```python\n(.*?)^```$", markdown, re.M | re.S):
        out.append((markdown.count("\n", 0, m.start()) + 2, m.group(1)))
    return out


def expected_prints(code):
    """{line number of a print call: the text it must print}."""
    lines = code.splitlines()
    out = {}
    for i, line in enumerate(lines):
        if not re.match(r"\s*print\(", line):
            continue
        if "  # " in line:
            out[i + 1] = line.rsplit("  # ", 1)[1]
            continue
        below = []
        for next_line in lines[i + 1:]:
            m = re.match(r"\s*# ?(.*)$", next_line)
            if not m:
                break
            below.append(m.group(1))
        if below:
            out[i + 1] = "\n".join(below)
    return out


def run_block(name, code):
    """Runs the block; returns a list of problems."""
    printed = {}

    def record(*args, sep=" ", end="\n", file=None, flush=False):
        text = io.StringIO()
        print(*args, sep=sep, end=end, file=text)
        printed.setdefault(sys._getframe(1).f_lineno, []).append(text.getvalue())

    scope = {"__name__": "__main__", "print": record}
    try:
        exec(compile(code, name, "exec"), scope)
    except Exception as e:  # reported as the block's failure
        return [f"{name}: raised {type(e).__name__}: {e}"]
    problems = []
    for line, want in expected_prints(code).items():
        got = "".join(printed.get(line, [])).rstrip("\n")
        if got != want.rstrip("\n"):
            problems.append(f"{name}, line {line}: printed {got!r}, the README says {want!r}")
    return problems


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("readme", nargs="?", default=os.path.join(ROOT, "README.md"))
    p.add_argument("--pyright", help="a pyright command (pyright, basedpyright) to run as well")
    args = p.parse_args()
    with open(args.readme, encoding="utf-8") as f:
        blocks = python_blocks(f.read())
    if not blocks:
        sys.exit(f"no ```python blocks in {args.readme}")

    problems = []
    with tempfile.TemporaryDirectory() as folder:
        names = []
        for line, code in blocks:
            name = os.path.join(folder, f"readme_line_{line}.py")
            with open(name, "w", encoding="utf-8") as f:
                f.write(code)
            names.append(name)
        mypy = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *names],
                              capture_output=True, text=True)
        if mypy.returncode != 0:
            problems.append("mypy --strict:\n" + textwrap.indent(mypy.stdout + mypy.stderr, "    "))
        if args.pyright:
            # Standard checking, against this interpreter's packages.
            with open(os.path.join(folder, "pyrightconfig.json"), "w") as f:
                json.dump({"typeCheckingMode": "standard", "pythonVersion": "%d.%d" % sys.version_info[:2]}, f)
            pyright = subprocess.run([args.pyright, "--pythonpath", sys.executable, "--project", folder, *names],
                                     capture_output=True, text=True)
            if pyright.returncode != 0:
                problems.append(f"{args.pyright}:\n" + textwrap.indent(pyright.stdout + pyright.stderr, "    "))
        cwd = os.getcwd()
        os.chdir(folder)  # examples may write files
        try:
            for (line, code), name in zip(blocks, names):
                problems += run_block(f"README.md block at line {line}", code)
        finally:
            os.chdir(cwd)

    for problem in problems:
        print(problem)
    checked = f"{len(blocks)} README examples"
    if problems:
        sys.exit(f"{checked}: {len(problems)} problem(s)")
    print(f"{checked}: typed with mypy --strict{' and ' + args.pyright if args.pyright else ''}, run, and their output as shown")


if __name__ == "__main__":
    main()
