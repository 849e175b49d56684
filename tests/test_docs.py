"""The documentation builds, and its examples run.

Every ```python block of every page under docs/ and of README.md runs: the
blocks of one page in order in one namespace, from the repository root, in a
fresh interpreter with a time limit per page. A failure names the page and
the line in it. Blocks in other languages (```sh, ```text, ```console, ...)
do not run.

The page's blocks become one script in which each block keeps its line
numbers from the page (every other line is left blank), so a traceback's
line number is the page's. The script runs in a scratch folder that links to
every top-level entry of the repository, so examples read the repository's
files by relative paths while whatever they write stays out of the checkout.
"""

import importlib.util
import os
import re
import signal
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import pytest

import tarvex

ROOT = Path(__file__).resolve().parent.parent
PAGES = sorted([ROOT / "README.md", *(ROOT / "docs").rglob("*.md")])
# Seconds per page; a busy machine may need more (TARVEX_DOCS_PAGE_SECONDS).
PAGE_SECONDS = int(os.environ.get("TARVEX_DOCS_PAGE_SECONDS", "60"))
PYTHON_INFO = {"python", "py", "python3"}

_OPEN = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>`{3,}|~{3,})(?P<info>[^`]*)$")


@dataclass
class Block:
    language: str
    first_line: int  # 1-based line of the first code line in the page
    lines: list[str]


def fenced_blocks(text):
    """The page's fenced code blocks, with their language (the first word of
    the info string, braces and a leading dot dropped) and where they start."""
    blocks, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        opening = _OPEN.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, fence = opening["indent"], opening["fence"]
        info = opening["info"].strip().strip("{}").strip().lstrip(".")
        language = info.split()[0].lower() if info else ""
        closing = re.compile(rf"^[ \t]*{re.escape(fence[0])}{{{len(fence)},}}[ \t]*$")
        body, j = [], i + 1
        while j < len(lines) and not closing.match(lines[j]):
            line = lines[j]
            body.append(line[len(indent):] if line.startswith(indent) else line.lstrip(" \t"))
            j += 1
        blocks.append(Block(language, i + 2, body))
        i = j + 1
    return blocks


def page_script(text):
    """The page as a Python script: its python blocks at their own line
    numbers, every other line blank. None when the page has no python block."""
    blocks = [b for b in fenced_blocks(text) if b.language in PYTHON_INFO]
    if not blocks:
        return None
    script = [""] * len(text.splitlines())
    for block in blocks:
        script[block.first_line - 1:block.first_line - 1 + len(block.lines)] = block.lines
    return "\n".join(script) + "\n"


def _scratch_root(folder):
    """A folder whose entries link to the repository's top-level entries."""
    folder.mkdir()
    for entry in ROOT.iterdir():
        if entry.name != ".git":
            (folder / entry.name).symlink_to(entry)
    return folder


def run_page(page, tmp_path, seconds=PAGE_SECONDS):
    """Runs the page's python blocks; returns None on success, else a message
    naming the page and the failing line."""
    script = page_script(page.read_text())
    if script is None:
        return None
    shown = page.relative_to(ROOT) if page.is_relative_to(ROOT) else page
    path = tmp_path / (re.sub(r"\W", "_", str(shown)) + ".py")
    path.write_text(script)
    # Import the same tarvex as this test process does (a staged build or the source tree).
    package_root = str(Path(tarvex.__path__[0]).resolve().parent)
    env = dict(os.environ, OMP_NUM_THREADS="1", MKL_NUM_THREADS="1", MPLBACKEND="Agg",
               PYTHONPATH=os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    # SIGINT back to its default in the child: a suite started in the
    # background inherits it ignored, and Python then never turns the
    # interrupt below into the KeyboardInterrupt whose traceback names the line.
    process = subprocess.Popen([sys.executable, str(path)], cwd=_scratch_root(tmp_path / "root"), env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        output, _ = process.communicate(timeout=seconds)
        timed_out = False
    except subprocess.TimeoutExpired:
        # Interrupt first, so the traceback says which line was running.
        process.send_signal(signal.SIGINT)
        try:
            output, _ = process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            output, _ = process.communicate()
        timed_out = True
    if process.returncode == 0 and not timed_out:
        return None
    frames = re.findall(rf'File "{re.escape(str(path))}", line (\d+)', output)
    where = f"{shown}:{frames[-1]}" if frames else str(shown)
    what = f"did not finish within {seconds} s" if timed_out else f"failed (exit status {process.returncode})"
    return f"{where}: example {what}\n{output[-4000:]}"


RUNNABLE_PAGES = [p for p in PAGES if page_script(p.read_text())]


@pytest.fixture(scope="module")
def page_failures(request, tmp_path_factory):
    """Runs every selected page once, several at a time (each page is one
    single-threaded interpreter, so the machine's cores share the work);
    page -> failure."""
    pages = [item.callspec.params["page"] for item in request.session.items
             if getattr(item, "originalname", None) == "test_page_examples_run"]
    folders = {page: tmp_path_factory.mktemp("page") for page in pages}
    with ThreadPoolExecutor(max_workers=max(2, min(4, os.cpu_count() or 1))) as pool:
        futures = {page: pool.submit(run_page, page, folders[page]) for page in pages}
        return {page: future.result() for page, future in futures.items()}


@pytest.mark.parametrize("page", RUNNABLE_PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_page_examples_run(page, page_failures):
    failure = page_failures[page]
    assert failure is None, failure


def test_blocks_share_one_namespace_and_other_languages_do_not_run(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("# Title\n\n```python\nx = 2\n```\n\n```sh\nexit 1\n```\n\n"
                    "- item\n\n  ```python\n  assert x == 2\n  ```\n")
    assert [(b.language, b.first_line) for b in fenced_blocks(page.read_text())] == [
        ("python", 4), ("sh", 8), ("python", 14)]
    assert run_page(page, tmp_path) is None


@pytest.mark.parametrize("body, line, message", [
    ("x = 1\nraise ValueError('broken')", 5, "failed"),
    ("import time\ntime.sleep(30)", 5, "did not finish within 2 s"),
])
def test_a_failing_page_names_its_line(tmp_path, body, line, message):
    page = tmp_path / "page.md"
    page.write_text(f"# Title\n\n```python\n{body}\n```\n")
    failure = run_page(page, tmp_path, seconds=2)
    assert failure is not None and failure.startswith(f"{page}:{line}: example {message}")


def test_examples_run_from_the_repository_root_without_writing_into_it(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("```python\nfrom pathlib import Path\nassert Path('pyproject.toml').is_file()\n"
                    "Path('written-by-an-example.txt').write_text('x')\n```\n")
    assert run_page(page, tmp_path) is None
    assert not (ROOT / "written-by-an-example.txt").exists()


_DOCS_TOOLS = ("mkdocs", "material", "mkdocstrings", "mkdocstrings_handlers.python")


@pytest.fixture(scope="module")
def built_site(tmp_path_factory):
    missing = [name for name in _DOCS_TOOLS if importlib.util.find_spec(name.split(".")[0]) is None
               or importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"the docs extra is not installed (missing {', '.join(missing)}): "
                    "pip install '.[docs]' to build the documentation")
    site = tmp_path_factory.mktemp("site")
    result = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(site)],
                            cwd=ROOT, capture_output=True, text=True, timeout=300,
                            env=dict(os.environ, NO_MKDOCS_2_WARNING="1"))
    assert result.returncode == 0, f"mkdocs build --strict failed:\n{result.stdout}\n{result.stderr}"
    return site


def test_the_site_builds_strictly(built_site):
    assert (built_site / "index.html").is_file()


def test_the_reference_documents_every_public_name(built_site):
    from tarvex.core import watch

    page = (built_site / "reference" / "watch" / "index.html").read_text()
    missing = [name for name in watch.__all__ if f'id="tarvex.core.watch.{name}"' not in page]
    assert not missing, f"reference/watch.md lacks {missing}"
