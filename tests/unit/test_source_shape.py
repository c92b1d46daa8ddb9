"""The shape the sources keep: no function longer than 60 lines."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_no_function_in_src_is_longer_than_sixty_lines():
    listed = subprocess.run([sys.executable, str(ROOT / "scripts" / "function_lengths.py"), str(ROOT / "src")],
                            capture_output=True, text=True, timeout=60)
    assert (listed.returncode, listed.stdout) == (0, "")


def test_the_measure_counts_bodies_not_blocks(tmp_path):
    source = tmp_path / "a.cpp"
    body = "\n".join(f"    int v{i} = {i};" for i in range(70))
    source.write_text(
        "namespace n {\n"
        "struct S {\n    int small() const { return 1; }\n};\n"
        f"int long_one(int a) {{\n    if (a) {{\n{body}\n    }}\n    auto f = [] {{ return '}}'; }};\n"
        "    return a; // }\n}\n"
        "const int table[] = {1, 2, 3};\n"
        "}  // namespace n\n")
    listed = subprocess.run([sys.executable, str(ROOT / "scripts" / "function_lengths.py"), "--all", str(tmp_path)],
                            capture_output=True, text=True, timeout=60)
    rows = [line.split() for line in listed.stdout.splitlines()]
    assert [(row[0], row[2]) for row in rows] == [("76", "long_one"), ("1", "small")]
