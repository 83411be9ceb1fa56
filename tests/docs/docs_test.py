"""The documents point at things that exist: every relative link reaches a
file (and its heading), every tree path named in backquotes is in the tree,
and every script a shell example runs is there and executable. Files move;
a guide that still names the old place sends its reader nowhere.

    python3 tests/docs/docs_test.py [ROOT]
"""

import os
import re
import sys
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DOCS = ("README.md", "docs/user-guide.md", "docs/admin-guide.md", "docs/developer-guide.md", "docs/protocol.md")
# Top-level folders of the tree; a backquoted path starting with one of them
# names a file or folder of the source tree.
TREE = ("src/", "driver/", "tests/", "tools/", "scripts/", "fuzz/", "bench/", "packaging/", "installer/",
        "cmake/", "docs/", ".ci/")


def read(doc):
    with open(os.path.join(ROOT, doc), encoding="utf-8") as f:
        return f.read()


def anchors(text):
    """Heading anchors as the common Markdown renderers make them."""
    text = re.sub(r"^```.*?^```", "", text, flags=re.M | re.S)
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text, re.M)}


def tree_paths(text):
    """Backquoted words that name a place in the tree (placeholders left out)."""
    for quoted in re.findall(r"`([^`\n]+)`", text):
        word = quoted.split()[0] if quoted.split() else ""
        if word.startswith(TREE) and not re.search(r"[<>*{}$]|[A-Z]{3,}", word):
            yield word.rstrip(".,:;)")


class Documents(unittest.TestCase):
    def test_links_reach_files_and_headings(self):
        for doc in DOCS:
            text = read(doc)
            for target in re.findall(r"\]\(([^)\s]+)\)", text):
                if re.match(r"\w+:", target):
                    continue
                path, _, anchor = target.partition("#")
                linked = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
                with self.subTest(doc=doc, link=target):
                    self.assertTrue(os.path.exists(os.path.join(ROOT, linked)), linked)
                    if anchor and linked.endswith(".md"):
                        self.assertIn(anchor, anchors(read(linked)))

    def test_named_tree_paths_exist(self):
        for doc in DOCS:
            for path in set(tree_paths(read(doc))):
                with self.subTest(doc=doc, path=path):
                    self.assertTrue(os.path.lexists(os.path.join(ROOT, path)), path)

    def test_shell_examples_run_scripts_that_exist(self):
        for doc in DOCS:
            for block in re.findall(r"^```sh\n(.*?)^```", read(doc), re.M | re.S):
                for script in re.findall(r"(?:^|[\s(])((?:scripts|tests|tools|fuzz)/[\w./-]+\.(?:sh|py))", block):
                    with self.subTest(doc=doc, script=script):
                        path = os.path.join(ROOT, script)
                        self.assertTrue(os.path.isfile(path), script)
                        if script.endswith(".sh"):
                            self.assertTrue(os.access(path, os.X_OK), script + " is not executable")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        ROOT = os.path.abspath(sys.argv.pop(1))
    unittest.main()
