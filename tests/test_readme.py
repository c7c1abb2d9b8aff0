"""The README's promises: every ```python block in it runs, and every repository path it names exists."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")


def python_blocks():
    """(id, source) for each ```python block, the id built from the heading it falls under."""
    blocks, heading, per_heading = [], "top", {}
    lines = iter(README.splitlines())
    for line in lines:
        if line.startswith("#"):
            heading = re.sub(r"[^a-z0-9]+", "-", line.lstrip("#").strip().lower()).strip("-")
        elif line.strip() == "```python":
            body = []
            for inner in lines:
                if inner.strip() == "```":
                    break
                body.append(inner)
            per_heading[heading] = per_heading.get(heading, 0) + 1
            blocks.append(pytest.param("\n".join(body), id=f"{heading}-{per_heading[heading]}"))
    return blocks


BLOCKS = python_blocks()


def test_readme_has_runnable_examples():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("source", BLOCKS)
def test_python_block_runs(source):
    # Each block is self-contained, as a reader would paste it.
    exec(compile(source, "README.md", "exec"), {"__name__": "readme_example"})


# Paths written as `scripts/...`, `examples/...`, `tests/...` or a top-level dotfile/file in backticks.
NAMED_PATHS = sorted(set(re.findall(r"`((?:scripts|examples|tests|src)/[\w./-]+|\.ci/run|\.clang-format|\.clang-tidy|LICENSE)`", README)))


@pytest.mark.parametrize("path", NAMED_PATHS)
def test_named_path_exists(path):
    assert (ROOT / path).exists(), f"README names {path}, which is not in the repository"
