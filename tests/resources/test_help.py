"""The user guide as a reader gets it: the text of Help.pdf (pdftotext) holds
no typesetting markup, and every text the program can show on its status line
(and the two other texts it shows: the warning box and the missing product
name) appears in it, character for character.

The texts are collected from the source, so a text added later without a row
in the guide fails here:
  - string literals passed to showStatus(...) anywhere in the program's code,
    and the literal start of an argument written as "TEXT" + expression or
    juce::String("TEXT") + expression (the text shown before a path, say);
  - the texts returned by stepFailureText (core/Vocabulary.h) and by
    updateFileStatusText (update/UpdateImage.cpp);
  - the status line's text at start (main/Controls.cpp);
  - literals passed to warn(...) and showDeviceName(...).
A showStatus(...) call whose argument is neither of these nor one of the
known tables is reported, so that its texts can be added here.

The guide also carries its title and version in the PDF's information
(pdfinfo), the version being the CMake project's.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

ARGS = None
SOURCE_FOLDERS = ("platform", "core", "midi", "device", "update", "settings", "controller", "ui", "main", "app")
# showStatus arguments that are not literals but come from a table collected
# below, each with what must stand in the same file to show where it comes from.
KNOWN_ARGUMENTS = {"text": r"\btext\s*=\s*stepFailureText\(", "updateFileStatusText(result)": r""}
STRING = r'"(?:[^"\\]|\\.)*"'
# A literal start and an expression after it: "TEXT" + path, or
# juce::String("TEXT") + path. The expression may hold no literal of its own,
# whose text would go unchecked.
LEADING_LITERAL = re.compile(
    r"(?:juce::String\s*\(\s*(?P<wrapped>(?:%s\s*)+)\)|(?P<bare>(?:%s\s*)+))\s*\+(?P<rest>.+)" % (STRING, STRING),
    re.S)
# Table and macro markup, font and character escapes, requests at a line's start.
MARKUP = [r"T\{", r"T\}", r"^\.[A-Za-z&]{1,6}(?:\s|$)", r"\b(?:allbox|box|center|expand)\b.*;",
          r"\btab\(", r"\b[lcr][bw]\(", r"\\[-(*fsX\[]"]


def unescape(literal):
    body = literal[1:-1]
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "t": "\t"}.get(m.group(1), m.group(1)), body)


def literals(text):
    """The C++ string literals in text, adjacent ones joined, unescaped."""
    return "".join(unescape(m.group(0)) for m in re.finditer(STRING, text))


def strip_comments(code):
    code = re.sub(r"/\*.*?\*/", "", code, flags=re.S)
    return re.sub(r"//[^\n]*", "", code)


def call_arguments(code, name):
    """The argument texts of every call of name(...) in code (balanced brackets)."""
    for m in re.finditer(r"\b" + name + r"\s*\(", code):
        depth, i = 1, m.end()
        while i < len(code) and depth:
            if code[i] == '"':
                i = re.compile(STRING).match(code, i).end()
                continue
            depth += {"(": 1, ")": -1}.get(code[i], 0)
            i += 1
        yield code[m.end():i - 1].strip()


def function_body(code, name):
    m = re.search(r"\b" + name + r"\s*\([^)]*\)\s*\{", code)
    if m is None:
        return None
    depth, i = 1, m.end()
    while depth:
        depth += {"{": 1, "}": -1}.get(code[i], 0)
        i += 1
    return code[m.end():i]


def source_files(root):
    for folder in SOURCE_FOLDERS:
        for dirpath, _, names in os.walk(os.path.join(root, folder)):
            for name in sorted(names):
                if name.endswith((".cpp", ".h")):
                    yield os.path.join(dirpath, name)


def collect_texts(root):
    """(texts, problems): every text the program shows, and what could not be read."""
    texts, problems = set(), []
    for path in source_files(root):
        with open(path, encoding="utf-8") as f:
            code = strip_comments(f.read())
        where = os.path.relpath(path, root)
        for arg in call_arguments(code, "showStatus"):
            # "shown = TEXT" shows TEXT (and keeps it for later).
            arg = re.sub(r"^[A-Za-z_]\w*\s*=(?!=)\s*", "", arg)
            leading = LEADING_LITERAL.fullmatch(arg)
            if re.fullmatch(r"(?:%s\s*)+" % STRING, arg):
                texts.add(literals(arg))
            elif leading and not re.search(STRING, leading.group("rest")):
                start = literals(leading.group("wrapped") or leading.group("bare"))
                if start.strip():
                    texts.add(start)
                else:
                    problems.append("%s: showStatus(%s): a text that starts with nothing to check" % (where, arg))
            elif arg.startswith("const juce::String&"):
                continue  # a declaration or definition, not a call
            elif arg not in KNOWN_ARGUMENTS or not re.search(KNOWN_ARGUMENTS[arg], code):
                problems.append("%s: showStatus(%s): a text the test cannot read" % (where, arg))
        for arg in call_arguments(code, "warn"):
            parts = re.findall(r"(?:%s\s*)+" % STRING, arg)
            if len(parts) == 2:
                texts.add(literals(parts[1]).strip())
        for arg in call_arguments(code, "showDeviceName"):
            first = re.match(STRING, arg)
            if first:
                texts.add(literals(first.group(0)))
        for table in ("stepFailureText", "updateFileStatusText"):
            body = function_body(code, table)
            if body is not None:
                for m in re.finditer(r"return\s+((?:%s\s*)+);" % STRING, body):
                    texts.add(literals(m.group(1)))
        # The status line's first text: its row in the table of controls
        # (member, name, text, ...).
        m = re.search(r"&\w+::statusLabel\s*,\s*%s\s*,\s*((?:%s\s*)+)," % (STRING, STRING), code)
        if m:
            texts.add(literals(m.group(1)))
    texts.discard("")
    return texts, problems


def normalise(text):
    """Only line breaks and spacing: pdftotext ends lines where the page does."""
    return re.sub(r"\s+", " ", text).strip()


def pdf_text(pdf):
    return subprocess.run(["pdftotext", "-enc", "UTF-8", pdf, "-"], check=True, capture_output=True,
                          text=True, timeout=60).stdout


class CollectorTest(unittest.TestCase):
    """How showStatus arguments are read: which give a text, which are reported."""

    CASES = [
        # (the call in a source file, the texts it gives, whether it is reported)
        ('showStatus("Time out!");', {"Time out!"}, False),
        ('showStatus("Update " "OK!");', {"Update OK!"}, False),
        ('showStatus("Say \\"hi\\": " + path);', {'Say "hi": '}, False),
        ('showStatus(juce::String("No viewer: ") + file.getFullPathName());', {"No viewer: "}, False),
        ('showStatus(juce::String ( "Two " "parts: " ) + path);', {"Two parts: "}, False),
        ('showStatus("Opened " + path + " now");', set(), True),
        ('showStatus(path + ": not found");', set(), True),
        ('showStatus("" + path);', set(), True),
        ('showStatus(statusFor(path));', set(), True),
    ]

    def test_arguments(self):
        for call, texts, reported in self.CASES:
            with self.subTest(call=call), tempfile.TemporaryDirectory() as root:
                os.mkdir(os.path.join(root, "main"))
                with open(os.path.join(root, "main", "View.cpp"), "w", encoding="utf-8") as f:
                    f.write("void View::shown()\n{\n    %s\n}\n" % call)
                found, problems = collect_texts(root)
                self.assertEqual(found, texts)
                self.assertEqual(len(problems), 1 if reported else 0, problems)


class HelpTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.raw = pdf_text(ARGS.pdf)
        cls.text = normalise(cls.raw)
        cls.codeTexts, cls.problems = collect_texts(ARGS.source)

    def test_the_texts_are_collected_from_the_code(self):
        self.assertEqual(self.problems, [])
        # The three kinds of source each gave texts: a broken pattern would
        # otherwise pass the check below with nothing to check.
        for sample in ("Device is not connected!", "Time out!", "The product name is not match to the device.",
                       "Piano Connecting ...", "Two or more devices! Please check it!"):
            self.assertIn(sample, self.codeTexts)
        self.assertGreaterEqual(len(self.codeTexts), 20)

    def test_every_text_the_program_shows_is_in_the_guide(self):
        missing = sorted(t for t in self.codeTexts if normalise(t) not in self.text)
        self.assertEqual(missing, [], "texts without a row in Help.pdf")

    def test_no_markup_is_left(self):
        found = []
        for line in self.raw.splitlines():
            for pattern in MARKUP:
                if re.search(pattern, line.strip()):
                    found.append(line)
        self.assertEqual(found, [])

    def test_the_pictures_are_in(self):
        listing = subprocess.run(["pdfimages", "-list", ARGS.pdf], check=True, capture_output=True, text=True,
                                 timeout=60).stdout.splitlines()[2:]
        self.assertEqual(len(listing), ARGS.pictures)

    def test_the_title_and_version_are_the_project_s(self):
        with open(os.path.join(ARGS.source, "CMakeLists.txt"), encoding="utf-8") as f:
            version = re.search(r"\bproject\(\s*Tamarind\s+VERSION\s+([0-9.]+)", f.read()).group(1)
        info = subprocess.run(["pdfinfo", "-enc", "UTF-8", ARGS.pdf], check=True, capture_output=True, text=True,
                              timeout=60).stdout
        title = re.search(r"^Title:\s*(.*)$", info, re.M)
        self.assertIsNotNone(title, "no Title in the PDF's information:\n" + info)
        self.assertTrue(title.group(1).startswith("Tamarind"), title.group(1))
        self.assertIn(version, title.group(1).split())
        self.assertIn("User guide, version %s " % version, self.text)

    def test_no_invisible_control_is_mentioned(self):
        lowered = self.text.lower()
        for words in ("connection picture", "connect status", "connect-status", "user mode", "read&verify",
                      "select flash", "preset"):
            self.assertNotIn(words, lowered)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--pdf", required=True)
    parser.add_argument("--source", required=True, help="the repository's root")
    parser.add_argument("--pictures", type=int, required=True, help="how many pictures the guide holds")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
