"""Lists the C++ functions under a folder that are longer than a limit.

    python scripts/function_lengths.py [--limit 60] [--all] [src]

A function is a brace-matched body whose opening brace follows a parameter list (and
qualifiers) outside any other function: free functions, member functions defined in a class
body, coroutine bodies. Lambdas and blocks inside a function count towards that function.
Length is the number of lines from the line of the opening brace to that of the closing one.
"""

from __future__ import annotations

import argparse
import pathlib
import re
import sys

_CONTROL = {"if", "for", "while", "switch", "catch", "do", "else", "try"}
_QUALIFIERS = re.compile(r"^(\s*(const|noexcept|override|final|mutable|volatile|&|&&|->\s*[\w:<>,\s*&]+))*\s*$")


def _strip(text: str) -> str:
    """Comments, string and character literals blanked out, line breaks kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (j - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _is_function_head(head: str) -> bool:
    head = head.strip()
    close = head.rfind(")")
    if close < 0 or not _QUALIFIERS.match(head[close + 1 :]):
        # a constructor's initializer list: "Name(...) : a_(x), b_(y)"
        m = re.search(r"\)\s*(noexcept\s*)?:\s*[\w:]+[({]", head)
        if not m:
            return False
    opening = head.find("(")
    words = re.findall(r"[A-Za-z_]\w*", head[:opening])
    return bool(words) and words[-1] not in _CONTROL and not head.startswith("[")


def functions(path: pathlib.Path):
    """(name, first line, length) of each function defined in `path`."""
    text = _strip(path.read_text())
    stack: list[tuple[bool, int, str]] = []  # (is function, line of "{", name)
    head_start = 0
    line = 1
    for i, c in enumerate(text):
        if c == "\n":
            line += 1
        elif c in ";":
            if not any(f for f, _, _ in stack):
                head_start = i + 1
        elif c == "{":
            inside = any(f for f, _, _ in stack)
            head = text[head_start:i]
            is_fn = not inside and _is_function_head(head)
            name = ""
            if is_fn:
                before = head[: head.find("(")]
                names = re.findall(r"[~A-Za-z_][\w:]*", before)
                name = names[-1] if names else "?"
            stack.append((is_fn, line, name))
            if not inside:
                head_start = i + 1
        elif c == "}":
            if not stack:
                continue
            is_fn, start, name = stack.pop()
            if is_fn:
                yield name, start, line - start + 1
            if not any(f for f, _, _ in stack):
                head_start = i + 1


def main() -> int:
    parser = argparse.ArgumentParser(description="C++ functions over a length limit")
    parser.add_argument("root", nargs="?", default="src")
    parser.add_argument("--limit", type=int, default=60)
    parser.add_argument("--all", action="store_true", help="list every function")
    args = parser.parse_args()
    rows = []
    for path in sorted(pathlib.Path(args.root).rglob("*")):
        if path.suffix in {".cpp", ".hpp", ".h", ".cc"}:
            for name, start, length in functions(path):
                if args.all or length > args.limit:
                    rows.append((length, f"{path}:{start}", name))
    for length, where, name in sorted(rows, reverse=True):
        print(f"{length:5d}  {where}  {name}")
    return 1 if rows and not args.all else 0


if __name__ == "__main__":
    sys.exit(main())
