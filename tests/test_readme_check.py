"""The README checker (scripts/check_readme.py) finds the examples and fails
an example whose output differs from what the README shows."""

import importlib.util
import os

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts", "check_readme.py")
found = importlib.util.spec_from_file_location("check_readme", SCRIPT)
check_readme = importlib.util.module_from_spec(found)
found.loader.exec_module(check_readme)

BLOCK = '''import arbolite
node = arbolite.read_string("<a><b>x</b></a>", "a")
print(node.children[0].text)  # {inline}
print(arbolite.write_string(node, indent=1, default_xml_def=False))
# <a>
#  <b>{below}</b>
# </a>
'''


def test_blocks_are_found_with_their_lines():
    markdown = "intro\n\n```python\nx = 1\n```\n\n```sh\nls\n```\n```python\ny = 2\n```\n"
    assert check_readme.python_blocks(markdown) == [(4, "x = 1\n"), (11, "y = 2\n")]


@pytest.mark.parametrize(
    "inline, below, problems",
    [("x", "x", 0), ("y", "x", 1), ("x", "z", 1), ("y", "z", 2)],
)
def test_output_must_match_the_comments(inline, below, problems):
    code = BLOCK.format(inline=inline, below=below)
    assert check_readme.expected_prints(code) == {3: inline, 4: f"<a>\n <b>{below}</b>\n</a>"}
    assert len(check_readme.run_block("block", code)) == problems


def test_an_example_that_raises_fails():
    assert check_readme.run_block("block", "import arbolite\narbolite.read_string('<a>', 'a')\n")
